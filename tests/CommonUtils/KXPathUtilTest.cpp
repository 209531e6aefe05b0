#include "CommonUtils/KXPathUtil.h"

#include <gtest/gtest.h>

#include "CommonUtils/KXHooks.h"

namespace {

TEST(KXPathUtilTest, DirnameOfEntryPaths) {
  EXPECT_EQ(KXPathUtil::dirname("/Notes"), "/");
  EXPECT_EQ(KXPathUtil::dirname("/Notes/Work"), "/Notes");
  EXPECT_EQ(KXPathUtil::dirname("/Notes/Work/"), "/Notes");
  EXPECT_EQ(KXPathUtil::dirname("Notes"), "/");
  EXPECT_EQ(KXPathUtil::dirname("/"), "/");
}

TEST(KXPathUtilTest, BasenameOfTheRootIsTheRootEntryId) {
  EXPECT_EQ(KXPathUtil::basename("/Notes/Work"), "Work");
  EXPECT_EQ(KXPathUtil::basename("/"), "") << "no store, no root entry";
  KXHooks::setRootEntryIdProvider([] { return std::string("ROOT"); });
  EXPECT_EQ(KXPathUtil::basename("/"), "ROOT");
  EXPECT_EQ(KXPathUtil::basename("/Notes"), "Notes");
  KXHooks::resetForTesting();
}

}  // namespace
