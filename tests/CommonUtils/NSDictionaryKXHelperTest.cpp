#include "CommonUtils/NSDictionaryKXHelper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"

namespace {

TEST(NSDictionaryKXHelperTest, PairsToText) {
  EXPECT_EQ(NSDictionaryKXHelper::stringForHTTPFormat({}, "&", "="), "");
  EXPECT_EQ(NSDictionaryKXHelper::stringForHTTPFormat({{"a", "b c"}}, "&", "="), "a=b%20c");
  EXPECT_EQ(NSDictionaryKXHelper::stringForHTTPFormat(
                {{"n", 5}, {"f", true}, {"d", 1.5}, {"s", "x"}}, "&", "="),
            "n=5&f=1&d=1.5&s=x");
  EXPECT_EQ(NSDictionaryKXHelper::stringForHTTPFormat({{"a", "1"}, {"b", "2"}}, "; ", ":", false),
            "a:1; b:2");
}

TEST(NSDictionaryKXHelperTest, EscapingKeepsReservedCharactersFromBreakingTheBody) {
  const kx::Dictionary params{{"k&y=", "v=1+2&x"}, {"name", "张三"}};
  const std::string text = NSDictionaryKXHelper::stringForHTTPFormat(params, "&", "=");
  EXPECT_EQ(text, "k%26y%3D=v%3D1%2B2%26x&name=%E5%BC%A0%E4%B8%89");
  EXPECT_EQ(NSDictionaryKXHelper::dictionaryFromQuery(text, kKXUTF8Encoding), params);

  // Without escaping the text is written as it stands.
  EXPECT_EQ(NSDictionaryKXHelper::stringForHTTPFormat({{"a", "b&c"}}, "&", "=", false), "a=b&c");
}

TEST(NSDictionaryKXHelperTest, DictionariesAndArraysTravelAsJsonText) {
  const kx::Value nested = kx::Value::dict({{"q", "a&b=c"}, {"n", 1}});
  const kx::Value list = kx::Value::array({"x+y", 2});
  const kx::Dictionary params{{"meta", nested}, {"ids", list}};

  const std::string raw = NSDictionaryKXHelper::stringForHTTPFormat(params, "\n", ":", false);
  EXPECT_EQ(raw, "meta:" + JSONStringWithOptions(nested, JKSerializeOptionPretty, nullptr) +
                     "\nids:" + JSONStringWithOptions(list, JKSerializeOptionPretty, nullptr));

  // Escaped, the JSON comes back whole through the query reader.
  const std::string text = NSDictionaryKXHelper::stringForHTTPFormat(params, "&", "=");
  kx::Dictionary back = NSDictionaryKXHelper::dictionaryFromQuery(text, kKXUTF8Encoding);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(objectFromJSONString(back["meta"].string()), nested);
  EXPECT_EQ(objectFromJSONString(back["ids"].string()), list);
}

TEST(NSDictionaryKXHelperTest, SectionsCollectRepeatedKeys) {
  kx::Dictionary d = NSDictionaryKXHelper::dictionaryWithSections(
      {"a = 1", "a = 2", "b = 3", "no separator", "\tc = 4 "}, "=");
  EXPECT_EQ(d, (kx::Dictionary{{"a", kx::Value::array({"1", "2"})}, {"b", "3"}, {"\tc", "4"}}));
  d = NSDictionaryKXHelper::dictionaryWithSections({"a=1", "a=2", "a=3"}, "=");
  EXPECT_EQ(d["a"], kx::Value::array({"1", "2", "3"}));
  EXPECT_TRUE(NSDictionaryKXHelper::dictionaryWithSections({"a=1"}, "").empty());
  // Only the first separator splits.
  EXPECT_EQ(NSDictionaryKXHelper::dictionaryWithSections({"k=v=w"}, "=")["k"], kx::Value("v=w"));
}

TEST(NSDictionaryKXHelperTest, FormattedStringsSplitOnTextOrCharacters) {
  EXPECT_EQ(NSDictionaryKXHelper::dictionaryWithFormatedString("a=1; b=2", ";", "="),
            (kx::Dictionary{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(
      NSDictionaryKXHelper::dictionaryWithFormatedStringCharacterSet("a:1,b:2;c:3", ",;", ":"),
      (kx::Dictionary{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
  EXPECT_EQ(NSDictionaryKXHelper::dictionaryWithFormatedStringCharacterSet("a:1、b:2", "、", ":"),
            (kx::Dictionary{{"a", "1"}, {"b", "2"}}));
}

TEST(NSDictionaryKXHelperTest, QueryToDictionary) {
  struct Case {
    const char* query;
    std::uint64_t encoding;
    kx::Dictionary expected;
  };
  const std::vector<Case> cases = {
      {"a=1&&b=2&c", kKXUTF8Encoding, {{"a", "1"}, {"b", "2"}}},
      {"x=%41", kKXUTF8Encoding, {{"x", "A"}}},
      {"x=%41", kKXRawEncoding, {{"x", "%41"}}},
      {"a=1&a=2", kKXUTF8Encoding, {{"a", "2"}}},
      {"a=b+c", kKXUTF8Encoding, {{"a", "b+c"}}},
      {"bad=%zz&ok=1", kKXUTF8Encoding, {{"ok", "1"}}},
      {"&&", kKXUTF8Encoding, {}},
      {"", kKXUTF8Encoding, {}},
      {"=v&k=", kKXUTF8Encoding, {{"", "v"}, {"k", ""}}},
      // The encoding reads the escaped bytes; the rest stays as written.
      {"x=%E9", kKXISOLatin1Encoding, {{"x", "é"}}},
      {"x=%E9", kKXUTF8Encoding, {}},  // a lone E9 is no UTF-8
      {"x=%C3%A9", kKXUTF8Encoding, {{"x", "é"}}},
      {"x=%C3%A9", kKXISOLatin1Encoding, {{"x", "Ã©"}}},
      {"%E9t%E9=caf%E9", kKXWindowsCP1252Encoding, {{"été", "café"}}},
      {"x=%80", kKXWindowsCP1252Encoding, {{"x", "€"}}},
      {"q=%B1%CA%BC%C7&a=%41", kKXGB18030Encoding, {{"q", "笔记"}, {"a", "A"}}},
      {"x=%E9&y=1", kKXASCIIEncoding, {{"y", "1"}}},
      {"x=1", 0x12345, {}},  // no such encoding
      {"x=%4", kKXISOLatin1Encoding, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NSDictionaryKXHelper::dictionaryFromQuery(c.query, c.encoding), c.expected)
        << c.query;
  }
}

TEST(NSDictionaryKXHelperTest, ReverseMapsValuesToKeysLaterWins) {
  EXPECT_EQ(NSDictionaryKXHelper::dictionaryWithReverseDictionary(
                {{"a", "x"}, {"b", "x"}, {"c", "y"}, {"n", 3}}),
            (kx::Dictionary{{"x", "b"}, {"y", "c"}, {"3", "n"}}));
}

}  // namespace
