#include "CommonUtils/zip/ZZDOSDate.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

double ZZDOSDate::toSecondsSince1970(std::uint16_t dosTime, std::uint16_t dosDate) {
  std::tm tm{};
  tm.tm_sec = 2 * (dosTime & 0x1f);
  tm.tm_min = (dosTime >> 5) & 0x3f;
  tm.tm_hour = (dosTime >> 11) & 0x1f;
  tm.tm_mday = dosDate & 0x1f;
  tm.tm_mon = ((dosDate >> 5) & 0x0f) - 1;
  tm.tm_year = 1980 + ((dosDate >> 9) & 0x7f) - 1900;
  tm.tm_isdst = -1;
  return static_cast<double>(std::mktime(&tm));
}

ZZDOSDate ZZDOSDate::fromSecondsSince1970(double seconds) {
  ZZDOSDate out;
  std::tm tm{};
  bool converted = false;
  if (std::isfinite(seconds) &&
      seconds > static_cast<double>(std::numeric_limits<std::time_t>::min()) &&
      seconds < static_cast<double>(std::numeric_limits<std::time_t>::max())) {
    std::time_t t = static_cast<std::time_t>(std::floor(seconds));
    converted = localtime_r(&t, &tm) != nullptr;
  }
  int year = converted ? tm.tm_year + 1900 : 1980;
  if (!converted || year < 1980) {
    out.time = 0;
    out.date = static_cast<std::uint16_t>(1 | (1 << 5));  // 1980-01-01 00:00:00
    return out;
  }
  if (year > 2107) {
    out.time = static_cast<std::uint16_t>((58 / 2) | (59 << 5) | (23 << 11));
    out.date = static_cast<std::uint16_t>(31 | (12 << 5) | (127 << 9));  // 2107-12-31 23:59:58
    return out;
  }
  // Odd seconds round up to the next even one; :59 (and a leap second's
  // :60) would make a field of 30, which no minute has, so it stays at 29.
  const int halves = std::min((tm.tm_sec + 1) / 2, 29);
  out.time = static_cast<std::uint16_t>(halves | (tm.tm_min << 5) | (tm.tm_hour << 11));
  out.date = static_cast<std::uint16_t>(tm.tm_mday | ((tm.tm_mon + 1) << 5) | ((year - 1980) << 9));
  return out;
}
