#include "platform/Text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "platform/Value.h"

namespace kx {
namespace {

// "😀" is U+1F600, two UTF-16 units; "中" and "文" are one unit each.
const std::string kEmoji = "\xF0\x9F\x98\x80";

TEST(TextTest, Utf16Lengths) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"", 0},
      {"abc", 3},
      {"中文", 2},
      {kEmoji, 2},
      {"a" + kEmoji + "b", 4},
      {"中" + kEmoji + kEmoji + "文", 6},
      {"\xC3\xA9", 1},      // é
      {"\xFF", 1},          // ill-formed byte: one U+FFFD
      {"\xE4\xB8", 1},      // cut-off sequence: one U+FFFD
      {"\xF0\x9F\x98", 1},  // cut-off supplementary character
      {"\xE4\xB8x", 2},     // interrupted sequence, then "x"
  };
  for (const auto& [text, units] : cases) {
    EXPECT_EQ(Text::utf16Length(text), units) << testing::PrintToString(text);
  }
}

TEST(TextTest, Utf16PrefixNeverSplitsACharacter) {
  const std::string mixed = "a" + kEmoji + "中文" + kEmoji;  // units: 1, 2, 1, 1, 2
  const std::pair<std::size_t, std::string> cases[] = {
      {0, ""},
      {1, "a"},
      {2, "a"},  // the pair would be split
      {3, "a" + kEmoji},
      {4, "a" + kEmoji + "中"},
      {5, "a" + kEmoji + "中文"},
      {6, "a" + kEmoji + "中文"},
      {7, mixed},
      {100, mixed},
  };
  for (const auto& [units, expected] : cases) {
    EXPECT_EQ(Text::utf16Prefix(mixed, units), expected) << units;
    EXPECT_LE(Text::utf16Length(Text::utf16Prefix(mixed, units)), units);
    EXPECT_EQ(Text::utf8OffsetForUtf16Prefix(mixed, units), expected.size());
  }
}

TEST(TextTest, Utf16SubstringWidensToWholeCharacters) {
  // A 45-unit summary of text whose 45th unit starts a pair keeps the pair.
  const std::string text = std::string(44, 'x') + kEmoji + "tail";
  EXPECT_EQ(Text::utf16Substring(text, 0, 45), std::string(44, 'x') + kEmoji);
  EXPECT_EQ(Text::utf16Substring("ab", 0, 45), "ab");

  const std::string mixed = "a" + kEmoji + "中文";  // units: a=0, pair=1..2, 中=3, 文=4
  const std::tuple<std::size_t, std::size_t, std::string> cases[] = {
      {0, 1, "a"},
      {1, 1, kEmoji},         // first half of the pair
      {2, 1, kEmoji},         // second half of the pair
      {2, 2, kEmoji + "中"},  // starts inside the pair
      {3, 2, "中文"},
      {4, 10, "文"},
      {5, 3, ""},
      {1, 0, ""},
      {0, std::numeric_limits<std::size_t>::max(), mixed},
  };
  for (const auto& [location, length, expected] : cases) {
    EXPECT_EQ(Text::utf16Substring(mixed, location, length), expected) << location << "," << length;
  }
}

TEST(TextTest, Utf8Validation) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain ascii", true},
      {"中文" + kEmoji, true},
      {"\xEF\xBF\xBD", true},       // U+FFFD itself
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\x80", false},      // stray continuation
      {"\xE4\xB8", false},  // cut off
      {"\xE4\xB8"
       "a",
       false},                                 // interrupted
      {std::string(37, 'x') + "\xFF", false},  // after the eight-byte ASCII runs
      {std::string(37, 'x') + "\xC3\xA9" + std::string(20, 'y'), true},
  };
  for (const auto& [text, valid] : cases) {
    EXPECT_EQ(Text::isValidUtf8(text), valid) << testing::PrintToString(text);
  }
}

TEST(TextTest, IllFormedUtf8BecomesReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(Text::toValidUtf8("a\xFF"
                              "b"),
            "a" + fffd + "b");
  EXPECT_EQ(Text::toValidUtf8("\xE4\xB8"), fffd);
  EXPECT_EQ(Text::toValidUtf8("\xE4\xB8"
                              "a"),
            fffd + "a");
  EXPECT_EQ(Text::toValidUtf8("\xED\xA0\x80x"), fffd + "x");
  EXPECT_EQ(Text::toValidUtf8("ok 中"), "ok 中");
  EXPECT_EQ(Text::toUtf32("a\xFF"
                          "b"),
            U"a\uFFFDb");
  EXPECT_EQ(Text::toWide("\xC0\xAF!"), L"\uFFFD!");
}

