#include "account/KXSession.h"

#include <gtest/gtest.h>

#include <string>

#include "CommonUtils/KXHooks.h"

namespace {

class KXSessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    session().setCurrentUser("");
    session().setLoginType(0);
    session().setDbUserId("");
  }
  static KXSession& session() { return KXSession::defaultSession(); }
};

TEST_F(KXSessionTest, CurrentUserIsNeverEmptyAndReachesTheFoundationLayer) {
  EXPECT_EQ(session().currentUser(), "EmptyUser");
  session().setCurrentUser("u1");
  EXPECT_EQ(session().currentUser(), "u1");
  EXPECT_EQ(KXHooks::currentUser(), "u1") << "the session installs its hook when created";
  session().setCurrentUser("");
  EXPECT_EQ(session().currentUser(), "EmptyUser");
  EXPECT_EQ(KXHooks::currentUser(), "EmptyUser");
}

TEST_F(KXSessionTest, UnknownLoginTypesReadAsAccountAndPassword) {
  struct Case {
    std::uint64_t stored;
    std::uint64_t read;
  };
  const Case cases[] = {{0, 1}, {1, 1}, {5, 5}, {10, 10}, {11, 1}, {~std::uint64_t{0}, 1}};
  for (const Case& c : cases) {
    session().setLoginType(c.stored);
    EXPECT_EQ(session().loginType(), c.read) << c.stored;
  }
}

TEST_F(KXSessionTest, DbUserIdIsKept) {
  EXPECT_EQ(session().dbUserId(), "");
  session().setDbUserId("u7");
  EXPECT_EQ(session().dbUserId(), "u7");
}

}  // namespace
