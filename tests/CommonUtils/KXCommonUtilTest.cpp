#include "CommonUtils/KXCommonUtil.h"

#include <gtest/gtest.h>

// Found by argument-dependent lookup, so it lives in KXSize's namespace.
void PrintTo(const KXSize& size, std::ostream* os) { *os << size.width << " x " << size.height; }

namespace {

TEST(KXCommonUtilTest, FitAndFillKeepTheAspect) {
  struct Case {
    KXSize size;
    KXSize box;
    KXSize fit;
    KXSize fill;
  };
  const Case cases[] = {
      {{400, 200}, {100, 100}, {100, 50}, {200, 100}},
      {{50, 50}, {100, 100}, {50, 50}, {50, 50}},
      {{400, 50}, {100, 100}, {100, 13}, {400, 50}},  // 12.5 rounds up
      {{300, 300}, {0, 100}, {0, 0}, {0, 0}},         // no width: an empty box
      {{300, 300}, {-5, 100}, {0, 0}, {0, 0}},
      {{300, 300}, {100, 0}, {0, 0}, {100, 100}},  // no height: scaled against
      {{300, 100}, {100, 0}, {0, 0}, {100, 34}},
      {{0, 0}, {100, 100}, {0, 0}, {0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXCommonUtil::sizeFit(c.size, c.box), c.fit)
        << c.size.width << "x" << c.size.height << " in " << c.box.width << "x" << c.box.height;
    EXPECT_EQ(KXCommonUtil::sizeFill(c.size, c.box), c.fill)
        << c.size.width << "x" << c.size.height << " in " << c.box.width << "x" << c.box.height;
  }
}

TEST(KXCommonUtilTest, ScaleDividesAndRoundsUp) {
  EXPECT_EQ(KXCommonUtil::scaleSize({10, 7}, 2), (KXSize{5, 4}));
  EXPECT_EQ(KXCommonUtil::scaleSize({10, 7}, 0), (KXSize{0, 0}));
  EXPECT_EQ(KXCommonUtil::scaleSize({10, 7}, -1), (KXSize{0, 0}));
}

}  // namespace
