#include "CommonUtils/KXSizeUtil.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(KXSizeUtilTest, WholeUnitsAndATrueDecimalDigit) {
  struct Case {
    std::int64_t size;
    const char* text;
  };
  const Case cases[] = {
      {0, "0B"},
      {-5, "0B"},
      {std::numeric_limits<std::int64_t>::min(), "0B"},
      {1, "1.0 B"},
      {1023, "1023.0 B"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {2560, "2.5 KB"},
      {15872, "15.5 KB"},
      {154112, "150.5 KB"},
      {1034240, "1010.0 KB"},
      {1048575, "1023.9 KB"},  // truncated, never rounded up to 1024.0
      {1048576, "1.0 MB"},
      {1258291, "1.1 MB"},  // 1.2 MB less a little: the digit comes from every lower bit
      {std::int64_t{3} << 30, "3.0 GB"},
      {std::int64_t{1} << 40, "1.0 TB"},
      {(std::int64_t{3} << 49), "1.5 PB"},
      {std::int64_t{1} << 60, "1.0 EB"},
      {std::numeric_limits<std::int64_t>::max(), "7.9 EB"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXSizeUtil::sizeStringFromSize(c.size), c.text) << c.size;
  }
}

}  // namespace
