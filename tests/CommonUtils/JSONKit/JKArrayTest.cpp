#include "CommonUtils/JSONKit/JKArray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Error.h"
#include "platform/Value.h"

namespace {

using kx::Value;

// Runs `call` and returns the exception it raised as "name: reason", or "".
std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const kx::Exception& e) {
    return e.name() + ": " + e.reason();
  }
  return "";
}

TEST(JKArrayTest, ParsedArraysAreImmutableJKArrays) {
  const Value parsed = objectFromJSONString("[1, [\"a\"], {\"k\": []}]");
  JKArray* array = JKArray::fromValue(parsed);
  ASSERT_NE(array, nullptr);
  EXPECT_FALSE(array->isMutable());
  EXPECT_EQ(array->mutations(), 0u);
  EXPECT_EQ(array->count(), 3u);
  EXPECT_EQ(array->capacity(), 3u);  // sized exactly
  EXPECT_EQ(array->objectAtIndex(0), Value(1));
  EXPECT_NE(JKArray::fromValue(parsed[1]), nullptr);
  EXPECT_NE(JKArray::fromValue(parsed[2]["k"]), nullptr);
  EXPECT_EQ(JKArray::fromValue(Value::array({1})), nullptr);  // built in code
  EXPECT_EQ(JKArray::fromValue(parsed[2]), nullptr);          // a dictionary

  const Value empty = objectFromJSONString("[]");
  ASSERT_NE(JKArray::fromValue(empty), nullptr);
  EXPECT_EQ(JKArray::fromValue(empty)->count(), 0u);
  EXPECT_TRUE(empty.array().empty());
}

TEST(JKArrayTest, MisuseRaises) {
  const Value immutable = objectFromJSONString("[1, 2, 3]");
  const Value changeable = mutableObjectFromJSONString("[1, 2, 3]");
  JKArray& fixed = *JKArray::fromValue(immutable);
  JKArray& open = *JKArray::fromValue(changeable);
  Value out[4];
  struct Case {
    const char* what;
    std::function<void()> call;
    const char* raised;
  };
  const Case cases[] = {
      {"insert into immutable", [&] { fixed.insertObject(Value(0), 0); },
       "NSInternalInconsistencyException: *** -[JKArray insertObject:atIndex:]: mutating method "
       "sent to immutable "
       "object"},
      {"remove from immutable", [&] { fixed.removeObjectAtIndex(0); },
       "NSInternalInconsistencyException: *** -[JKArray removeObjectAtIndex:]: mutating method "
       "sent to immutable "
       "object"},
      {"replace in immutable", [&] { fixed.replaceObjectAtIndex(0, Value(0)); },
       "NSInternalInconsistencyException: *** -[JKArray replaceObjectAtIndex:withObject:]: "
       "mutating method sent to "
       "immutable object"},
      {"read past the end", [&] { fixed.objectAtIndex(3); },
       "NSRangeException: *** -[JKArray objectAtIndex:]: index (3) beyond bounds (3)"},
      {"insert past count", [&] { open.insertObject(Value(0), 4); },
       "NSRangeException: *** -[JKArray insertObject:atIndex:]: index (4) beyond bounds (4)"},
      {"remove past the end", [&] { open.removeObjectAtIndex(3); },
       "NSRangeException: *** -[JKArray removeObjectAtIndex:]: index (3) beyond bounds (3)"},
      {"replace past the end", [&] { open.replaceObjectAtIndex(7, Value(0)); },
       "NSRangeException: *** -[JKArray replaceObjectAtIndex:withObject:]: index (7) beyond bounds "
       "(3)"},
      {"copy to null", [&] { fixed.getObjects(nullptr, 1, 2); },
       "NSRangeException: *** -[JKArray getObjects:range:]: pointer to objects array is NULL but "
       "range length is 2"},
      {"copy past the end", [&] { fixed.getObjects(out, 2, 2); },
       "NSRangeException: *** -[JKArray getObjects:range:]: index (4) beyond bounds (3)"},
      {"copy with a wrapping range",
       [&] { fixed.getObjects(out, 1, std::numeric_limits<std::size_t>::max()); },
       "NSRangeException: *** -[JKArray getObjects:range:]: index (0) beyond bounds (3)"},
  };
  for (const Case& c : cases) EXPECT_EQ(Raised(c.call), c.raised) << c.what;
  // Nothing changed.
  EXPECT_EQ(immutable, Value::array({1, 2, 3}));
  EXPECT_EQ(changeable, Value::array({1, 2, 3}));
  EXPECT_EQ(open.mutations(), 1u);
  EXPECT_EQ(Raised([&] { fixed.getObjects(nullptr, 1, 0); }), "");
}

