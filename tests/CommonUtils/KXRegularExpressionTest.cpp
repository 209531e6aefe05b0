#include "CommonUtils/KXRegularExpression.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using RX = KXRegularExpression;

RX compile(std::string_view pattern, RX::Options options = 0) {
  std::optional<RX> rx = RX::make(pattern, options);
  if (!rx) throw std::runtime_error("pattern did not compile: " + std::string(pattern));
  return *rx;
}

std::vector<KXRange> wholeRanges(const RX& rx, std::string_view text) {
  std::vector<KXRange> out;
  for (const RX::Match& m : rx.matches(text)) out.push_back(m.range());
  return out;
}

TEST(KXRegularExpressionTest, InvalidPatternGivesNoExpression) {
  const std::string withNul("a\0b", 3);
  const std::string cases[] = {"(",  "[a-",   "a{2,1}", "*a", "(?<n>a)(?<n>b)",
                               "\\", "a\xff", withNul};
  for (const std::string& pattern : cases) {
    kx::Error error;
    EXPECT_FALSE(RX::make(pattern, 0, &error).has_value()) << pattern;
    EXPECT_EQ(error.domain(), kKXRegularExpressionErrorDomain) << pattern;
  }
  // The same text is fine when taken literally.
  EXPECT_TRUE(RX::make("(", RX::IgnoreMetacharacters).has_value());
}

TEST(KXRegularExpressionTest, ClassesAndCaseFollowUnicode) {
  struct Case {
    const char* pattern;
    RX::Options options;
    const char* text;
    bool matches;
  };
  const Case cases[] = {
      {"^\\s$", 0, "\u00A0", true},  // no-break space
      {"^\\s$", 0, "\u3000", true},  // ideographic space
      {"^\\s$", 0, "\u2028", true},  // line separator
      {"^\\d$", 0, "\u0663", true},  // Arabic-Indic three
      {"^\\w+$", 0, "中文笔记", true},
      {"^\\w$", 0, "😀", false},
      {"^é$", RX::CaseInsensitive, "É", true},
      {"^ω$", RX::CaseInsensitive, "Ω", true},
      {"^abc$", RX::CaseInsensitive, "ABC", true},
      {"^abc$", 0, "ABC", false},
      {"^.$", 0, "😀", true},  // one character, not one byte
      {"^..$", 0, "😀", false},
      {"a b # comment", RX::AllowCommentsAndWhitespace, "ab", true},
  };
  for (const Case& c : cases) {
    RX rx = compile(c.pattern, c.options);
    EXPECT_EQ(rx.firstMatch(c.text).has_value(), c.matches) << c.pattern << " on " << c.text;
  }
}

TEST(KXRegularExpressionTest, EveryUnicodeLineTerminatorEndsALine) {
  // "." stops at line terminators unless told otherwise.
  for (const char* sep : {"\n", "\r", "\u0085", "\u2028", "\u2029"}) {
    std::string text = std::string("a") + sep + "b";
    EXPECT_FALSE(compile("a.b").firstMatch(text)) << "separator " << int((unsigned char)sep[0]);
    EXPECT_TRUE(compile("a.b", RX::DotMatchesLineSeparators).firstMatch(text));
    EXPECT_TRUE(compile("^b$", RX::AnchorsMatchLines).firstMatch(text));
  }
  // With Unix separators only "\n" ends a line.
  EXPECT_TRUE(compile("a.b", RX::UseUnixLineSeparators).firstMatch("a\u2028b"));
  EXPECT_FALSE(
      compile("^b", RX::AnchorsMatchLines | RX::UseUnixLineSeparators).firstMatch("a\u2028b"));
  // "$" also matches before a final line terminator.
  EXPECT_TRUE(compile("b$").firstMatch("ab\n"));
}

TEST(KXRegularExpressionTest, RangesAreInUtf16UnitsAndBytes) {
  // 😀 is two UTF-16 units and four bytes; 中 one unit and three bytes.
  RX rx = compile("(b+)(x)?|(c)");
  const std::string text = "😀中bb😀c";
  std::vector<RX::Match> matches = rx.matches(text);
  ASSERT_EQ(matches.size(), 2u);

  EXPECT_EQ(matches[0].range(), (KXRange{3, 2}));
  EXPECT_EQ(matches[0].rangeAtIndex(1), (KXRange{3, 2}));
  EXPECT_FALSE(matches[0].rangeAtIndex(2).found());  // (x)? did not take part
  EXPECT_FALSE(matches[0].rangeAtIndex(3).found());
  EXPECT_FALSE(matches[0].rangeAtIndex(9).found());  // no such group
  EXPECT_EQ(matches[0].byteRanges[0].offset, 7u);
  EXPECT_EQ(matches[0].substring(text, 1), "bb");
  EXPECT_FALSE(matches[0].substring(text, 2).has_value());

  EXPECT_EQ(matches[1].range(), (KXRange{7, 1}));
  EXPECT_EQ(matches[1].substring(text, 3), "c");
  EXPECT_EQ(rx.numberOfCaptureGroups(), 3u);

  // A group inside a look-behind starts before the match.
  RX behind = compile("(?<=(😀))中");
  std::optional<RX::Match> m = behind.firstMatch("a😀中");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->range(), (KXRange{3, 1}));
  EXPECT_EQ(m->rangeAtIndex(1), (KXRange{1, 2}));
}

