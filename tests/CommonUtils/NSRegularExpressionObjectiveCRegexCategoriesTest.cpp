#include "CommonUtils/NSRegularExpressionObjectiveCRegexCategories.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Rx = NSRegularExpressionObjectiveCRegexCategories;
using Strings = std::vector<std::string>;

KXRegularExpression rx(std::string_view pattern) {
  std::optional<KXRegularExpression> r = Rx::rx(pattern);
  if (!r) throw std::runtime_error("pattern did not compile");
  return *r;
}

TEST(NSRegularExpressionObjectiveCRegexCategoriesTest, BuildsExpressionsOrNothing) {
  EXPECT_FALSE(Rx::rx("(").has_value());
  EXPECT_FALSE(Rx::initWithPattern("[").has_value());
  EXPECT_FALSE(Rx::rxIgnoreCase("(", true).has_value());
  EXPECT_FALSE(Rx::isMatch(*Rx::rxIgnoreCase("abc", false), "ABC"));
  EXPECT_TRUE(Rx::isMatch(*Rx::rxIgnoreCase("abc", true), "xABCx"));
  EXPECT_TRUE(Rx::isMatch(*Rx::rxOptions("^b", KXRegularExpression::AnchorsMatchLines), "a\nb"));
  EXPECT_FALSE(Rx::isMatch(rx("^b"), "a\nb"));
}

TEST(NSRegularExpressionObjectiveCRegexCategoriesTest, IndexOfCountsUtf16Units) {
  EXPECT_EQ(Rx::indexOf(rx("z"), "abc"), -1);
  EXPECT_EQ(Rx::indexOf(rx("c"), "abc"), 2);
  EXPECT_EQ(Rx::indexOf(rx("文"), "😀中文"), 3);
  EXPECT_EQ(Rx::indexOf(rx("x*"), "abc"), 0);
}

TEST(NSRegularExpressionObjectiveCRegexCategoriesTest, SplitKeepsEmptyPieces) {
  struct Case {
    const char* pattern;
    const char* text;
    Strings pieces;
  };
  const Case cases[] = {
      {",", "a,b,,c", {"a", "b", "", "c"}},
      {",", ",a", {"", "a"}},
      {",", "a,", {"a", ""}},
      {",", "abc", {"abc"}},
      {",", "", {""}},
      {"，|、", "甲，乙、😀", {"甲", "乙", "😀"}},
      {"\\s+", "a \u3000b", {"a", "b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Rx::split(rx(c.pattern), c.text), c.pieces) << c.text;
}

TEST(NSRegularExpressionObjectiveCRegexCategoriesTest, ReplacesWithTemplatesAndBlocks) {
  EXPECT_EQ(Rx::replace(rx("(\\d+)"), "第1章第22节", "<$1>"), "第<1>章第<22>节");

  auto bracket = [](const std::string& s) { return "[" + s + "]"; };
  EXPECT_EQ(Rx::replaceWithBlock(rx("\\p{Han}+"), "ab中文c😀笔记", bracket), "ab[中文]c😀[笔记]");
  EXPECT_EQ(Rx::replaceWithBlock(rx("a"), "banana", nullptr), "banana");
  EXPECT_EQ(Rx::replaceWithDetailsBlock(rx("a"), "banana", nullptr), "banana");

  std::vector<KXRange> seen;
  std::string swapped =
      Rx::replaceWithDetailsBlock(rx("(\\w)(\\w)"), "😀ab cd", [&](const RxMatch& m) {
        seen.push_back(m.range);
        EXPECT_EQ(*m.original, "😀ab cd");
        return m.groups[2].value.value_or("?") + m.groups[1].value.value_or("?");
      });
  EXPECT_EQ(swapped, "😀ba dc");
  EXPECT_EQ(seen, (std::vector<KXRange>{{2, 2}, {5, 2}}));
}

TEST(NSRegularExpressionObjectiveCRegexCategoriesTest, ListsMatches) {
  EXPECT_EQ(Rx::matches(rx("\\d+"), "a1b22中333"), (Strings{"1", "22", "333"}));
  EXPECT_EQ(Rx::matches(rx("x*"), "ab"), (Strings{"", "", ""}));
  EXPECT_TRUE(Rx::matches(rx("z"), "abc").empty());
  EXPECT_EQ(Rx::firstMatch(rx("\\p{Han}+"), "ab中文c笔记"), "中文");
  EXPECT_FALSE(Rx::firstMatch(rx("z"), "abc").has_value());
}

TEST(NSRegularExpressionObjectiveCRegexCategoriesTest, DetailsCarryGroupsRangesAndOriginal) {
  std::vector<RxMatch> all = Rx::matchesWithDetails(rx("(a)|(b)|(x*)"), "😀ab");
  // Matches: "" at 0 (before the emoji), "a" at 2, "b" at 3, "" at 4.
  ASSERT_EQ(all.size(), 4u);
  EXPECT_FALSE(all[0].value.has_value());  // an empty match has no value
  EXPECT_EQ(all[0].range, (KXRange{0, 0}));
  EXPECT_EQ(all[1].value, "a");
  EXPECT_EQ(all[1].range, (KXRange{2, 1}));
  ASSERT_EQ(all[1].groups.size(), 4u);
  EXPECT_EQ(all[1].groups[0].value, "a");
  EXPECT_EQ(all[1].groups[1].value, "a");
  EXPECT_EQ(all[1].groups[1].range, (KXRange{2, 1}));
  EXPECT_FALSE(all[1].groups[2].value.has_value());  // did not take part
  EXPECT_FALSE(all[1].groups[2].range.found());
  EXPECT_EQ(all[2].groups[2].value, "b");
  EXPECT_FALSE(all[3].groups[3].value.has_value());  // took part, but empty
  EXPECT_EQ(all[3].groups[3].range, (KXRange{4, 0}));
  EXPECT_EQ(all[0].original, all[3].original);  // one shared copy
  EXPECT_EQ(*all[0].original, "😀ab");

  std::optional<RxMatch> first = Rx::firstMatchWithDetails(rx("(\\d+)"), "页码：12");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->value, "12");
  EXPECT_EQ(first->range, (KXRange{3, 2}));
  EXPECT_FALSE(Rx::firstMatchWithDetails(rx("z"), "abc").has_value());

  KXRegularExpression r = rx("(b)");
  std::optional<KXRegularExpression::Match> result = r.firstMatch("abc");
  ASSERT_TRUE(result);
  RxMatch converted = Rx::resultToMatch(r, *result, std::string("abc"));
  EXPECT_EQ(converted.value, "b");
  EXPECT_EQ(converted.groups[1].range, (KXRange{1, 1}));
}

}  // namespace
