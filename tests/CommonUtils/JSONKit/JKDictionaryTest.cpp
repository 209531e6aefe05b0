#include "CommonUtils/JSONKit/JKDictionary.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JKDictionaryEnumerator.h"
#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Error.h"
#include "platform/Value.h"

namespace {

using kx::Value;

std::string Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const kx::Exception& e) {
    return e.name() + ": " + e.reason();
  }
  return "";
}

std::string ObjectWithKeys(int count) {
  std::string json = "{";
  for (int i = 0; i < count; ++i)
    json += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
  return json + "}";
}

TEST(JKDictionaryTest, ParsedDictionariesAreSizedByTheList) {
  struct Case {
    int keys;
    std::size_t capacity;
  };
  for (const Case& c :
       {Case{0, 0}, Case{1, 3}, Case{3, 3}, Case{4, 7}, Case{10, 13}, Case{40, 71}}) {
    const Value parsed = objectFromJSONString(ObjectWithKeys(c.keys));
    JKDictionary* d = JKDictionary::fromValue(parsed);
    ASSERT_NE(d, nullptr) << c.keys;
    EXPECT_FALSE(d->isMutable());
    EXPECT_EQ(d->count(), static_cast<std::size_t>(c.keys));
    EXPECT_EQ(d->capacity(), c.capacity) << c.keys;
    for (int i = 0; i < c.keys; ++i) {
      const Value* v = d->objectForKey("k" + std::to_string(i));
      ASSERT_NE(v, nullptr);
      EXPECT_EQ(*v, Value(i));
    }
    EXPECT_EQ(d->objectForKey("k-absent"), nullptr);  // also in a full table
  }
}

TEST(JKDictionaryTest, DocumentOrderAndTheLaterOfTwoEqualKeys) {
  const Value parsed = objectFromJSONString("{\"z\": 1, \"a\": 2, \"m\": 3, \"a\": 4}");
  const JKDictionary& d = *JKDictionary::fromValue(parsed);
  EXPECT_EQ(d.count(), 3u);
  std::string keys[3];
  Value objects[3];
  d.getObjects(objects, keys);
  EXPECT_EQ(std::vector<std::string>(keys, keys + 3), (std::vector<std::string>{"z", "a", "m"}));
  EXPECT_EQ(objects[1], Value(4));
  std::string onlyKeys[3];
  d.getObjects(nullptr, onlyKeys);
  EXPECT_EQ(onlyKeys[2], "m");
  Value onlyObjects[3];
  d.getObjects(onlyObjects, nullptr);
  EXPECT_EQ(onlyObjects[2], Value(3));
}

TEST(JKDictionaryTest, ImmutableDictionariesRefuseChanges) {
  const Value parsed = objectFromJSONString("{\"a\": 1}");
  JKDictionary& d = *JKDictionary::fromValue(parsed);
  EXPECT_EQ(Raised([&] { d.setObject(Value(2), "b"); }),
            "NSInternalInconsistencyException: *** -[JKDictionary setObject:forKey:]: mutating "
            "method sent to "
            "immutable object");
  EXPECT_EQ(Raised([&] { d.removeObjectForKey("a"); }),
            "NSInternalInconsistencyException: *** -[JKDictionary removeObjectForKey:]: mutating "
            "method sent to "
            "immutable object");
  EXPECT_EQ(parsed, Value::dict({{"a", 1}}));
}

TEST(JKDictionaryTest, MutableDictionariesChangeAndCountTheirMutations) {
  const Value value = mutableObjectFromJSONString("{\"a\": 1, \"b\": 2, \"c\": 3}");
  JKDictionary& d = *JKDictionary::fromValue(value);
  EXPECT_TRUE(d.isMutable());
  EXPECT_EQ(d.mutations(), 1u);
  EXPECT_EQ(d.capacity(), 3u);
  std::string key = "d";
  d.setObject(Value(4), key);
  key = "changed after";        // the dictionary keeps its own copy of the key
  EXPECT_EQ(d.capacity(), 7u);  // grown by setObject
  d.setObject(Value(20), "b");  // replaces in place
  d.removeObjectForKey("a");
  EXPECT_EQ(d.mutations(), 4u);
  d.removeObjectForKey("absent");  // no change
  EXPECT_EQ(d.mutations(), 4u);
  EXPECT_EQ(d.capacity(), 7u);  // removal never shrinks
  EXPECT_EQ(value.dict().keys(), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(*d.objectForKey("b"), Value(20));
  EXPECT_EQ(*d.objectForKey("d"), Value(4));
}

TEST(JKDictionaryTest, Copies) {
  const Value immutable = objectFromJSONString("{\"a\": [1]}");
  const JKDictionary& fixed = *JKDictionary::fromValue(immutable);
  EXPECT_EQ(fixed.copy().dictionaryRep(), immutable.dictionaryRep());
  const Value plain = fixed.mutableCopy();
  EXPECT_EQ(JKDictionary::fromValue(plain), nullptr);
  EXPECT_EQ(plain, immutable);

  const Value changeable = mutableObjectFromJSONString("{\"a\": 1}");
  JKDictionary& open = *JKDictionary::fromValue(changeable);
  const Value snapshot = open.copy();
  EXPECT_EQ(JKDictionary::fromValue(snapshot), nullptr);
  open.setObject(Value(2), "b");
  EXPECT_EQ(snapshot, Value::dict({{"a", 1}}));
}

TEST(JKDictionaryTest, ChangingACopyThroughValueNeverRaises) {
  for (bool mutableParse : {false, true}) {
    const char* json = "{\"user\": {\"name\": \"n\"}, \"n\": 1}";
    const Value parsed =
        mutableParse ? mutableObjectFromJSONString(json) : objectFromJSONString(json);
    Value copy = parsed;
    copy.set("added", true);
    copy.mutableDict().remove("n");
    Value user = copy["user"];
    user.set("name", "changed");
    EXPECT_EQ(JKDictionary::fromValue(copy), nullptr);
    EXPECT_EQ(copy, Value::dict({{"user", Value::dict({{"name", "n"}})}, {"added", true}}));
    EXPECT_EQ(user, Value::dict({{"name", "changed"}}));
    EXPECT_EQ(parsed, objectFromJSONString(json));
    ASSERT_NE(JKDictionary::fromValue(parsed), nullptr);
  }
}

}  // namespace
