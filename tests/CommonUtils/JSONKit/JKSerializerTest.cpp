#include "CommonUtils/JSONKit/JKSerializer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Error.h"
#include "platform/Value.h"
#include "support/TestParamNames.h"

namespace {

using kx::Value;

std::string AsText(const kx::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// ---------------------------------------------------------------------------
// Output bytes for each option set.
// ---------------------------------------------------------------------------

struct OutputCase {
  Value value;
  JKSerializeOptionFlags options;
  std::string expected;
};

class SerializerOutputTest : public testing::TestWithParam<OutputCase> {};

TEST_P(SerializerOutputTest, WritesExactBytes) {
  const OutputCase& c = GetParam();
  kx::Error error;
  const std::string text = JSONStringWithOptions(c.value, c.options, &error);
  EXPECT_FALSE(error) << error.localizedDescription();
  EXPECT_EQ(text, c.expected);
  // The data form writes the same bytes.
  EXPECT_EQ(AsText(JSONDataWithOptions(c.value, c.options, &error)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Compact, SerializerOutputTest,
    testing::Values(
        OutputCase{Value(kx::Dictionary{}), 0, "{}"}, OutputCase{Value(kx::Array{}), 0, "[]"},
        OutputCase{Value::array({Value()}), 0, "[null]"},
        OutputCase{Value::array({true, false, 0, -42, 7u}), 0, "[true,false,0,-42,7]"},
        OutputCase{Value::array({std::numeric_limits<std::int64_t>::min(),
                                 std::numeric_limits<std::uint64_t>::max()}),
                   0, "[-9223372036854775808,18446744073709551615]"},
        OutputCase{Value::array({0.1, 1.0, -0.0, 1e20, 1e-7, 1.5e300, 5e-324, 123.456}), 0,
                   "[0.10000000000000001,1,-0,1e+20,9.9999999999999995e-08,1.5000000000000001e+300,"
                   "4.9406564584124654e-324,123.456]"},
        // Compact output keeps the dictionary's own order.
        OutputCase{
            Value::dict({{"z", Value::array({1, Value::dict({{"b", Value()}})})}, {"a", "d"}}), 0,
            "{\"z\":[1,{\"b\":null}],\"a\":\"d\"}"}),
    kxtest::byIndexAndText([](const OutputCase& c) { return c.expected; }));

INSTANTIATE_TEST_SUITE_P(
    Strings, SerializerOutputTest,
    testing::Values(OutputCase{Value::array({"\t\"\\/\x01"}), 0, "[\"\\t\\\"\\\\/\\u0001\"]"},
                    OutputCase{Value::array({"\t\"\\/\x01"}), 16, "[\"\\t\\\"\\\\\\/\\u0001\"]"},
                    OutputCase{Value::array({"a/b/c/d/e/f/g/h/i"}), 16,
                               "[\"a\\/b\\/c\\/d\\/e\\/f\\/g\\/h\\/i\"]"},
                    OutputCase{Value::array({std::string("\b\f\n\r\x1f\x7f\0", 7)}), 0,
                               "[\"\\b\\f\\n\\r\\u001f\x7f\\u0000\"]"},
                    OutputCase{Value::array({"a long run of plain text, then \"quoted\" and more"}),
                               0, "[\"a long run of plain text, then \\\"quoted\\\" and more\"]"},
                    OutputCase{Value::array({"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"}), 0,
                               "[\"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\"]"},
                    OutputCase{Value::array({"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"}), 2,
                               "[\"\\u00e9\\u4e2d\\ud83d\\ude00\"]"},
                    OutputCase{Value::array({"\xC3\xA9/"}), 18, "[\"\\u00e9\\/\"]"},
                    // Noncharacters go out raw unless escapes are asked for.
                    OutputCase{Value::array({"\xEF\xBF\xBE"}), 0, "[\"\xEF\xBF\xBE\"]"},
                    // Bytes that are not UTF-8 are never copied into the output.
                    OutputCase{Value::array({"a\xFF"
                                             "b\xE4\xB8"}),
                               0,
                               "[\"a\xEF\xBF\xBD"
                               "b\xEF\xBF\xBD\"]"},
                    OutputCase{Value::dict({{"k\"/\xC3\xA9", 1}}), 18, "{\"k\\\"\\/\\u00e9\":1}"}),
    kxtest::byIndexAndText([](const OutputCase& c) { return c.expected; }));

INSTANTIATE_TEST_SUITE_P(
    Pretty, SerializerOutputTest,
    testing::Values(
        OutputCase{Value(kx::Array{}), 1, "[\n  \n]"},
        OutputCase{Value(kx::Dictionary{}), 1, "{\n  \n}"},
        OutputCase{Value::dict({{"b", 1}, {"a", "x"}}), 1, "{\n  \"a\": \"x\",\n  \"b\": 1\n}"},
        OutputCase{
            Value::dict({{"b", 1}, {"a", Value::array({1, 2})}, {"c", Value(kx::Dictionary{})}}), 1,
            "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": 1,\n  \"c\": {\n    \n  }\n}"},
        OutputCase{Value::array({Value::array({Value()}), "\xC3\xA9"}), 3,
                   "[\n  [\n    null\n  ],\n  \"\\u00e9\"\n]"},
        // Keys sort by UTF-16 code units: U+1F600 (D83D DE00) before U+FF01.
        OutputCase{Value::dict({{"\xEF\xBC\x81", 1},
                                {"\xF0\x9F\x98\x80", 2},
                                {"\xC3\xA9", 3},
                                {"a", 4},
                                {"B", 5}}),
                   1,
                   "{\n  \"B\": 5,\n  \"a\": 4,\n  \"\xC3\xA9\": 3,\n  \"\xF0\x9F\x98\x80\": 2,\n  "
                   "\"\xEF\xBC\x81\": 1\n}"}),
    kxtest::byIndexAndText([](const OutputCase& c) { return c.expected; }));

TEST(JKSerializerTest, DoublesMatchPrintf) {
  const double values[] = {0.1,
                           1.0 / 3,
                           -2.5,
                           100.0,
                           1e16,
                           1e17,
                           123456789012345678.0,
                           1e-5,
                           0.0001,
                           6.02e23,
                           -1e-300,
                           2.2250738585072014e-308,
                           1.7976931348623157e308,
                           4.9406564584124654e-324,
                           9007199254740993.0,
                           0.5,
                           1e21};
  auto check = [](double d) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "[%.17g]", d);
    const std::string written = JSONString(Value::array({d}));
    EXPECT_EQ(written, expected);
    return written == expected;
  };
  for (double d : values) check(d);
  // Around every power of ten of the common range, and around the values
  // where rounding to 17 digits carries into a new digit.
  for (int x = -7; x <= 18; ++x) {
    const double p = std::pow(10.0, x);
    for (double d : {p, std::nextafter(p, 0.0), std::nextafter(p, 1e300), p * 9.99999999999999999,
                     p * 0.99999999999999994, -p * 1.0000000000000002}) {
      check(d);
    }
  }
  // Random bit patterns (all magnitudes) and random short decimals.
  std::uint64_t state = 12345;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  int mismatches = 0;
  for (int i = 0; i < 20000 && mismatches < 5; ++i) {
    std::uint64_t bits = next();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d) && !check(d)) ++mismatches;
    if (!check(static_cast<double>(static_cast<std::int64_t>(next() % 2000000000) - 1000000000) /
               static_cast<double>(std::uint64_t{1} << (next() % 20)) /
               std::pow(10.0, next() % 12))) {
      ++mismatches;
    }
  }
}