TEST(TextTest, ConversionsBetweenEncodings) {
  const std::string text = "a中" + kEmoji + "é";
  EXPECT_EQ(Text::toUtf32(text), U"a中\U0001F600é");
  EXPECT_EQ(Text::fromUtf32(U"a中\U0001F600é"), text);
  EXPECT_EQ(Text::toWide(text), L"a中\U0001F600é");
  EXPECT_EQ(Text::fromWide(L"a中\U0001F600é"), text);
  EXPECT_EQ(Text::toUtf16(text), u"a中\U0001F600é");
  EXPECT_EQ(Text::toUtf16(kEmoji), std::u16string(u"\xD83D\xDE00"));
  EXPECT_EQ(Text::fromUtf16(u"a中\U0001F600é"), text);

  const std::string fffd = "\xEF\xBF\xBD";
  std::u32string bad32 = {U'a', static_cast<char32_t>(0xD800), static_cast<char32_t>(0x110000)};
  EXPECT_EQ(Text::fromUtf32(bad32), "a" + fffd + fffd);
  std::u16string lone = {u'x', static_cast<char16_t>(0xD83D), u'y', static_cast<char16_t>(0xDE00)};
  EXPECT_EQ(Text::fromUtf16(lone), "x" + fffd + "y" + fffd);
  EXPECT_EQ(Text::fromUtf16(std::u16string(1, static_cast<char16_t>(0xD83D))), fffd);
}

TEST(TextTest, AsciiCaseFoldingLeavesOtherBytesAlone) {
  EXPECT_EQ(Text::asciiLower("AbC-Ä-中"), "abc-Ä-中");
  EXPECT_EQ(Text::asciiUpper("abc-é-z"), "ABC-é-Z");
  EXPECT_TRUE(Text::asciiEqualIgnoringCase("Content-Type", "content-TYPE"));
  EXPECT_FALSE(Text::asciiEqualIgnoringCase("Ä", "ä"));
  EXPECT_FALSE(Text::asciiEqualIgnoringCase("abc", "abcd"));
  EXPECT_EQ(Text::asciiCompareIgnoringCase("apple", "BANANA"), -1);
  EXPECT_EQ(Text::asciiCompareIgnoringCase("Zed", "apple"), 1);
  EXPECT_EQ(Text::asciiCompareIgnoringCase("ABC", "abc"), 0);
  EXPECT_EQ(Text::asciiCompareIgnoringCase("ab", "ABC"), -1);
  // Letters fold to lower case, so '_' (0x5F) sorts before 'a' (0x61).
  EXPECT_EQ(Text::asciiCompareIgnoringCase("_", "A"), -1);
}

