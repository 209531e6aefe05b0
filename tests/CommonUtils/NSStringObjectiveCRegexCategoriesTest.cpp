#include "CommonUtils/NSStringObjectiveCRegexCategories.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using S = NSStringObjectiveCRegexCategories;
using Strings = std::vector<std::string>;

TEST(NSStringObjectiveCRegexCategoriesTest, MirrorsTheExpressionVerbs) {
  EXPECT_TRUE(S::isMatch("笔记本", S::toRx("记")));
  EXPECT_EQ(S::indexOf("😀x", S::toRx("x")), 2);
  EXPECT_EQ(S::split("a,b,,c", S::toRx(",")), (Strings{"a", "b", "", "c"}));
  EXPECT_EQ(S::replace("a1b2", S::toRx("(\\d)"), "<$1>"), "a<1>b<2>");
  EXPECT_EQ(S::replaceWithBlock("ab", S::toRx("b"), [](const std::string&) { return "中"; }),
            "a中");
  EXPECT_EQ(S::replaceWithDetailsBlock("ab", S::toRx("(b)"),
                                       [](const RxMatch& m) { return *m.groups[1].value + "!"; }),
            "ab!");
  EXPECT_EQ(S::matches("a1b22", S::toRx("\\d+")), (Strings{"1", "22"}));
  EXPECT_EQ(S::firstMatch("a1b22", S::toRx("\\d+")), "1");
  EXPECT_EQ(S::matchesWithDetails("a1b22", S::toRx("\\d+")).size(), 2u);
  EXPECT_EQ(S::firstMatchWithDetails("a1b22", S::toRx("\\d+"))->range, (KXRange{1, 1}));
  EXPECT_TRUE(S::isMatch("ABC", S::toRxIgnoreCase("abc", true)));
  EXPECT_FALSE(S::isMatch("ABC", S::toRxIgnoreCase("abc", false)));
  EXPECT_TRUE(
      S::isMatch("a\nb", S::toRxWithOptions("a.b", KXRegularExpression::DotMatchesLineSeparators)));
}

TEST(NSStringObjectiveCRegexCategoriesTest, NoExpressionMatchesNothing) {
  const S::OptionalRx none = S::toRx("(");
  ASSERT_FALSE(none.has_value());
  EXPECT_FALSE(S::isMatch("(", none));
  EXPECT_EQ(S::indexOf("(", none), -1);
  EXPECT_EQ(S::split("a(b", none), (Strings{"a(b"}));
  EXPECT_EQ(S::replace("a(b", none, "x"), "a(b");
  EXPECT_EQ(S::replaceWithBlock("a(b", none, [](const std::string&) { return "x"; }), "a(b");
  EXPECT_EQ(S::replaceWithDetailsBlock("a(b", none, [](const RxMatch&) { return "x"; }), "a(b");
  EXPECT_TRUE(S::matches("a(b", none).empty());
  EXPECT_FALSE(S::firstMatch("a(b", none).has_value());
  EXPECT_TRUE(S::matchesWithDetails("a(b", none).empty());
  EXPECT_FALSE(S::firstMatchWithDetails("a(b", none).has_value());
}

}  // namespace
