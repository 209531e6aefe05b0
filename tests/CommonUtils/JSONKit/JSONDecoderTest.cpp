#include "CommonUtils/JSONKit/JSONDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "CommonUtils/JSONKit/JKArray.h"
#include "CommonUtils/JSONKit/JKDictionary.h"
#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Error.h"
#include "platform/Value.h"
#include "support/TestParamNames.h"

namespace {

using kx::Value;

const char kUnexpectedToken[] =
    "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', "
    "'NUMBER'.";
const char kEndOfBuffer[] = "Reached the end of the buffer.";
const char kTrailing[] =
    "A valid JSON object was parsed but there were additional non-white-space characters "
    "remaining.";
const char kRequiredSecond[] =
    "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode escape "
    "sequence.";
const char kIllegalUTF8[] = "Illegal UTF8 sequence found in \"\" string.";
const char kIllegalEscape[] = "Illegal \\u Unicode escape sequence.";
const char kUTF8CutOff[] = "End of buffer reached while parsing UTF8 in \"\" string.";
const char kTooDeep[] = "Exceeded the maximum nesting depth of 512 arrays and dictionaries.";

Value Parse(const std::string& json, JKParseOptionFlags options, kx::Error* error = nullptr) {
  return objectFromJSONStringWithParseOptions(json, options, error);
}

std::string Nested(int depth, const char* open, const char* close) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

// ---------------------------------------------------------------------------
// Failures: the one message that survives, for each way a document can fail.
// ---------------------------------------------------------------------------

struct FailureCase {
  std::string json;
  JKParseOptionFlags options;
  std::string message;
};

class DecoderFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(DecoderFailureTest, ReportsTheFirstMessage) {
  const FailureCase& c = GetParam();
  kx::Error error;
  Value result = Parse(c.json, c.options, &error);
  EXPECT_TRUE(result.isNull()) << result.description();
  ASSERT_TRUE(error);
  EXPECT_EQ(error.domain(), "JKErrorDomain");
  EXPECT_EQ(error.code(), -1);
  EXPECT_EQ(error.localizedDescription(), c.message) << "input: " << c.json;
}

INSTANTIATE_TEST_SUITE_P(
    EndOfInput, DecoderFailureTest,
    testing::Values(
        FailureCase{"", 0, kEndOfBuffer}, FailureCase{"   \n\t", 0, kUnexpectedToken},
        FailureCase{"[", 0, kEndOfBuffer}, FailureCase{"[1,", 0, kEndOfBuffer},
        // Trailing white space or comments before the end change nothing.
        FailureCase{"[1, \n ", 0, kEndOfBuffer},
        FailureCase{"[1, /* open comment", 15, kEndOfBuffer},
        FailureCase{"{\"a\":\"x\"", 0, kEndOfBuffer}, FailureCase{"{\"a\":1 \r\n", 0, kEndOfBuffer},
        FailureCase{"{\"a\"", 0, kEndOfBuffer}, FailureCase{"{\"a\": ", 0, kEndOfBuffer},
        FailureCase{"[[[\"x\"]", 0, kEndOfBuffer},
        // A number needs a byte after it; a keyword one byte beyond it.
        FailureCase{"[1", 0, "Invalid number."}, FailureCase{"12", 0, "Invalid number."},
        FailureCase{"[1.5e3", 15, "Invalid number."}, FailureCase{"[true", 0, kUnexpectedToken},
        FailureCase{"[\"abc", 0, "Invalid string."}, FailureCase{"[\"ab\\", 0, "Invalid string."},
        FailureCase{"[\"\\u12", 0, "Invalid string."}),
    kxtest::byIndexAndText([](const FailureCase& c) { return c.json; }));

INSTANTIATE_TEST_SUITE_P(
    Grammar, DecoderFailureTest,
    testing::Values(
        FailureCase{"\"abc\"", 0, "Expected either '[' or '{'."},
        FailureCase{"12 ", 0, "Expected either '[' or '{'."},
        FailureCase{"null ", 15, "Expected either '[' or '{'."}, FailureCase{"[1] x", 0, kTrailing},
        FailureCase{"[1] [2]", 7, kTrailing}, FailureCase{"[1]\v", 0, kTrailing},
        FailureCase{"[1 2]", 0, "Unexpected value."}, FailureCase{"[01]", 0, "Unexpected value."},
        FailureCase{"[1:2]", 0, "Expected a comma or a ']', not ':'"},
        FailureCase{"[}", 0, "Expected a value or a ']', not '}'"},
        FailureCase{"[1,}", 0, "Expected a value, not '}'"},
        FailureCase{"[1,]", 0, "Unexpected ']'."}, FailureCase{"[,1]", 0, "Unexpected ','."},
        FailureCase{"[1,,2]", 0, "Unexpected ','."},
        FailureCase{"{\"a\":1,}", 0, "Unexpected '}'."},
        FailureCase{"{1:2}", 0, "Expected a \"STRING\" or a '}', not '1'"},
        FailureCase{"{-1.5e3:2}", 0, "Expected a \"STRING\" or a '}', not '-1.5e3'"},
        FailureCase{"{\"a\":1,true:2}", 0, "Expected a \"STRING\", not 'true'"},
        FailureCase{"{\"a\":1 2}", 0, "Expected a comma or a '}', not '2'"},
        FailureCase{"{\"a\":1]", 0, "Expected a comma or a '}', not ']'"},
        FailureCase{"{\"a\":1 \"b\":2}", 0, "Unexpected string."},
        FailureCase{"{\"a\" 1}", 0, "Expected ':'."}, FailureCase{"{\"a\",1}", 0, "Expected ':'."},
        FailureCase{"{\"a\":}", 0, "Expected a value or a '}', not '}'"},
        FailureCase{"{\"a\":1,\"b\":]", 0, "Expected a value, not ']'"},
        FailureCase{"{\"a\"::1}", 0, "Expected a value or a '}', not ':'"},
        FailureCase{"{,}", 0, "Unexpected ','."}, FailureCase{"[truex]", 0, kUnexpectedToken},
        FailureCase{"[nul]", 0, kUnexpectedToken}, FailureCase{"[.5]", 0, kUnexpectedToken},
        FailureCase{"[+1]", 0, kUnexpectedToken}, FailureCase{"[\f1]", 0, kUnexpectedToken},
        FailureCase{"[1,\xE2\x80\xA8 2]", 1, kUnexpectedToken},
        FailureCase{"/* c */[1]", 0, kUnexpectedToken}, FailureCase{"[1 / 2]", 1, kUnexpectedToken},
        FailureCase{Nested(513, "[", "]"), 0, kTooDeep},
        FailureCase{Nested(513, "{\"k\":", "}"), 0, kTooDeep}),
    kxtest::byIndexAndText([](const FailureCase& c) { return c.json; }));

INSTANTIATE_TEST_SUITE_P(
    Numbers, DecoderFailureTest,
    testing::Values(
        FailureCase{"[-]", 0, "Invalid number."}, FailureCase{"[-x]", 0, "Invalid number."},
        FailureCase{"[1.]", 0, "Invalid number."}, FailureCase{"[1.e5]", 0, "Invalid number."},
        FailureCase{"[1e]", 0, "Invalid number."}, FailureCase{"[1e+]", 0, "Invalid number."},
        FailureCase{"[18446744073709551616]", 0,
                    "The value '18446744073709551616' exceeded the maximum value that could be "
                    "represented: "
                    "18446744073709551615."},
        FailureCase{
            "[123456789012345678901234567890]", 0,
            "The value '123456789012345678901234567890' exceeded the maximum value that could be "
            "represented: 18446744073709551615."},
        FailureCase{"[-9223372036854775809]", 0,
                    "The value '-9223372036854775809' exceeded the minimum value that could be "
                    "represented: "
                    "-9223372036854775808."},
        FailureCase{"[1e400]", 0,
                    "The value '1e400' could not be represented as a 'double' due to overflow."},
        FailureCase{"[-1.8e308]", 0,
                    "The value '-1.8e308' could not be represented as a 'double' due to overflow."},
        FailureCase{"[1e-400]", 0,
                    "The value '1e-400' could not be represented as a 'double' due to underflow."}),
    kxtest::byIndexAndText([](const FailureCase& c) { return c.json; }));

INSTANTIATE_TEST_SUITE_P(
    Strings, DecoderFailureTest,
    testing::Values(
        FailureCase{"[\"a\nb\"]", 15, "Invalid character < 0x20 found in string: 0x0a."},
        FailureCase{"[\"a\x1f\"]", 0, "Invalid character < 0x20 found in string: 0x1f."},
        // The slow path (after an escape) checks control bytes too.
        FailureCase{"[\"\\n\tb\"]", 0, "Invalid character < 0x20 found in string: 0x09."},
        FailureCase{"[\"\\q\"]", 15, "Invalid escape sequence found in \"\" string."},
        FailureCase{"[\"\\u12G4\"]", 15,
                    "Unexpected character found in \\u Unicode escape sequence.  Found 'G', "
                    "expected [0-9a-fA-F]."},
        FailureCase{"[\"\\ud83d\\u12\"]", 15,
                    "Unexpected character found in \\u Unicode escape sequence.  Found '\"', "
                    "expected [0-9a-fA-F]."},
        FailureCase{"[\"\\ud800x\"]", 0, kRequiredSecond},
        FailureCase{"[\"\\ud800\\n\"]", 0, kRequiredSecond},
        FailureCase{"[\"\\ud83d\"]", 0, kRequiredSecond},
        FailureCase{"[\"\xFF"
                    "a\"]",
                    0, kIllegalUTF8},
        FailureCase{"[\"\xC0\x80\"]", 0, kIllegalUTF8},
        FailureCase{"[\"\xED\xA0\x80\"]", 0, kIllegalUTF8},
        FailureCase{"[\"\xEF\xBF\xBE\"]", 0, kIllegalUTF8},
        FailureCase{"[\"\xE2\x82\"]", 0, kIllegalUTF8},
        FailureCase{"[\"\\u0000\"]", 0, kIllegalEscape},
        FailureCase{"[\"\\udc00\"]", 0, kIllegalEscape},
        FailureCase{"[\"\\ud800\\u0041\"]", 0, kIllegalEscape},
        FailureCase{"[\"\\ufdd0\"]", 0, kIllegalEscape},
        FailureCase{"[\"\\ud83f\\udfff\"]", 0, kIllegalEscape},
        // Cut off inside a multi-byte sequence: an error even when lenient.
        FailureCase{"[\"\xE2\x82", 0, kUTF8CutOff}, FailureCase{"[\"\xE2\x82", 4, kUTF8CutOff},
        FailureCase{"[\"abc\xF0\x9F\x98", 15, kUTF8CutOff}),
    kxtest::byIndexAndText([](const FailureCase& c) { return c.json; }));

TEST(JSONDecoderTest, ErrorCarriesLineAndIndex) {
  struct Case {
    std::string json;
    JKParseOptionFlags options;
    long long line;
    unsigned long long index;
  };
  const Case cases[] = {
      {"[1, x]", 0, 1, 4},
      {"[1,\n2,\n x]", 0, 3, 8},
      {"[1,\r\n2,\r\nx]", 0, 3, 9},  // CR LF is one break
      {"[\r\rx]", 0, 3, 3},
      {"[\xE2\x80\xA8\xC2\x85x]", 2, 3, 6},
      {"/*\n\n*/[x]", 1, 3, 7},
      {"// c\r\n[x]", 1, 2, 7},
      {"[1, // c\xE2\x80\xA9x]", 3, 2, 11},
      {"[1,\n\"a\nb\"]", 0, 2, 6},
  };
  for (const Case& c : cases) {
    kx::Error error;
    EXPECT_TRUE(Parse(c.json, c.options, &error).isNull()) << c.json;
    ASSERT_TRUE(error) << c.json;
    EXPECT_EQ(error.userInfo()[JKLineNumberKey].intValue(), c.line) << c.json;
    EXPECT_EQ(error.userInfo()[JKAtIndexKey].unsignedValue(), c.index) << c.json;
  }
}

// ---------------------------------------------------------------------------
// Successes: what comes out.
// ---------------------------------------------------------------------------

struct ValueCase {
  std::string json;
  JKParseOptionFlags options;
  Value expected;
};

class DecoderValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(DecoderValueTest, Parses) {
  const ValueCase& c = GetParam();
  kx::Error error;
  Value result = Parse(c.json, c.options, &error);
  EXPECT_FALSE(error) << error.localizedDescription() << " for " << c.json;
  EXPECT_EQ(result, c.expected) << "input: " << c.json;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, DecoderValueTest,
    testing::Values(
        ValueCase{"[]", 0, Value(kx::Array{})}, ValueCase{"{}", 0, Value(kx::Dictionary{})},
        ValueCase{"[1] ", 0, Value::array({1})}, ValueCase{" \t\r\n[1]\r\n", 0, Value::array({1})},
        ValueCase{"[1] trailing {", 8, Value::array({1})},
        ValueCase{"[1] /* c */ // d", 1, Value::array({1})},
        ValueCase{"[1]\xE2\x80\xA8", 2, Value::array({1})},
        ValueCase{"/* block */ [1, // line\n 2]", 15, Value::array({1, 2})},
        ValueCase{"[1,/* a\n b */2] // tail", 1, Value::array({1, 2})},
        ValueCase{"[1,\xE2\x80\xA8 2\xC2\x85,\xE2\x80\xA9 3]", 2, Value::array({1, 2, 3})},
        ValueCase{"[true,false,null]", 0, Value::array({true, false, Value()})},
        ValueCase{"{\"a\":[{\"b\":{}}],\"c\":[]}", 0,
                  Value::dict({{"a", Value::array({Value::dict({{"b", Value(kx::Dictionary{})}})})},
                               {"c", Value(kx::Array{})}})},
        ValueCase{"{\"id\":1,\"id\":2}", 0, Value::dict({{"id", 2}})}),
    kxtest::byIndexAndText([](const ValueCase& c) { return c.json; }));

TEST(JSONDecoderTest, NestsUpTo512Levels) {
  std::string dictionaries;
  for (int i = 0; i < 511; ++i) dictionaries += "{\"k\":";
  dictionaries += "{}" + std::string(511, '}');
  for (const std::string& json : {Nested(512, "[", "]"), dictionaries}) {
    kx::Error error;
    const Value v = Parse(json + " ", 0, &error);
    ASSERT_FALSE(error) << error.localizedDescription();
    int depth = 0;
    for (const Value* p = &v; p->isArray() || p->isDictionary(); ++depth) {
      if (p->isArray()) {
        if (p->array().empty()) {
          ++depth;
          break;
        }
        p = &p->array()[0];
      } else {
        if (p->dict().empty()) {
          ++depth;
          break;
        }
        p = &p->dict()["k"];
      }
    }
    EXPECT_EQ(depth, 512);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Strings, DecoderValueTest,
    testing::Values(
        ValueCase{"[\"\"]", 0, Value::array({""})},
        ValueCase{"[\"plain ascii text longer than eight bytes\"]", 0,
                  Value::array({"plain ascii text longer than eight bytes"})},
        ValueCase{"[\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD\"]", 0,
                  Value::array({"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD"})},
        ValueCase{"[\"\\b\\f\\n\\r\\t\\\\\\/\\\"\"]", 0, Value::array({"\b\f\n\r\t\\/\""})},
        ValueCase{"[\"abcdefghijklmnop\\\"qrstuvwxyz \xE4\xB8\xAD 0123456789\"]", 0,
                  Value::array({"abcdefghijklmnop\"qrstuvwxyz \xE4\xB8\xAD 0123456789"})},
        ValueCase{"[\"\\u00e9\\u00C9\\u4e2d\\u0001\"]", 0,
                  Value::array({"\xC3\xA9\xC3\x89\xE4\xB8\xAD\x01"})},
        ValueCase{"[\"\\ud83d\\ude00\"]", 0, Value::array({"\xF0\x9F\x98\x80"})},
        ValueCase{"[\"\\uDBFF\\uDFFD\"]", 0, Value::array({"\xF4\x8F\xBF\xBD"})},
        // Lenient Unicode: bad text becomes U+FFFD and the scan goes on.
        ValueCase{"[\"\\ud800x\"]", 15, Value::array({"\xEF\xBF\xBDx"})},
        ValueCase{"[\"\xFF"
                  "a\"]",
                  15,
                  Value::array({"\xEF\xBF\xBD"
                                "a"})},
        ValueCase{"[\"\\u0000\"]", 15, Value::array({"\xEF\xBF\xBD"})},
        ValueCase{"[\"ab\\ud83d\"]", 15, Value::array({"ab\xEF\xBF\xBD"})},
        ValueCase{"[\"\\ud800\\n\"]", 4, Value::array({"\xEF\xBF\xBD\n"})},
        ValueCase{"[\"\\ud800\\u0041z\"]", 4, Value::array({"\xEF\xBF\xBDz"})},
        ValueCase{"[\"\\udc00\"]", 4, Value::array({"\xEF\xBF\xBD"})},
        ValueCase{"[\"\xE2\x82\"]", 4, Value::array({"\xEF\xBF\xBD"})},
        ValueCase{"[\"\xE2\x82z\"]", 4, Value::array({"\xEF\xBF\xBDz"})},
        ValueCase{"[\"\xC0\x80\xF8\x88\x80\x80\x80!\"]", 4,
                  Value::array({"\xEF\xBF\xBD\xEF\xBF\xBD!"})},
        ValueCase{"[\"\x80\xBF\"]", 4, Value::array({"\xEF\xBF\xBD\xEF\xBF\xBD"})},
        ValueCase{"[\"\xEF\xBF\xBE\\n\"]", 4, Value::array({"\xEF\xBF\xBD\n"})}),
    kxtest::byIndexAndText([](const ValueCase& c) { return c.json; }));

TEST(JSONDecoderTest, NumbersKeepTheirType) {
  kx::Error error;
  Value v = Parse(
      "[0, 7, -7, -0, -0.0, 1.5e3, 1E2, 0.1, 9223372036854775807, 9223372036854775808, "
      "18446744073709551615, "
      "-9223372036854775808, 1e-310, 4.9e-324, 1.7976931348623157e308, 12345678901234567890123e-3]",
      0, &error);
  ASSERT_FALSE(error) << error.localizedDescription();
  const kx::Array& a = v.array();
  ASSERT_EQ(a.size(), 16u);
  using K = Value::Kind;
  const K kinds[] = {K::Int64,  K::Int64,  K::Int64,  K::Double, K::Double, K::Double,
                     K::Double, K::Double, K::Int64,  K::UInt64, K::UInt64, K::Int64,
                     K::Double, K::Double, K::Double, K::Double};
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].kind(), kinds[i]) << "element " << i;
  EXPECT_EQ(a[1].intValue(), 7);
  EXPECT_EQ(a[2].intValue(), -7);
  EXPECT_TRUE(std::signbit(a[3].doubleValue()));
  EXPECT_EQ(a[3].doubleValue(), 0.0);
  EXPECT_EQ(a[5].doubleValue(), 1500.0);
  EXPECT_EQ(a[7].doubleValue(), 0.1);
  EXPECT_EQ(a[8].intValue(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(a[9].unsignedValue(), 9223372036854775808ULL);
  EXPECT_EQ(a[10].unsignedValue(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(a[11].intValue(), std::numeric_limits<std::int64_t>::min());
  // Subnormal values are numbers like any other.
  EXPECT_EQ(a[12].doubleValue(), 1e-310);
  EXPECT_EQ(a[13].doubleValue(), 4.9e-324);
  EXPECT_EQ(a[14].doubleValue(), 1.7976931348623157e308);
  EXPECT_EQ(a[15].doubleValue(), 12345678901234567890123e-3);
}

TEST(JSONDecoderTest, DecimalTextBecomesTheNearestDouble) {
  // Random decimals of 1 to 22 digits with a point and an exponent, checked
  // against the C library's correctly rounded conversion.
  std::uint64_t state = 99;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  std::string json = "[";
  std::vector<double> expected;
  for (int i = 0; i < 20000; ++i) {
    std::string digits = std::to_string(next() % 9 + 1);
    const int count = static_cast<int>(next() % 22);
    for (int d = 0; d < count; ++d) digits += static_cast<char>('0' + next() % 10);
    const std::size_t point = next() % digits.size() + 1;
    std::string text = (next() % 2 ? "-" : "") + digits.substr(0, point);
    if (point < digits.size()) text += "." + digits.substr(point);
    if (next() % 2) text += "e" + std::to_string(static_cast<int>(next() % 61) - 30);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    json += (i ? "," : "") + text;
    expected.push_back(std::strtod(text.c_str(), nullptr));
  }
  json += "]";
  kx::Error error;
  const Value v = Parse(json, 0, &error);
  ASSERT_FALSE(error) << error.localizedDescription();
  ASSERT_EQ(v.array().size(), expected.size());
  int mismatches = 0;
  for (std::size_t i = 0; i < expected.size() && mismatches < 5; ++i) {
    if (v.array()[i].doubleValue() != expected[i]) {
      ++mismatches;
      ADD_FAILURE() << "element " << i << ": " << v.array()[i].doubleValue()
                    << " != " << expected[i];
    }
  }
}

TEST(JSONDecoderTest, KeepsDocumentOrderAndTheLaterOfRepeatedKeys) {
  // Enough keys for the dictionary's hashed lookup, with a repeat at the end.
  std::string json = "{";
  for (int i = 19; i >= 0; --i) json += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  json += "\"k3\":\"later\"}";
  Value v = Parse(json, 0);
  ASSERT_TRUE(v.isDictionary());
  const kx::Dictionary& d = v.dict();
  ASSERT_EQ(d.size(), 20u);
  EXPECT_EQ(d.entries().front().first, "k19");
  EXPECT_EQ(d.entries().back().first, "k0");
  EXPECT_EQ(d["k3"], Value("later"));
  EXPECT_EQ(d["k4"], Value(4));
}

TEST(JSONDecoderTest, DataAndStringEntryPoints) {
  const std::string text = "{\"a\":[1,\"x\"]}";
  const kx::Bytes bytes(text.begin(), text.end());
  const Value expected = Value::dict({{"a", Value::array({1, "x"})}});
  EXPECT_EQ(objectFromJSONData(bytes), expected);
  EXPECT_EQ(objectFromJSONDataWithParseOptions(bytes, 15), expected);
  EXPECT_EQ(objectFromJSONString(text), expected);
  // The strict forms refuse what the relaxed ones allow.
  EXPECT_TRUE(objectFromJSONString("[1] // c").isNull());
  EXPECT_FALSE(objectFromJSONStringWithParseOptions("[1] // c", 15).isNull());

  kx::Error error;
  EXPECT_TRUE(objectFromJSONDataWithParseOptions(kx::Bytes(), 15, &error).isNull());
  EXPECT_EQ(error.localizedDescription(), kEndOfBuffer);
  EXPECT_TRUE(objectFromJSONStringWithParseOptions(std::string_view(), 15, &error).isNull());
  EXPECT_EQ(error.localizedDescription(), kEndOfBuffer);
}

TEST(JSONDecoderTest, OneDecoderParsesManyDocuments) {
  JSONDecoder decoder = JSONDecoder::decoderWithParseOptions(JKParseOptionLenientUnicode);
  EXPECT_EQ(decoder.parseOptionFlags(), JKParseOptionLenientUnicode);
  kx::Error error;
  EXPECT_TRUE(decoder.objectWithUTF8String("[[1,{\"a\":", 9, &error).isNull());
  EXPECT_EQ(error.localizedDescription(), kEndOfBuffer);
  // A failed parse leaves nothing behind for the next one.
  const std::string good = "[{\"a\":\"\\n\"},2]";
  EXPECT_EQ(decoder.objectWithUTF8String(good.data(), good.size(), &error),
            Value::array({Value::dict({{"a", "\n"}}), 2}));
  EXPECT_FALSE(error);
  const kx::Bytes bytes = {'{', '}'};
  EXPECT_EQ(decoder.objectWithData(bytes), Value(kx::Dictionary{}));
}

TEST(JSONDecoderTest, MisuseRaises) {
  for (JKParseOptionFlags options : {JKParseOptionFlags{16}, JKParseOptionFlags{255}}) {
    try {
      JSONDecoder decoder(options);
      ADD_FAILURE() << "options " << options << " accepted";
    } catch (const kx::Exception& e) {
      EXPECT_EQ(e.name(), "NSInvalidArgumentException");
      EXPECT_EQ(e.reason(), "Invalid parse options.");
    }
  }
  EXPECT_NO_THROW(JSONDecoder{JKParseOptionValidFlags});
  JSONDecoder decoder;
  try {
    decoder.objectWithUTF8String(static_cast<const char*>(nullptr), 0);
    ADD_FAILURE() << "null input accepted";
  } catch (const kx::Exception& e) {
    EXPECT_EQ(e.reason(), "The string argument is NULL.");
  }
}

TEST(JSONDecoderTest, MutableEntryPointsMakeEveryCollectionMutable) {
  const std::string json = "{\"a\": [1, {\"b\": []}], \"c\": {}}";
  const kx::Bytes bytes(json.begin(), json.end());
  JSONDecoder decoder;
  const Value results[] = {
      mutableObjectFromJSONString(json),
      mutableObjectFromJSONStringWithParseOptions(json, JKParseOptionValidFlags),
      mutableObjectFromJSONData(bytes),
      mutableObjectFromJSONDataWithParseOptions(bytes, JKParseOptionValidFlags),
      decoder.mutableObjectWithUTF8String(json.data(), json.size()),
      decoder.mutableObjectWithData(bytes),
  };
  for (const Value& v : results) {
    ASSERT_EQ(v, objectFromJSONString(json));
    for (const Value* dictionary : {&v, &v["a"][1], &v["c"]}) {
      ASSERT_NE(JKDictionary::fromValue(*dictionary), nullptr);
      EXPECT_TRUE(JKDictionary::fromValue(*dictionary)->isMutable());
    }
    for (const Value* array : {&v["a"], &v["a"][1]["b"]}) {
      ASSERT_NE(JKArray::fromValue(*array), nullptr);
      EXPECT_TRUE(JKArray::fromValue(*array)->isMutable());
    }
  }
  EXPECT_FALSE(JKDictionary::fromValue(objectFromJSONString(json))->isMutable());
  EXPECT_FALSE(JKArray::fromValue(objectFromJSONString(json)["a"])->isMutable());
  kx::Error error;
  EXPECT_TRUE(mutableObjectFromJSONString("[1,]").isNull());
  EXPECT_TRUE(mutableObjectFromJSONStringWithParseOptions("[1,]", 0, &error).isNull());
  EXPECT_EQ(error.localizedDescription(), "Unexpected ']'.");
}

TEST(JSONDecoderTest, OlderNamesParseLikeTheNewOnes) {
  JSONDecoder decoder(JKParseOptionAllowComments);
  const std::string json = "[1, /* note */ \"two\"]";
  const kx::Bytes bytes(json.begin(), json.end());
  EXPECT_EQ(decoder.parseUTF8String(json.data(), json.size()), Value::array({1, "two"}));
  EXPECT_EQ(decoder.parseUTF8String(bytes.data(), bytes.size()), Value::array({1, "two"}));
  EXPECT_EQ(decoder.parseJSONData(bytes), Value::array({1, "two"}));
  EXPECT_FALSE(JKArray::fromValue(decoder.parseJSONData(bytes))->isMutable());
  kx::Error error;
  EXPECT_TRUE(decoder.parseJSONData(kx::Bytes{'[', '1'}, &error).isNull());
  EXPECT_EQ(error.localizedDescription(), "Invalid number.");
}

// A parsed tree's longer strings and its collections share a few blocks of
// storage. Any part of the tree stays good after the rest of it, its decoder
// and later parses are gone, whichever thread lets go of it; parts of a
// mutable result change and grow as any collection. (Under the address
// sanitizer storage freed too early or never freed fails the test.)
TEST(JSONDecoderTest, PartsOfAResultOutliveTheRestAndTheDecoder) {
  std::string json = "{\"notes\": [";
  for (int i = 0; i < 400; ++i) {
    json += (i ? "," : "") + std::string("{\"id\": \"note-identifier-") + std::to_string(i) +
            "\", \"tags\": [\"first tag of the note\", " + std::to_string(i) +
            "], \"title\": \"a title long enough for its own storage\"}";
  }
  json += "], \"total\": 400}";
  const Value expected = objectFromJSONString(json);

  Value note;
  Value tags;
  Value id;
  Value grown;
  {
    JSONDecoder decoder;
    Value whole = decoder.objectWithUTF8String(json.data(), json.size());
    note = whole["notes"][123];
    tags = whole["notes"][399]["tags"];
    id = whole["notes"][7]["id"];
    Value mutableWhole = decoder.mutableObjectWithUTF8String(json.data(), json.size());
    grown = mutableWhole["notes"][5];
    // Another thread lets go of the rest of both trees while this one parses.
    std::thread drop([whole = std::move(whole), mutableWhole = std::move(mutableWhole)]() mutable {
      whole = Value();
      mutableWhole = Value();
    });
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(decoder.objectWithUTF8String(json.data(), json.size()), expected);
    }
    drop.join();
  }
  EXPECT_EQ(note, expected["notes"][123]);
  EXPECT_EQ(tags, Value::array({"first tag of the note", 399}));
  EXPECT_EQ(id.string(), "note-identifier-7");

  JKDictionary* open = JKDictionary::fromValue(grown);
  ASSERT_NE(open, nullptr);
  for (int i = 0; i < 40; ++i) open->setObject(Value(i), "added" + std::to_string(i));
  open->removeObjectForKey("tags");
  EXPECT_EQ(open->count(), 42u);
  EXPECT_EQ(*open->objectForKey("title"), Value("a title long enough for its own storage"));
  // The sole owner's change through Value takes the entries out of the
  // parsed storage.
  Value sole = mutableObjectFromJSONString(json)["notes"][9];
  sole.set("title", "changed");
  EXPECT_EQ(JKDictionary::fromValue(sole), nullptr);
  EXPECT_EQ(sole["id"], Value("note-identifier-9"));
  EXPECT_EQ(sole["tags"], Value::array({"first tag of the note", 9}));
}

// A repeated string value comes out as one shared string: within a parse,
// across the parses of one decoder until clearCache(), and within (not
// across) the calls of the parsing functions.
TEST(JSONDecoderTest, RepeatedStringsShareOneString) {
  const std::string json = "[{\"id\": \"4F2A9C\", \"t\": \"\"}, {\"id\": \"4F2A9C\", \"t\": \"\"}]";
  auto shared = [](const Value& a, const Value& b) { return &a.string() == &b.string(); };

  JSONDecoder decoder;
  const Value first = decoder.objectWithUTF8String(json.data(), json.size());
  EXPECT_TRUE(shared(first[0]["id"], first[1]["id"]));
  EXPECT_EQ(first[0]["t"], Value(""));
  const Value second = decoder.objectWithUTF8String(json.data(), json.size());
  EXPECT_TRUE(shared(first[0]["id"], second[0]["id"]));
  decoder.clearCache();
  const Value third = decoder.objectWithUTF8String(json.data(), json.size());
  EXPECT_FALSE(shared(first[0]["id"], third[0]["id"]));
  EXPECT_EQ(first, third);

  const Value a = objectFromJSONString(json);
  const Value b = objectFromJSONString(json);
  EXPECT_TRUE(shared(a[0]["id"], a[1]["id"]));
  EXPECT_FALSE(shared(a[0]["id"], b[0]["id"]));

  // Strings that share a bucket's probe sequence all stay right.
  std::string many = "[";
  for (int i = 0; i < 3000; ++i) many += (i ? ",\"s" : "\"s") + std::to_string(i % 1500) + "\"";
  many += "]";
  const Value parsed = decoder.objectWithUTF8String(many.data(), many.size());
  ASSERT_EQ(parsed.size(), 3000u);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(parsed[i].string(), "s" + std::to_string(i % 1500));

  // Changing a shared string through one value leaves the others alone.
  Value copy = first[0]["id"];
  copy.mutableString() += "!";
  EXPECT_EQ(first[1]["id"], Value("4F2A9C"));
}

}  // namespace
