#include "search/KXSTextUtil.h"

#include <gtest/gtest.h>

namespace {

TEST(KXSTextUtilTest, EscapesEverySpecialSequenceOnce) {
  EXPECT_EQ(KXSTextUtil::querySpecials().size(), 18u);
  EXPECT_EQ(KXSTextUtil::querySpecials().front(), "\\");
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"c++", "c\\+\\+"},
      {"a\\b", "a\\\\b"},  // a backslash reaches the parser doubled
      {"\\+", "\\\\\\+"},  // the backslash added for "+" is not escaped again
      {"a && b || !c", "a \\&& b \\|| \\!c"},
      {"a & b | c", "a & b | c"},  // single & and | are not specials
      {"(x){y}[z]", "\\(x\\)\\{y\\}\\[z\\]"},
      {"f^2 \"q\" ~1 a*b? k:v -n", "f\\^2 \\\"q\\\" \\~1 a\\*b\\? k\\:v \\-n"},
      {"中文+笔记", "中文\\+笔记"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(KXSTextUtil::escapeQuery(c.in), c.out) << c.in;
}

TEST(KXSTextUtilTest, PutsOneBlankBeforeEachRunAboveLatin1) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"abc中文def", "abc 中文def"},  // before the run, none after it
      {"中文", " 中文"},
      {"a中b文", "a 中b 文"},
      {"café naïve", "café naïve"},  // Latin-1 letters are not spaced
      {"x😀y", "x 😀y"},               // supplementary characters count as above U+00FF
      {"Ωmega", " Ωmega"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(KXSTextUtil::spacedText(c.in), c.out) << c.in;
  // Ill-formed bytes become U+FFFD, a character above U+00FF.
  EXPECT_EQ(KXSTextUtil::spacedText("a\xff"), "a \xEF\xBF\xBD");
}

TEST(KXSTextUtilTest, DropsAWholeFirstCharacter) {
  EXPECT_EQ(KXSTextUtil::dropFirstCharacter("/work"), "work");
  EXPECT_EQ(KXSTextUtil::dropFirstCharacter("中文"), "文");
  EXPECT_EQ(KXSTextUtil::dropFirstCharacter("😀x"), "x");
  EXPECT_EQ(KXSTextUtil::dropFirstCharacter("a"), "");
  EXPECT_EQ(KXSTextUtil::dropFirstCharacter(""), "");
}

}  // namespace
