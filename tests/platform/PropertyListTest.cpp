#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "platform/FileSystem.h"
#include "support/TempAppRoot.h"

namespace kx {
namespace {

const char* const kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string wrap(std::string_view body) { return std::string(kHeader) + std::string(body) + "</plist>\n"; }

Value roundTrip(const Value& v) {
  Error error;
  auto text = PropertyList::serialize(v, &error);
  EXPECT_TRUE(text) << error.localizedDescription();
  if (!text) return Value();
  auto back = PropertyList::parse(*text, &error);
  EXPECT_TRUE(back) << error.localizedDescription() << "\n" << *text;
  return back ? *back : Value();
}

Value nestedArrays(std::size_t depth) {
  Value v = Value(Array());
  for (std::size_t i = 1; i < depth; ++i) v = Value::array({v});
  return v;
}

TEST(PropertyList, WritesThePlatformLayout) {
  Value v = Value::dict({
      {"name", "a <b> & c"},
      {"count", -3},
      {"ok", true},
      {"items", Value::array({0.5, Value::date(1796904000), Value::data("\x00\x01\x02", 3),
                              Value(Dictionary()), Value(Array())})},
  });
  auto text = PropertyList::serialize(v);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, wrap("<dict>\n"
                        "\t<key>name</key>\n"
                        "\t<string>a &lt;b&gt; &amp; c</string>\n"
                        "\t<key>count</key>\n"
                        "\t<integer>-3</integer>\n"
                        "\t<key>ok</key>\n"
                        "\t<true/>\n"
                        "\t<key>items</key>\n"
                        "\t<array>\n"
                        "\t\t<real>0.5</real>\n"
                        "\t\t<date>2026-12-10T12:00:00Z</date>\n"
                        "\t\t<data>\n"
                        "\t\tAAEC\n"
                        "\t\t</data>\n"
                        "\t\t<dict/>\n"
                        "\t\t<array/>\n"
                        "\t</array>\n"
                        "</dict>\n"));
}

TEST(PropertyList, LongDataIsBrokenIntoLinesThatShrinkWithIndentation) {
  Bytes bytes(300);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  for (std::size_t depth : {0u, 1u, 3u, 10u}) {
    Value v = Value(bytes);
    for (std::size_t i = 0; i < depth; ++i) v = Value::array({v});
    auto text = PropertyList::serialize(v);
    ASSERT_TRUE(text);
    const std::string tabs(depth, '\t');
    const std::size_t expectedLine = 76 - 8 * std::min<std::size_t>(depth, 8);
    std::size_t at = text->find(tabs + "<data>\n");
    ASSERT_NE(at, std::string::npos);
    at += tabs.size() + 7;
    std::size_t total = 0;
    while (text->compare(at, tabs.size() + 7, tabs + "</data>") != 0) {
      std::size_t eol = text->find('\n', at);
      ASSERT_EQ(text->compare(at, tabs.size(), tabs), 0);
      std::size_t len = eol - at - tabs.size();
      EXPECT_LE(len, expectedLine);
      if (total + len < 400) {
        EXPECT_EQ(len, expectedLine) << "depth " << depth;
      }
      total += len;
      at = eol + 1;
    }
    EXPECT_EQ(total, 400u);  // 300 bytes are 400 Base64 characters
    EXPECT_EQ(roundTrip(v), v);
  }
}

TEST(PropertyList, EveryKindRoundTripsWithItsKind) {
  Bytes binary(256);
  for (int i = 0; i < 256; ++i) binary[i] = static_cast<std::uint8_t>(i);
  const Value v = Value::dict({
      {"中文键", "中文内容：笔记本 📒"},
      {"xml", "<tag attr=\"x\">&amp; 'q' ]]> &#13;</tag>"},
      {"lines", "one\r\ntwo\rthree\n\tfour  "},
      {"empty", ""},
      {"spaces", "   "},
      {"zero", 0},
      {"min", static_cast<long long>(INT64_MIN)},
      {"max", static_cast<long long>(INT64_MAX)},
      {"umax", static_cast<unsigned long long>(UINT64_MAX)},
      {"real", 0.1},
      {"tiny", -2.5e-300},
      {"whole", 3.0},
      {"inf", HUGE_VAL},
      {"ninf", -HUGE_VAL},
      {"yes", true},
      {"no", false},
      {"date", Value::date(1796904000)},
      {"before1970", Value::date(-1)},
      {"year0", Value::date(-62167219200.0)},
      {"year9999", Value::date(253402300799.0)},
      {"leapDay", Value::date(1709251199)},
      {"data", Value(binary)},
      {"noData", Value(Bytes())},
      {"list", Value::array({1, "two", Value::array({Value(Dictionary())}), Value(Array())})},
      {"", "empty key"},
  });
  const Value back = roundTrip(v);
  EXPECT_EQ(back, v);
  // Equality compares numbers across kinds; the kinds must survive as well.
  EXPECT_EQ(back["zero"].kind(), Value::Kind::Int64);
  EXPECT_EQ(back["umax"].kind(), Value::Kind::UInt64);
  EXPECT_EQ(back["whole"].kind(), Value::Kind::Double);
  EXPECT_EQ(back["yes"].kind(), Value::Kind::Bool);
  EXPECT_EQ(back["date"].kind(), Value::Kind::Date);
  EXPECT_EQ(back["data"].kind(), Value::Kind::Data);
  EXPECT_EQ(back["noData"].kind(), Value::Kind::Data);
  // Keys come back in the written order.
  EXPECT_EQ(back.dict().keys(), v.dict().keys());

  const Value nan = roundTrip(Value(std::nan("")));
  EXPECT_TRUE(std::isnan(nan.doubleValue()));
}

TEST(PropertyList, DatesAreWholeSecondsInUtc) {
  const std::pair<double, const char*> cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {1.7, "1970-01-01T00:00:01Z"},
      {-0.5, "1969-12-31T23:59:59Z"},
      {1796904000, "2026-12-10T12:00:00Z"},
      {951782400, "2000-02-29T00:00:00Z"},
  };
  for (const auto& [seconds, text] : cases) {
    auto xml = PropertyList::serialize(Value::date(seconds));
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find(std::string("<date>") + text + "</date>"), std::string::npos) << *xml;
    auto back = PropertyList::parse(*xml);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->dateValue(), std::floor(seconds));
  }
}