TEST(KXRegularExpressionTest, EmptyMatchesAdvanceOneCharacter) {
  struct Case {
    const char* pattern;
    const char* text;
    std::vector<KXRange> ranges;
  };
  const Case cases[] = {
      {"x*", "a😀b", {{0, 0}, {1, 0}, {3, 0}, {4, 0}}},
      {"a*", "baaac", {{0, 0}, {1, 3}, {4, 0}, {5, 0}}},
      {"a*", "aab", {{0, 2}, {2, 0}, {3, 0}}},
      {"|a", "a", {{0, 0}, {1, 0}}},
      {"", "", {{0, 0}}},
      {"b", "", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wholeRanges(compile(c.pattern), c.text), c.ranges) << c.pattern << " on " << c.text;
  }
}

TEST(KXRegularExpressionTest, TemplatesExpandGroupsAndEscapes) {
  RX rx = compile("(a)(b)?");
  struct Case {
    const char* templ;
    const char* result;
  };
  const Case cases[] = {
      {"[$1]", "[a]c"},    {"[$2]", "[]c"},     // a group that did not take part gives nothing
      {"[$0$0]", "[aa]c"}, {"[$12]", "[a2]c"},  // only two groups: "$1" and a literal "2"
      {"[$9]", "[]c"},                          // no such group
      {"[\\$1]", "[$1]c"}, {"[\\\\]", "[\\]c"}, {"[$]", "[$]c"},
      {"[$x]", "[$x]c"},   {"[\\中]", "[中]c"}, {"[x]\\", "[x]\\c"},  // a final backslash stays
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rx.replacingMatches("ac", c.templ), c.result) << c.templ;
  }
  // Twelve groups: "$12" is group 12.
  RX many = compile("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)");
  EXPECT_EQ(many.replacingMatches("abcdefghijkl", "$12$1"), "la");
  EXPECT_EQ(many.replacingMatches("abcdefghijkl", "$13"), "a3");
}

TEST(KXRegularExpressionTest, ReplacesEveryMatchKeepingTheRest) {
  EXPECT_EQ(compile("\\s+").replacingMatches("a \u3000 b\u00A0c", " "), "a b c");
  EXPECT_EQ(compile("(\\w+)@(\\w+)").replacingMatches("甲@乙, x@y", "$2@$1"), "乙@甲, y@x");
  EXPECT_EQ(compile("z").replacingMatches("中文😀", "y"), "中文😀");
  EXPECT_EQ(compile("x*").replacingMatches("ab", "-"), "-a-b-");
  EXPECT_EQ(compile("x").replacingMatches("", "-"), "");
}

TEST(KXRegularExpressionTest, IllFormedTextIsSearchedAsRepaired) {
  RX rx = compile("a.b");
  const std::string text =
      "a\xff"
      "b";
  std::optional<RX::Match> m = rx.firstMatch(text);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->range(), (KXRange{0, 3}));
  EXPECT_EQ(rx.replacingMatches("x" + text, "[$0]"), "x[a\uFFFDb]");
}

TEST(KXRegularExpressionTest, EscapedPatternMatchesTheTextLiterally) {
  const std::string texts[] = {"a.b*c", "(1)[2]{3}", "^$|?+\\", "中.文 #x", "😀+", "-/&'\""};
  for (const std::string& text : texts) {
    RX rx = compile("^" + RX::escapedPattern(text) + "$");
    EXPECT_TRUE(rx.firstMatch(text)) << text;
    RX extended = compile(RX::escapedPattern(text), RX::AllowCommentsAndWhitespace);
    EXPECT_EQ(extended.numberOfMatches(text), 1u) << text;
  }
  EXPECT_FALSE(compile("^" + RX::escapedPattern("a.b") + "$").firstMatch("axb"));
  RX literal = compile("a.b(", RX::IgnoreMetacharacters);
  EXPECT_EQ(literal.numberOfMatches("a.b( axb("), 1u);
  EXPECT_EQ(compile("x").replacingMatches("x", RX::escapedTemplate("$1\\")), "$1\\");
}

TEST(KXRegularExpressionTest, LongSubjectsDoNotExhaustTheStack) {
  // Alternation under a repeat backtracks deeply; the engine must either
  // finish or give up, never overflow the thread's stack.
  std::string text(1 << 20, 'a');
  for (std::size_t i = 1; i < text.size(); i += 2) text[i] = 'b';
  RX rx = compile("^(a|b)*c");
  EXPECT_FALSE(rx.firstMatch(text));
  RX whole = compile("^(?:a|b)*$");
  std::optional<RX::Match> m = whole.firstMatch(text);
  if (m) {
    EXPECT_EQ(m->range().length, text.size());
  }
}

TEST(KXRegularExpressionTest, OneExpressionServesManyThreads) {
  RX rx = compile("(\\d+)-(\\p{Han}+)");
  std::string text;
  for (int i = 0; i < 500; ++i) text += std::to_string(i) + "-中文 ";
  std::vector<std::size_t> counts(6);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < counts.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) counts[t] += rx.numberOfMatches(text);
    });
  }
  for (std::thread& th : threads) th.join();
  for (std::size_t c : counts) EXPECT_EQ(c, 500u * 20u);
}

}  // namespace