// ---------------------------------------------------------------------------
// Failures.
// ---------------------------------------------------------------------------

struct FailureCase {
  Value value;
  JKSerializeOptionFlags options;
  std::string message;
};

class SerializerFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(SerializerFailureTest, FailsWithMessage) {
  const FailureCase& c = GetParam();
  kx::Error error;
  EXPECT_TRUE(JSONDataWithOptions(c.value, c.options, &error).empty());
  ASSERT_TRUE(error);
  EXPECT_EQ(error.domain(), "JKErrorDomain");
  EXPECT_EQ(error.code(), -1);
  EXPECT_EQ(error.localizedDescription(), c.message);
  EXPECT_EQ(JSONStringWithOptions(c.value, c.options, &error), "");
  EXPECT_EQ(error.localizedDescription(), c.message);
}

Value Nested(int depth) {
  Value v = Value(kx::Array{});
  for (int i = 1; i < depth; ++i) v = Value(kx::Array{v});
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    All, SerializerFailureTest,
    testing::Values(
        FailureCase{
            Value::array({1, std::nan("")}), 0,
            "Floating point values must be finite.  JSON does not support NaN or Infinity."},
        FailureCase{
            Value::dict({{"a", -std::numeric_limits<double>::infinity()}}), 0,
            "Floating point values must be finite.  JSON does not support NaN or Infinity."},
        FailureCase{Value::array({"\xEF\xBF\xBE"}), 2, "Error converting UTF8."},
        FailureCase{Value::array({"ok", "\xE4\xB8"}), 2, "Error converting UTF8."},
        FailureCase{Value::array({Value::data("ab", 2)}), 0,
                    "Unable to serialize object class NSData."},
        FailureCase{Value::dict({{"when", Value::date(0)}}), 0,
                    "Unable to serialize object class NSDate."},
        FailureCase{
            Value("text"), 0,
            "Unable to serialize object class NSString, expected a NSArray or NSDictionary."},
        FailureCase{
            Value(3), 0,
            "Unable to serialize object class NSNumber, expected a NSArray or NSDictionary."},
        FailureCase{Value(), 0,
                    "Unable to serialize object class NSNull, expected a NSArray or NSDictionary."},
        FailureCase{Nested(513), 0,
                    "Exceeded the maximum nesting depth of 512 arrays and dictionaries."}),
    kxtest::byIndexAndText([](const FailureCase& c) { return c.message; }));