TEST(PropertyList, ReadsWhatOtherWritersProduce) {
  // Entities, character references, CDATA, comments, processing
  // instructions, white space around numbers, a repeated key, Base64 with
  // odd line breaks and no DOCTYPE at all.
  const char* xml =
      "<?xml version=\"1.0\"?>\n"
      "<!-- settings -->\n"
      "<plist version=\"1.0\"><dict>\n"
      "  <key>text</key><string>&lt;&amp;&gt;&quot;&apos;&#x4E2D;&#25991;</string>\n"
      "  <key>cdata</key><string><![CDATA[<b>&raw</b>]]></string>\n"
      "  <?ignored here?>\n"
      "  <key>n</key><integer>\n 42 \n</integer>\n"
      "  <key>plus</key><integer>+7</integer>\n"
      "  <key>r</key><real> -1.5E3 </real>\n"
      "  <key>i</key><real>+Infinity</real>\n"
      "  <key>int-as-real</key><real>2</real>\n"
      "  <key>n</key><integer>43</integer>\n"
      "  <key>d</key><data>\n  Zm9v\n  YmFy\n  </data>\n"
      "  <key>empty</key><string/>\n"
      "  <key>t</key><true></true>\n"
      "</dict></plist>";
  Error error;
  auto v = PropertyList::parse(xml, &error);
  ASSERT_TRUE(v) << error.localizedDescription();
  EXPECT_EQ((*v)["text"], Value("<&>\"'中文"));
  EXPECT_EQ((*v)["cdata"], Value("<b>&raw</b>"));
  EXPECT_EQ((*v)["n"], Value(43));
  EXPECT_EQ((*v)["plus"], Value(7));
  EXPECT_EQ((*v)["r"], Value(-1500.0));
  EXPECT_EQ((*v)["i"].doubleValue(), HUGE_VAL);
  EXPECT_EQ((*v)["int-as-real"].kind(), Value::Kind::Double);
  EXPECT_EQ((*v)["d"], Value::data("foobar", 6));
  EXPECT_EQ((*v)["empty"], Value(""));
  EXPECT_EQ((*v)["t"], Value(true));
  // The repeated key keeps its first place and its last value.
  EXPECT_EQ(v->dict().keys(),
            (std::vector<std::string>{"text", "cdata", "n", "plus", "r", "i", "int-as-real", "d",
                                      "empty", "t"}));
}

TEST(PropertyList, TopLevelValueNeedNotBeADictionary) {
  for (const Value& v : {Value("only"), Value(5), Value::array({true}), Value(Dictionary())}) {
    EXPECT_EQ(roundTrip(v), v);
  }
}