TEST(TextTest, NumbersToText) {
  EXPECT_EQ(Text::toString(0), "0");
  EXPECT_EQ(Text::toString(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(Text::toString(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(Text::toString(static_cast<unsigned char>(200)), "200");
  const std::pair<double, std::string> shortest[] = {
      {0.1, "0.1"},       {1.0, "1"},      {-0.0, "-0"},
      {1e20, "1e+20"},    {1e-7, "1e-07"}, {123456.789, "123456.789"},
      {5e-324, "5e-324"}, {0.3, "0.3"},    {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& [value, text] : shortest) EXPECT_EQ(Text::toString(value), text);
}

TEST(TextTest, PreciseDoubleTextMatchesPrintf) {
  std::mt19937_64 rng(99);
  std::vector<double> values = {0.1, 1.0 / 3, 1e300, -2.5e-310, 123456789012345678.0,
                                0.0, -0.0,    1e16,  1e17};
  for (int i = 0; i < 500; ++i) {
    std::uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof(d));
    if (std::isfinite(d)) values.push_back(d);
  }
  for (double d : values) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%.17g", d);
    EXPECT_EQ(Text::toStringPrecise(d), buf);
  }
}

TEST(TextTest, StrictParsing) {
  EXPECT_EQ(Text::parseInt64("-42"), -42);
  EXPECT_EQ(Text::parseInt64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Text::parseInt64("9223372036854775808"), std::nullopt);
  EXPECT_EQ(Text::parseInt64("+1"), std::nullopt);
  EXPECT_EQ(Text::parseInt64(" 1"), std::nullopt);
  EXPECT_EQ(Text::parseInt64("1 "), std::nullopt);
  EXPECT_EQ(Text::parseInt64(""), std::nullopt);
  EXPECT_EQ(Text::parseUInt64("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(Text::parseUInt64("-1"), std::nullopt);
  EXPECT_EQ(Text::parseDouble("1.5e3"), 1500.0);
  EXPECT_EQ(Text::parseDouble("-.25"), -0.25);
  EXPECT_EQ(Text::parseDouble("0.1"), 0.1);
  EXPECT_EQ(Text::parseDouble("1."), 1.0);
  EXPECT_EQ(Text::parseDouble("inf"), std::nullopt);
  EXPECT_EQ(Text::parseDouble("nan"), std::nullopt);
  EXPECT_EQ(Text::parseDouble("0x10"), std::nullopt);
  EXPECT_EQ(Text::parseDouble("1,5"), std::nullopt);
  EXPECT_EQ(Text::parseDouble("-"), std::nullopt);
  EXPECT_EQ(Text::parseDouble("1e999"), std::nullopt);
}

TEST(TextTest, LenientParsingReadsTheLeadingNumber) {
  const std::tuple<std::string, std::int64_t, double, bool> cases[] = {
      {"  12abc", 12, 12.0, true}, {"abc", 0, 0.0, false},
      {"", 0, 0.0, false},         {" \t-3.75xyz", -3, -3.75, true},
      {"+0009", 9, 9.0, true},     {"1,5", 1, 1.0, true},
      {"2e3", 2, 2000.0, true},    {"2e", 2, 2.0, true},
      {"- 4", 0, 0.0, false},      {"0.0001", 0, 0.0001, false},
      {"y", 0, 0.0, true},         {"False", 0, 0.0, false},
      {"1e-400", 1, 0.0, true},    {"-1e400", -1, -std::numeric_limits<double>::infinity(), true},
  };
  for (const auto& [text, i, d, b] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Text::leadingInt64(text), i);
    EXPECT_EQ(Text::leadingDouble(text), d);
    EXPECT_EQ(Text::leadingBool(text), b);
  }
  EXPECT_EQ(Text::leadingUInt64("-5"), 0u);
  EXPECT_EQ(Text::leadingUInt64("99999999999999999999999"),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(Text::leadingInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Text::leadingInt64("-9223372036854775809"), std::numeric_limits<std::int64_t>::min());
}

// Number text must not follow the C locale, which a library or the desktop
// may set to one with a decimal comma.
TEST(TextTest, NumberTextIgnoresTheCLocale) {
  const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8",
                              "ru_RU.UTF-8", "de_DE",      "nl_NL.UTF-8"};
  std::string previous = std::setlocale(LC_ALL, nullptr);
  const char* chosen = nullptr;
  for (const char* name : candidates) {
    if (std::setlocale(LC_ALL, name) && std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
      chosen = name;
      break;
    }
  }
  if (!chosen) {
    std::setlocale(LC_ALL, previous.c_str());
    GTEST_SKIP() << "no locale with a decimal comma is installed (e.g. de_DE.UTF-8)";
  }
  char check[32];
  std::snprintf(check, sizeof(check), "%.1f", 1.5);
  EXPECT_STREQ(check, "1,5") << "locale " << chosen << " is not in effect";

  EXPECT_EQ(Text::toString(1.5), "1.5");
  EXPECT_EQ(Text::toStringPrecise(0.5), "0.5");
  EXPECT_EQ(Text::parseDouble("2.25"), 2.25);
  EXPECT_EQ(Text::leadingDouble(" 2.25"), 2.25);
  EXPECT_EQ(Text::leadingDouble("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(Value(0.25).stringValue(), "0.25");
  EXPECT_EQ(Value("3.5").doubleValue(), 3.5);
  EXPECT_EQ(Text::toString(1234567), "1234567");
  std::setlocale(LC_ALL, previous.c_str());
}

}  // namespace
}  // namespace kx
