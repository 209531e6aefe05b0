#include "CommonUtils/JSONKit/JKDictionaryEnumerator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JKDictionary.h"
#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Value.h"

namespace {

using kx::Value;

TEST(JKDictionaryEnumeratorTest, WalksTheKeysInDocumentOrderAndKeepsTheDictionary) {
  JKDictionaryEnumerator walk = [] {
    const Value parsed = objectFromJSONString("{\"b\": 1, \"a\": 2, \"c\": 3}");
    return JKDictionary::fromValue(parsed)->keyEnumerator();
  }();  // the parsed value is gone; the enumerator holds the dictionary
  const std::string* first = walk.nextObject();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(*first, "b");
  EXPECT_EQ(walk.allObjects(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(walk.nextObject(), nullptr);
  EXPECT_TRUE(walk.allObjects().empty());

  JKDictionaryEnumerator empty =
      JKDictionary::fromValue(objectFromJSONString("{}"))->keyEnumerator();
  EXPECT_EQ(empty.nextObject(), nullptr);
}

}  // namespace
