#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "support/TempAppRoot.h"

namespace kx {
namespace {

const char* const kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string wrap(std::string_view body) {
  return std::string(kHeader) + std::string(body) + "</plist>\n";
}

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
      {0, "1970-01-01T00:00:00Z"},         {1.7, "1970-01-01T00:00:01Z"},
      {-0.5, "1969-12-31T23:59:59Z"},      {1796904000, "2026-12-10T12:00:00Z"},
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
  EXPECT_EQ(v->dict().keys(), (std::vector<std::string>{"text", "cdata", "n", "plus", "r", "i",
                                                        "int-as-real", "d", "empty", "t"}));
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

// ---------------------------------------------------------------------------
// The binary form

std::string fromHexText(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// A binary list of the given objects (already encoded; references one byte
// unless refSize says otherwise), with its offset table and trailer.
std::string bplist(const std::vector<std::string>& objects, std::uint64_t top = 0,
                   int refSize = 1) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(out.size());
    out += object;
  }
  const std::uint64_t table = out.size();
  for (std::uint64_t offset : offsets) {
    out.push_back(static_cast<char>(offset >> 8));
    out.push_back(static_cast<char>(offset & 0xFF));
  }
  std::string trailer(32, '\0');
  trailer[6] = 2;  // offset size
  trailer[7] = static_cast<char>(refSize);
  for (int i = 0; i < 8; ++i) {
    trailer[8 + i] = static_cast<char>(offsets.size() >> (56 - 8 * i));
    trailer[16 + i] = static_cast<char>(top >> (56 - 8 * i));
    trailer[24 + i] = static_cast<char>(table >> (56 - 8 * i));
  }
  return out + trailer;
}

TEST(PropertyList, ReadsBinaryListsOtherWritersProduce) {
  // Written by another implementation.
  const std::string bytes = fromHexText(
      "62706c6973743030da0102030405060708090a0b0c0d0e0f10111213145b666f"
      "6e742d66616d696c7959666f6e742d73697a65516e5362696751665174516454"
      "64617461517553617272554d656e6c6f52313613fffffffffffffffb14000000"
      "0000000000ffffffffffffffff233ff8000000000000093341c86565e0000000"
      "420001627b148bb0a3150b1611012c1200011170081d293335393b3d3f44464a"
      "50535c6d76778083888c8f000000000000010100000000000000170000000000"
      "0000000000000000000094");
  ASSERT_TRUE(PropertyList::isBinary(bytes));
  Error error;
  auto value = PropertyList::parse(bytes, &error);
  ASSERT_TRUE(value) << error.localizedDescription();
  const Value expected = Value::dict({
      {"font-family", "Menlo"},
      {"font-size", "16"},
      {"n", -5},
      {"big", static_cast<unsigned long long>(UINT64_MAX)},
      {"f", 1.5},
      {"t", true},
      {"d", Value::date(1796904000)},
      {"data", Value::data("\x00\x01", 2)},
      {"u", "笔记"},
      {"arr", Value::array({300, "Menlo", 70000})},
  });
  EXPECT_EQ(*value, expected);
  EXPECT_EQ((*value)["big"].kind(), Value::Kind::UInt64);
  EXPECT_EQ((*value)["n"].kind(), Value::Kind::Int64);
  EXPECT_EQ((*value)["arr"][0].kind(), Value::Kind::Int64);
  EXPECT_EQ((*value)["d"].kind(), Value::Kind::Date);
  EXPECT_EQ(value->dict().keys(), expected.dict().keys());
}

TEST(PropertyList, BinaryFormRoundTripsEveryKind) {
  Bytes binary(300);
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<std::uint8_t>(i);
  Array many;
  for (int i = 0; i < 400; ++i) many.push_back(Value("item " + std::to_string(i % 50)));
  const Value v = Value::dict({
      {"中文键", "中文内容：笔记本 📒"},
      {"control", std::string("a\x01\x02 \xef\xbf\xbf", 7)},  // XML cannot carry these
      {"long ascii", std::string(70000, 'x')},
      {"empty", ""},
      {"zero", 0},
      {"small", 200},
      {"medium", 70000},
      {"min", static_cast<long long>(INT64_MIN)},
      {"max", static_cast<long long>(INT64_MAX)},
      {"umax", static_cast<unsigned long long>(UINT64_MAX)},
      {"real", 0.1},
      {"inf", -HUGE_VAL},
      {"yes", true},
      {"no", false},
      {"date", Value::date(1796904000.25)},
      {"far future", Value::date(1e12)},
      {"data", Value(binary)},
      {"noData", Value(Bytes())},
      {"many", Value(many)},
      {"nested",
       Value::array({Value::dict({{"a", Value::array({Value(Array())})}}), Value(Dictionary())})},
  });
  Error error;
  auto bytes = PropertyList::serialize(v, PropertyList::Format::Binary, &error);
  ASSERT_TRUE(bytes) << error.localizedDescription();
  EXPECT_TRUE(bytes->starts_with("bplist00"));
  auto back = PropertyList::parse(*bytes, &error);
  ASSERT_TRUE(back) << error.localizedDescription();
  EXPECT_EQ(*back, v);
  EXPECT_EQ(back->dict().keys(), v.dict().keys());
  EXPECT_EQ((*back)["zero"].kind(), Value::Kind::Int64);
  EXPECT_EQ((*back)["medium"].kind(), Value::Kind::Int64);
  EXPECT_EQ((*back)["umax"].kind(), Value::Kind::UInt64);
  EXPECT_EQ((*back)["date"].kind(), Value::Kind::Date);
  EXPECT_EQ((*back)["data"].kind(), Value::Kind::Data);
  // Equal strings are written once: 50 distinct items, not 400.
  EXPECT_LT(bytes->size(), std::size_t{70000 + 300 + 400 * 2 + 50 * 10 + 600});

  EXPECT_FALSE(PropertyList::serialize(Value::dict({{"bad", Value()}}),
                                       PropertyList::Format::Binary, &error));
  EXPECT_EQ(error.code(), kPropertyListWriteInvalidError);
  EXPECT_FALSE(
      PropertyList::serialize(Value(std::string("\xff")), PropertyList::Format::Binary, &error));
  EXPECT_FALSE(PropertyList::serialize(nestedArrays(PropertyList::kMaxDepth + 1),
                                       PropertyList::Format::Binary, &error));
}

TEST(PropertyList, MalformedBinaryInputIsAnErrorNeverACrash) {
  const std::string good = bplist({"\xA1\x01", "\x51z"});
  ASSERT_EQ(PropertyList::parse(good), Value::array({"z"}));
  std::string badTrailer = good;
  badTrailer[badTrailer.size() - 32 + 6] = 0;  // offset size 0
  std::string badRefSize = good;
  badRefSize[badRefSize.size() - 32 + 7] = 9;
  std::string tableOutside = good;
  tableOutside[tableOutside.size() - 1] = 0x7F;
  std::string hugeCount = good;
  hugeCount[hugeCount.size() - 32 + 8] = 0x7F;
  const std::pair<const char*, std::string> cases[] = {
      {"magic only", "bplist00"},
      {"truncated", good.substr(0, good.size() - 1)},
      {"offset size 0", badTrailer},
      {"reference size 9", badRefSize},
      {"offset table outside the file", tableOutside},
      {"object count past the table", hugeCount},
      {"top object missing", bplist({"\x09"}, 1)},
      {"offset outside the objects", bplist({"\x09"}).replace(9, 2, "\x00\x40", 2)},
      {"reference to no object", bplist({"\xA1\x05"})},
      {"array holding itself", bplist({"\xA1\x00"})},
      {"cycle through two arrays", bplist({"\xA1\x01", "\xA1\x00"})},
      {"string past the end", bplist({"\x5F\x10\xFF"})},
      {"count that is no integer", bplist({"\x5F\x51"})},
      {"array past the end", bplist({std::string("\xAF\x13\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10)})},
      {"non-ASCII byte in an ASCII string", bplist({"\x51\xE9"})},
      {"null", bplist({std::string("\x00", 1)})},
      {"fill byte", bplist({"\x0F"})},
      {"integer of 32 bytes", bplist({std::string("\x15") + std::string(32, '\x01')})},
      {"integer beyond 64 bits",
       bplist({std::string("\x14\x00\x00\x00\x00\x00\x00\x00\x01", 9) + std::string(8, '\0')})},
      {"real of 2 bytes", bplist({"\x21\x01\x02"})},
      {"set", bplist({"\xC1\x01", "\x09"})},
      {"keyed-archive identifier", bplist({std::string("\x80\x01", 2)})},
      {"key that is not a string", bplist({"\xD1\x01\x01", "\x10\x01"})},
      {"unknown marker", bplist({"\x70"})},
  };
  for (const auto& [what, bytes] : cases) {
    Error error;
    EXPECT_FALSE(PropertyList::parse(bytes, &error)) << what;
    EXPECT_EQ(error.domain(), kCocoaErrorDomain) << what;
    EXPECT_EQ(error.code(), kPropertyListReadCorruptError) << what;
  }
}

TEST(PropertyList, BinaryNestingIsLimitedAndSharedObjectsAreReadOnce) {
  // Arrays nested one deeper than allowed.
  std::vector<std::string> chain;
  const std::size_t depth = PropertyList::kMaxDepth + 2;
  for (std::size_t i = 0; i + 1 < depth; ++i) {
    chain.push_back(std::string("\xA1") + static_cast<char>((i + 1) >> 8) +
                    static_cast<char>((i + 1) & 0xFF));
  }
  chain.push_back("\xA0");
  Error error;
  EXPECT_FALSE(PropertyList::parse(bplist(chain, 0, 2), &error));
  EXPECT_EQ(error.code(), kPropertyListReadCorruptError);

  // Forty arrays, each holding the next one twice: 2^40 leaves if copied.
  std::vector<std::string> doubling;
  for (int i = 0; i < 40; ++i) {
    doubling.push_back(std::string("\xA2") + static_cast<char>(i + 1) + static_cast<char>(i + 1));
  }
  doubling.push_back("\x09");
  auto value = PropertyList::parse(bplist(doubling), &error);
  ASSERT_TRUE(value) << error.localizedDescription();
  const Value* v = &*value;
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(v->size(), 2u);
    v = &(*v)[0];
  }
  EXPECT_EQ(*v, Value(true));
}

// Reads `depth` arrays, each holding the next one twice, down to a true.
std::vector<std::string> doublingArrays(int depth) {
  std::vector<std::string> objects;
  for (int i = 0; i < depth; ++i) {
    objects.push_back(std::string("\xA2") + static_cast<char>(i + 1) + static_cast<char>(i + 1));
  }
  objects.push_back("\x09");
  return objects;
}

TEST(PropertyList, SharedContainersAreWrittenOnceOrRefused) {
  // A list of 40 arrays that expands to 2^40 leaves: written back in the
  // binary form it keeps its sharing; XML cannot share, so it is refused.
  const std::string file = bplist(doublingArrays(40));
  Error error;
  auto value = PropertyList::parse(file, &error);
  ASSERT_TRUE(value) << error.localizedDescription();
  auto bytes = PropertyList::serialize(*value, PropertyList::Format::Binary, &error);
  ASSERT_TRUE(bytes) << error.localizedDescription();
  EXPECT_LE(bytes->size(), file.size());
  auto back = PropertyList::parse(*bytes, &error);
  ASSERT_TRUE(back) << error.localizedDescription();
  const Value* v = &*back;
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(v->size(), 2u) << i;
    EXPECT_EQ((*v)[0].arrayRep(), (*v)[1].arrayRep()) << i;
    v = &(*v)[0];
  }
  EXPECT_EQ(*v, Value(true));

  EXPECT_FALSE(PropertyList::serialize(*value, &error));
  EXPECT_EQ(error.code(), kPropertyListWriteInvalidError);
  EXPECT_FALSE(PropertyList::isValid(*value));

  // Sharing within the limit still writes as XML, in full.
  auto small = PropertyList::parse(bplist(doublingArrays(3)), &error);
  ASSERT_TRUE(small) << error.localizedDescription();
  EXPECT_EQ(roundTrip(*small),
            Value::array({Value::array({Value::array({true, true}), Value::array({true, true})}),
                          Value::array({Value::array({true, true}), Value::array({true, true})})}));

  // A shared container counts at its deepest place: first met near the top,
  // then again under 300 more arrays, it nests too deeply for either form.
  const Value shared = nestedArrays(300);
  Value deep = shared;
  for (int i = 0; i < 300; ++i) deep = Value::array({deep});
  const Value top = Value::array({shared, deep});
  EXPECT_FALSE(PropertyList::serialize(top, PropertyList::Format::Binary, &error));
  EXPECT_FALSE(PropertyList::serialize(top, &error));
  // And when reading: a chain of 300 arrays, met once from the top and once
  // from the bottom of a second chain of 300.
  std::vector<std::string> objects;
  objects.push_back("\xA2\x00\x01\x01\x2D");  // top: [chain A, chain B]
  for (int i = 0; i < 300; ++i) {
    const int next = i + 1 < 300 ? 2 + i : 601;
    objects.push_back(std::string("\xA1") + static_cast<char>(next >> 8) +
                      static_cast<char>(next & 0xFF));
  }
  for (int i = 0; i < 300; ++i) {
    const int next = i + 1 < 300 ? 302 + i : 1;
    objects.push_back(std::string("\xA1") + static_cast<char>(next >> 8) +
                      static_cast<char>(next & 0xFF));
  }
  objects.push_back("\x09");
  EXPECT_FALSE(PropertyList::parse(bplist(objects, 0, 2), &error));
  EXPECT_EQ(error.code(), kPropertyListReadCorruptError);
}

TEST(PropertyList, BinaryFilesAreWrittenAndReadBack) {
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/settings.plist";
  const Value v = Value::dict({{"user", "张三"}, {"count", 2}});
  Error error;
  ASSERT_TRUE(PropertyList::writeFile(path, v, PropertyList::Format::Binary, &error))
      << error.localizedDescription();
  std::string bytes;
  ASSERT_TRUE(FileSystem::Default().readFile(path, &bytes, nullptr));
  EXPECT_TRUE(PropertyList::isBinary(bytes));
  auto back = PropertyList::readFile(path, &error);
  ASSERT_TRUE(back) << error.localizedDescription();
  EXPECT_EQ(*back, v);
}

}  // namespace
}  // namespace kx
