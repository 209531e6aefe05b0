#include <gtest/gtest.h>

#include "Data/DataUtil/KXTagUtil.h"
#include "Data/store/KXManagedObjectContext.h"

namespace {

TEST(KXTagUtilTest, AttributesWithValuesOnly) {
  auto context = KXManagedObjectContext::create(nullptr, KXManagedObjectContext::Role::Writer);
  auto tag = context->insertNewObject("Tag");
  ASSERT_TRUE(tag);
  tag->setValue("tagId", kx::Value("7"));
  tag->setValue("isLocalCreated", kx::Value(true));
  tag->setValue("dateUpdated", kx::Value(1600000000));
  kx::Dictionary d = KXTagUtil::dictOfTag(tag);
  EXPECT_EQ(d, (kx::Dictionary{{"tagId", kx::Value("7")},
                               {"dateUpdated", kx::Value(1600000000)},
                               {"isLocalCreated", kx::Value(true)}}));
  EXPECT_FALSE(d.contains("name"));

  auto note = context->insertNewObject("Note");
  note->setValue("title", kx::Value("x"));
  EXPECT_TRUE(KXTagUtil::dictOfTag(note).empty());
  EXPECT_TRUE(KXTagUtil::dictOfTag(nullptr).empty());
}

}  // namespace