TEST(JKArrayTest, MutableArraysChangeAndCountTheirMutations) {
  const Value value = mutableObjectFromJSONString("[\"a\", \"b\"]");
  JKArray& array = *JKArray::fromValue(value);
  EXPECT_TRUE(array.isMutable());
  EXPECT_EQ(array.mutations(), 1u);
  array.insertObject(Value("end"), 2);    // at count: appends
  EXPECT_EQ(array.capacity(), 2u + 16u);  // grows 16 places at a time
  array.insertObject(Value("start"), 0);
  array.replaceObjectAtIndex(1, Value("A"));
  array.removeObjectAtIndex(2);
  EXPECT_EQ(array.mutations(), 5u);
  EXPECT_EQ(value, Value::array({"start", "A", "end"}));
  Value out[2];
  array.getObjects(out, 1, 2);
  EXPECT_EQ(out[0], Value("A"));
  EXPECT_EQ(out[1], Value("end"));

  EXPECT_EQ(JKArray::nextMutations(1), 2u);
  EXPECT_EQ(JKArray::nextMutations(std::numeric_limits<std::uint64_t>::max()),
            1u);  // never back to 0
}

TEST(JKArrayTest, Copies) {
  const Value immutable = objectFromJSONString("[1, \"x\"]");
  JKArray& fixed = *JKArray::fromValue(immutable);
  const Value same = fixed.copy();
  EXPECT_EQ(same.arrayRep(), immutable.arrayRep());
  const Value plain = fixed.mutableCopy();
  EXPECT_EQ(JKArray::fromValue(plain), nullptr);
  EXPECT_EQ(plain, immutable);

  const Value changeable = mutableObjectFromJSONString("[1]");
  JKArray& open = *JKArray::fromValue(changeable);
  const Value snapshot = open.copy();
  EXPECT_EQ(JKArray::fromValue(snapshot), nullptr);
  open.insertObject(Value(2), 1);
  EXPECT_EQ(snapshot, Value::array({1}));
  EXPECT_EQ(changeable, Value::array({1, 2}));
}

// A caller that copies a parsed array and changes its copy gets a plain array
// of its own, whether the parse was mutable or not; the parsed one stays.
TEST(JKArrayTest, ChangingACopyThroughValueNeverRaises) {
  for (bool mutableParse : {false, true}) {
    const Value parsed =
        mutableParse ? mutableObjectFromJSONString("[[1], 2]") : objectFromJSONString("[[1], 2]");
    Value copy = parsed;
    copy.mutableArray().push_back(Value(3));
    Value inner = copy[0];
    inner.mutableArray().push_back(Value(9));
    EXPECT_EQ(JKArray::fromValue(copy), nullptr);
    EXPECT_EQ(copy, Value::array({Value::array({1}), 2, 3}));
    EXPECT_EQ(inner, Value::array({1, 9}));
    EXPECT_EQ(parsed, Value::array({Value::array({1}), 2}));
    ASSERT_NE(JKArray::fromValue(parsed), nullptr);

    // The only holder of a parsed array takes its objects over.
    Value only = mutableParse ? mutableObjectFromJSONString("[\"kept\"]")
                              : objectFromJSONString("[\"kept\"]");
    only.mutableArray().push_back(Value("added"));
    EXPECT_EQ(only, Value::array({"kept", "added"}));
  }
}

}  // namespace
