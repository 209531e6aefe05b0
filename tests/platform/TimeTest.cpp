#include "platform/Time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kx {
namespace {

// Sets TZ for the test's lifetime (and tells the C library to read it again).
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(TimeTest, NowAgreesWithTheSystemClock) {
  std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  std::int64_t seconds = Time::nowSeconds();
  std::int64_t micros = Time::nowMicroseconds();
  double now = Time::now();
  std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  EXPECT_GE(micros / 1000000, before);
  EXPECT_LE(micros / 1000000, after);
  EXPECT_GE(now, static_cast<double>(before));
  EXPECT_LT(now, static_cast<double>(after + 1));
  for (int i = 0; i < 100; ++i) {
    std::int32_t field = Time::microsecondsField();
    ASSERT_GE(field, 0);
    ASSERT_LE(field, 999999);
  }
}

TEST(TimeTest, FormatsInTheLocalTimeZone) {
  {
    ScopedTimeZone utc("UTC0");
    EXPECT_EQ(Time::formatLocal(0, "%Y/%m/%d %H:%M:%S"), "1970/01/01 00:00:00");
    EXPECT_EQ(Time::formatLocal(1709993107, "%Y/%m/%d %H:%M:%S"), "2024/03/09 14:05:07");
  }
  {
    ScopedTimeZone east("CST-8");  // eight hours east of UTC, no summer time
    EXPECT_EQ(Time::formatLocal(0, "%Y/%m/%d %H:%M:%S"), "1970/01/01 08:00:00");
    EXPECT_EQ(Time::formatLocal(1709993107, "[%Y-%m-%d]"), "[2024-03-09]");
  }
}

TEST(TimeTest, FormatEdgeCases) {
  ScopedTimeZone utc("UTC0");
  EXPECT_EQ(Time::formatLocal(0, ""), "");
  EXPECT_EQ(Time::formatLocal(0, "plain"), "plain");
  std::string longPattern;
  std::string expected;
  for (int i = 0; i < 100; ++i) {
    longPattern += "%Y-%m-%d ";
    expected += "1970-01-01 ";
  }
  EXPECT_EQ(Time::formatLocal(0, longPattern), expected);
}

TEST(TimeTest, FormattingFromManyThreadsAtOnce) {
  ScopedTimeZone utc("UTC0");
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 500; ++i) {
        std::int64_t when = 86400LL * (t * 1000 + i);
        std::string day = Time::formatLocal(when, "%H:%M:%S");
        if (day != "00:00:00") ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace kx