TEST(JKSerializerTest, FormatterReplacesUnsupportedValues) {
  const Value tree =
      Value::array({Value::date(86400), Value::dict({{"blob", Value::data("ab", 2)}})});
  JKSerializeUnsupportedClassesBlock block = [](const Value& object) -> std::optional<Value> {
    if (object.isDate())
      return Value("day " + std::to_string(static_cast<long long>(object.dateValue() / 86400)));
    return Value::array({static_cast<long long>(object.size())});
  };
  kx::Error error;
  EXPECT_EQ(JSONStringWithOptions(tree, 0, block, &error), "[\"day 1\",{\"blob\":[2]}]");
  EXPECT_FALSE(error);
  EXPECT_EQ(AsText(JSONDataWithOptions(tree, 0, block, &error)), "[\"day 1\",{\"blob\":[2]}]");

  JKSerializeUnsupportedClassesBlock refuses = [](const Value&) { return std::optional<Value>(); };
  EXPECT_EQ(JSONStringWithOptions(tree, 0, refuses, &error), "");
  EXPECT_EQ(error.localizedDescription(), "Unable to serialize object class NSDate.");

  JKSerializeUnsupportedClassesBlock unhelpful = [](const Value&) {
    return std::optional<Value>(Value::data("", 0));
  };
  EXPECT_EQ(JSONStringWithOptions(tree, 0, unhelpful, &error), "");
  EXPECT_EQ(error.localizedDescription(),
            "Unable to serialize object class NSData that was returned by the unsupported class "
            "formatter.  "
            "Original object class was NSDate.");
}

