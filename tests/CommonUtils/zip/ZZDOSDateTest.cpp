#include "CommonUtils/zip/ZZDOSDate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "CommonUtils/zip/ZipFixtures.h"

namespace {

using ziptest::localTime;

}  // namespace

TEST(ZZDOSDateTest, RoundTripsToTwoSecondsAndStaysInRange) {
  // Odd seconds round up to the next even one, except :59, which stays in
  // its minute (a field of 30 would be read as :60); the last minute of a
  // year never spills into the next.
  for (int s = 0; s < 60; ++s) {
    ZZDOSDate d = ZZDOSDate::fromSecondsSince1970(localTime(2023, 12, 31, 23, 59, s));
    EXPECT_EQ(d.time & 0x1f, s == 59 ? 29 : (s + 1) / 2) << s;
    EXPECT_EQ(d.time >> 5, (23 << 6) | 59) << s;
    EXPECT_EQ(d.date, (43 << 9) | (12 << 5) | 31);
    EXPECT_EQ(ZZDOSDate::toSecondsSince1970(d.time, d.date),
              localTime(2023, 12, 31, 23, 59, s == 59 ? 58 : s + s % 2));
  }
  // Before 1980 and after 2107 the nearest representable date is written.
  ZZDOSDate early = ZZDOSDate::fromSecondsSince1970(0);
  EXPECT_EQ(ZZDOSDate::toSecondsSince1970(early.time, early.date), localTime(1980, 1, 1, 0, 0, 0));
  ZZDOSDate late = ZZDOSDate::fromSecondsSince1970(localTime(2200, 6, 1, 0, 0, 0));
  EXPECT_EQ(ZZDOSDate::toSecondsSince1970(late.time, late.date),
            localTime(2107, 12, 31, 23, 59, 58));
  ZZDOSDate nan = ZZDOSDate::fromSecondsSince1970(std::nan(""));
  EXPECT_EQ(nan.date, (1 << 5) | 1);
}
