#include "platform/Time.h"

#include <sys/time.h>
#include <time.h>

#include <mutex>
#include <vector>

namespace kx {

namespace {

struct timespec wallClock() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

}  // namespace

std::int64_t Time::nowSeconds() { return static_cast<std::int64_t>(wallClock().tv_sec); }

double Time::now() {
  struct timespec ts = wallClock();
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec / 1000) / 1e6;
}

std::int64_t Time::nowMicroseconds() {
  struct timespec ts = wallClock();
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::int32_t Time::microsecondsField() {
  return static_cast<std::int32_t>(wallClock().tv_nsec / 1000);
}

std::string Time::formatLocal(std::int64_t seconds, std::string_view pattern) {
  // localtime_r need not read TZ itself; tzset once makes it do so.
  static std::once_flag tzOnce;
  std::call_once(tzOnce, [] { tzset(); });

  if (pattern.empty()) return std::string();
  time_t t = static_cast<time_t>(seconds);
  struct tm parts;
  if (!localtime_r(&t, &parts)) return std::string();

  std::string format(pattern);
  // strftime cannot tell an empty result from a full buffer; a marker that
  // is always printed makes the difference visible.
  format.push_back('.');
  std::vector<char> buf(64 + format.size() * 4);
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::size_t n = strftime(buf.data(), buf.size(), format.c_str(), &parts);
    if (n > 0) return std::string(buf.data(), n - 1);
    buf.resize(buf.size() * 4);
  }
  return std::string();
}

}  // namespace kx
