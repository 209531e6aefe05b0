#include "CommonUtils/zip/ZZDOSDate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

namespace {

double local(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return static_cast<double>(std::mktime(&tm));
}

}  // namespace

TEST(ZZDOSDateTest, RoundTripsToTwoSecondsAndStaysInRange) {
  // Every second of a minute that ends at :59 keeps a seconds field of 0 to 29.
  for (int s = 0; s < 60; ++s) {
    ZZDOSDate d = ZZDOSDate::fromSecondsSince1970(local(2023, 12, 31, 23, 59, s));
    EXPECT_LE(d.time & 0x1f, 29) << s;
    EXPECT_EQ(d.date, (43 << 9) | (12 << 5) | 31);
    EXPECT_EQ(ZZDOSDate::toSecondsSince1970(d.time, d.date), local(2023, 12, 31, 23, 59, s - s % 2));
  }
  // Before 1980 and after 2107 the nearest representable date is written.
  ZZDOSDate early = ZZDOSDate::fromSecondsSince1970(0);
  EXPECT_EQ(ZZDOSDate::toSecondsSince1970(early.time, early.date), local(1980, 1, 1, 0, 0, 0));
  ZZDOSDate late = ZZDOSDate::fromSecondsSince1970(local(2200, 6, 1, 0, 0, 0));
  EXPECT_EQ(ZZDOSDate::toSecondsSince1970(late.time, late.date), local(2107, 12, 31, 23, 59, 58));
  ZZDOSDate nan = ZZDOSDate::fromSecondsSince1970(std::nan(""));
  EXPECT_EQ(nan.date, (1 << 5) | 1);
}