TEST(JKSerializerTest, StringEntryPoints) {
  kx::Error error;
  EXPECT_EQ(JSONStringWithOptions("a\"b", 0, false, &error), "a\\\"b");
  EXPECT_FALSE(error);
  EXPECT_EQ(JSONStringWithOptions("a\"b", 0, true, &error), "\"a\\\"b\"");
  EXPECT_EQ(AsText(JSONDataWithOptions("\xC3\xA9/", 18, false, &error)), "\\u00e9\\/");
  EXPECT_EQ(JSONString(std::string("x\ny")), "\"x\\ny\"");
  EXPECT_EQ(AsText(JSONData(std::string(""))), "\"\"");
  EXPECT_EQ(JSONStringWithOptions("", 0, false, &error), "");
  EXPECT_FALSE(error);
  EXPECT_EQ(JSONStringWithOptions("\xEF\xBF\xBF", 2, true, &error), "");
  EXPECT_EQ(error.localizedDescription(), "Error converting UTF8.");
}

TEST(JKSerializerTest, CollectionsOutsideAValue) {
  kx::Dictionary d;
  d.set("b", Value::array({1, "two"}));
  d.set("a", Value());
  EXPECT_EQ(JSONString(d), "{\"b\":[1,\"two\"],\"a\":null}");
  EXPECT_EQ(AsText(JSONData(d)), "{\"b\":[1,\"two\"],\"a\":null}");
  kx::Array a = {Value(1.5), Value(d)};
  EXPECT_EQ(JSONString(a), "[1.5,{\"b\":[1,\"two\"],\"a\":null}]");
  EXPECT_EQ(AsText(JSONData(a)), "[1.5,{\"b\":[1,\"two\"],\"a\":null}]");
  EXPECT_EQ(JSONString(Value(d)), "{\"b\":[1,\"two\"],\"a\":null}");
  EXPECT_EQ(AsText(JSONData(Value(a))), "[1.5,{\"b\":[1,\"two\"],\"a\":null}]");
}

TEST(JKSerializerTest, SerializerClassChecksItsEncodeOptions) {
  kx::Error error;
  const JKSerializeUnsupportedClassesBlock none;
  Value result =
      JKSerializer::serializeObject(Value::array({1}), 0, JKEncodeOptionResultData, none, &error);
  ASSERT_TRUE(result.isData());
  EXPECT_EQ(AsText(result.bytes()), "[1]");
  result = JKSerializer::serializeObject(
      Value("x"), 0, JKEncodeOptionResultString | JKEncodeOptionStringObj, none, &error);
  EXPECT_EQ(result, Value("\"x\""));

  result = JKSerializer::serializeObject(
      Value::array({1}), 0, JKEncodeOptionResultString | JKEncodeOptionStringObj, none, &error);
  EXPECT_TRUE(result.isNull());
  EXPECT_EQ(error.localizedDescription(),
            "Unable to serialize object class NSArray, expected a NSString.");

  result = JKSerializer::serializeObject(Value::array({1}), 0, 3, none, &error);
  EXPECT_TRUE(result.isNull());
  EXPECT_EQ(error.localizedDescription(), "Unknown encode as type.");

  EXPECT_THROW(JKSerializer::serializeObject(
                   Value("x"), 0,
                   JKEncodeOptionResultData | JKEncodeOptionCollectionObj | JKEncodeOptionStringObj,
                   none, &error),
               kx::Exception);
}

