#include "CommonUtils/NSNumberBoolString.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(NSNumberBoolStringTest, BoolString) {
  EXPECT_EQ(NSNumberBoolString::boolStringValue(true), "true");
  EXPECT_EQ(NSNumberBoolString::boolStringValue(0), "false");
  EXPECT_EQ(NSNumberBoolString::boolStringValue(2), "true");
}

TEST(NSNumberBoolStringTest, TimeStampsAreBroughtToSeconds) {
  struct Case {
    std::int64_t in;
    std::int64_t out;
  };
  const Case cases[] = {
      {1'600'000'000, 1'600'000'000},            // seconds stay
      {10'000'000'000, 10'000'000'000},          // the largest that stays
      {1'600'000'000'123, 1'600'000'000},        // milliseconds
      {1'600'000'000'123'456, 1'600'000'000},    // microseconds
      {10'000'000'000'999, 10'000'000'000},      // divided once only
      {-1'600'000'000'123, -1'600'000'000'123},  // negative: unchanged
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NSNumberBoolString::dateNumber(kx::Value(c.in)).intValue(), c.out) << c.in;
  }
  EXPECT_EQ(NSNumberBoolString::dateNumber(kx::Value("1600000000123")).intValue(), 1'600'000'000);
}

}  // namespace