TEST(PropertyList, MalformedInputIsAnErrorNeverACrash) {
  const std::pair<const char*, std::string> cases[] = {
      {"empty input", ""},
      {"not XML", "hello"},
      {"truncated", wrap("<dict>\n\t<key>a</key>\n\t<string>b")},
      {"mismatched tags", wrap("<array><string>a</string></dict>")},
      {"root is not plist", "<dict><key>a</key><true/></dict>"},
      {"empty plist", wrap("")},
      {"two values", wrap("<string>a</string><string>b</string>")},
      {"junk after the document", wrap("<true/>") + "<x/>"},
      {"unknown element", wrap("<dict><key>a</key><blob/></dict>")},
      {"key without value", wrap("<dict><key>a</key></dict>")},
      {"value without key", wrap("<dict><string>x</string></dict>")},
      {"two keys in a row", wrap("<dict><key>a</key><key>b</key><true/></dict>")},
      {"key in array", wrap("<array><key>a</key></array>")},
      {"key at top", wrap("<key>a</key>")},
      {"text in array", wrap("<array>text</array>")},
      {"text in dict", wrap("<dict>x<key>a</key><true/></dict>")},
      {"element in string", wrap("<string>a<b/></string>")},
      {"element in key", wrap("<dict><key>a<true/></key><true/></dict>")},
      {"text in true", wrap("<true>yes</true>")},
      {"integer with letters", wrap("<integer>12a</integer>")},
      {"empty integer", wrap("<integer></integer>")},
      {"integer as real", wrap("<integer>1.5</integer>")},
      {"integer too large", wrap("<integer>18446744073709551616</integer>")},
      {"integer too small", wrap("<integer>-9223372036854775809</integer>")},
      {"bad real", wrap("<real>abc</real>")},
      {"hexadecimal real", wrap("<real>0x1p3</real>")},
      {"empty real", wrap("<real/>")},
      {"month 13", wrap("<date>2026-13-01T00:00:00Z</date>")},
      {"no leap day", wrap("<date>2026-02-29T00:00:00Z</date>")},
      {"hour 24", wrap("<date>2026-12-10T24:00:00Z</date>")},
      {"date without zone", wrap("<date>2026-12-10T12:00:00</date>")},
      {"date with space", wrap("<date>2026-12-10 12:00:00Z</date>")},
      {"entity declarations",
       "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaa\">"
       "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]><plist><string>&b;</string></plist>"},
      {"unknown entity", wrap("<string>&nope;</string>")},
      {"ill-formed UTF-8", wrap("<string>\xC3\x28</string>")},
      {"control character", wrap("<string>a\x01</string>")},
  };
  for (const auto& [what, xml] : cases) {
    Error error;
    EXPECT_FALSE(PropertyList::parse(xml, &error)) << what;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << what;
    EXPECT_EQ(error.code(), kPropertyListReadCorruptError) << what;
    EXPECT_FALSE(error.localizedDescription().empty()) << what;
  }
}

TEST(PropertyList, NestingIsLimitedTheSameWayWhenReadingAndWriting) {
  const Value deepest = nestedArrays(PropertyList::kMaxDepth);
  EXPECT_EQ(roundTrip(deepest), deepest);

  const Value tooDeep = nestedArrays(PropertyList::kMaxDepth + 1);
  Error error;
  EXPECT_FALSE(PropertyList::serialize(tooDeep, &error));
  EXPECT_EQ(error.code(), kPropertyListWriteInvalidError);

  // A hostile document much deeper than the limit is refused, not recursed.
  std::string xml = std::string(kHeader);
  for (int i = 0; i < 100000; ++i) xml += "<array>";
  EXPECT_FALSE(PropertyList::parse(xml, &error));
  EXPECT_EQ(error.code(), kPropertyListReadCorruptError);
}

TEST(PropertyList, ValuesAPropertyListCannotCarryAreRefusedOnWrite) {
  const std::pair<const char*, Value> cases[] = {
      {"null", Value()},
      {"null in array", Value::array({1, Value()})},
      {"null in dictionary", Value::dict({{"a", Value()}})},
      {"control character", Value("bell\x07")},
      {"ill-formed UTF-8", Value(std::string("\xC3\x28"))},
      {"surrogate", Value(std::string("\xED\xA0\x80"))},
      {"U+FFFE", Value(std::string("\xEF\xBF\xBE"))},
      {"control character in key", Value::dict({{"a\x1F", 1}})},
      {"year 10000", Value::date(253402300800.0)},
      {"before year 0", Value::date(-62167219201.0)},
      {"infinite date", Value::date(HUGE_VAL)},
  };
  for (const auto& [what, value] : cases) {
    Error error;
    EXPECT_FALSE(PropertyList::isValid(value)) << what;
    EXPECT_FALSE(PropertyList::serialize(value, &error)) << what;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << what;
    EXPECT_EQ(error.code(), kPropertyListWriteInvalidError) << what;
  }
}

TEST(PropertyList, FilesAreWrittenAndReadBack) {
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/settings.plist";
  const Value v = Value::dict({{"user", "张三"}, {"count", 2}});
  Error error;
  ASSERT_TRUE(PropertyList::writeFile(path, v, &error)) << error.localizedDescription();
  auto back = PropertyList::readFile(path, &error);
  ASSERT_TRUE(back) << error.localizedDescription();
  EXPECT_EQ(*back, v);

  // A refused value leaves the file as it was.
  EXPECT_FALSE(PropertyList::writeFile(path, Value::dict({{"bad", Value()}}), &error));
  EXPECT_EQ(*PropertyList::readFile(path), v);

  EXPECT_FALSE(PropertyList::readFile(root.path() + "/missing.plist", &error));
  EXPECT_EQ(error.domain(), kPosixErrorDomain);
  ASSERT_TRUE(FileSystem::Default().writeFile(path, std::string_view("<plist>"), nullptr));
  EXPECT_FALSE(PropertyList::readFile(path, &error));
  EXPECT_EQ(error.code(), kPropertyListReadCorruptError);
}

}  // namespace
}  // namespace kx