TEST(JKSerializerTest, WrittenTextParsesBackToTheSameValue) {
  const std::string source =
      "{\"entries\":[{\"fileId\":\"0A1B\",\"title\":\"\xE7\xAC\x94\xE8\xAE\xB0 "
      "\\\"1\\\"\",\"size\":-3,"
      "\"ratio\":0.30000000000000004,\"big\":18446744073709551615,\"tags\":[],\"meta\":{}},"
      "{\"fileId\":\"\\u0001\\t/\",\"title\":\"\\ud83d\\ude00\",\"deleted\":true,\"parent\":null}],"
      "\"version\":-0,\"tiny\":5e-324}";
  const Value original = objectFromJSONString(source);
  ASSERT_FALSE(original.isNull());
  for (JKSerializeOptionFlags options : {0, 1, 2, 16, 19}) {
    const std::string written = JSONStringWithOptions(original, options, nullptr);
    kx::Error error;
    const Value again = objectFromJSONStringWithParseOptions(written, 0, &error);
    EXPECT_FALSE(error) << error.localizedDescription();
    EXPECT_EQ(again, original) << "options " << options;
    // Writing what was read back gives the same bytes.
    EXPECT_EQ(JSONStringWithOptions(again, options, nullptr), written) << "options " << options;
  }
}

// A delegate's member function as the formatter.
class DateWriter {
 public:
  std::optional<Value> format(const Value& object) {
    ++calls;
    if (!object.isDate()) return std::nullopt;
    return Value(static_cast<long long>(object.dateValue()));
  }
  int calls = 0;
};

TEST(JKSerializerTest, DelegateFormatter) {
  const Value tree =
      Value::dict({{"at", Value::date(60)}, {"blob", Value::array({Value::data("x", 1)})}});
  const Value dates = Value::array({Value::date(1), Value::date(2)});
  DateWriter writer;
  kx::Error error;
  EXPECT_EQ(JSONStringWithOptions(dates, 0, &writer, &DateWriter::format, &error), "[1,2]");
  EXPECT_FALSE(error);
  EXPECT_EQ(AsText(JSONDataWithOptions(dates, 0, &writer, &DateWriter::format, &error)), "[1,2]");
  EXPECT_EQ(writer.calls, 4);
  EXPECT_EQ(JSONStringWithOptions(tree, 0, &writer, &DateWriter::format, &error), "");
  EXPECT_EQ(error.localizedDescription(), "Unable to serialize object class NSData.");

  // No delegate: no formatter.
  EXPECT_EQ(JSONStringWithOptions(dates, 0, static_cast<DateWriter*>(nullptr), &DateWriter::format,
                                  &error),
            "");
  EXPECT_EQ(error.localizedDescription(), "Unable to serialize object class NSDate.");

  // A delegate without a method is a programming error.
  for (bool asData : {false, true}) {
    try {
      if (asData) {
        JSONDataWithOptions(dates, 0, &writer,
                            JKSerializeUnsupportedClassesSelector<DateWriter>(nullptr), &error);
      } else {
        JSONStringWithOptions(dates, 0, &writer,
                              JKSerializeUnsupportedClassesSelector<DateWriter>(nullptr), &error);
      }
      ADD_FAILURE() << "no exception";
    } catch (const kx::Exception& e) {
      EXPECT_EQ(e.name(), "NSInvalidArgumentException");
      EXPECT_EQ(e.reason(),
                "The delegate argument is not NULL, but the selector argument is NULL.");
    }
  }
}

// Parsed trees (JKArray and JKDictionary storage) write like built ones.
TEST(JKSerializerTest, WritesParsedCollections) {
  const std::string json = "{\"z\":[1,{\"a\":\"x\"},[]],\"b\":{},\"a\":null}";
  EXPECT_EQ(JSONString(objectFromJSONString(json)), json);
  EXPECT_EQ(JSONString(mutableObjectFromJSONString(json)), json);
  EXPECT_EQ(JSONStringWithOptions(objectFromJSONString(json), JKSerializeOptionPretty, nullptr),
            JSONStringWithOptions(
                Value::dict({{"z", Value::array({1, Value::dict({{"a", "x"}}), Value::array({})})},
                             {"b", Value::dict({})},
                             {"a", Value()}}),
                JKSerializeOptionPretty, nullptr));
}

}  // namespace
