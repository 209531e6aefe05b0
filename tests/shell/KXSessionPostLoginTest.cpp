// The continuation after a sign-in, and the per-user folder link.
#include "shell/KXSessionPostLogin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXHeadlessUIPort.h"
#include "platform/GlobalQueue.h"
#include "platform/HTTPTransport.h"
#include "platform/MainQueue.h"
#include "platform/Places.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"

namespace {

// Records what the continuation reached, and on which thread.
class RecordingEnvironment : public KXPostLoginEnvironment {
 public:
  LocalCopy copy;
  std::vector<std::string> calls;
  bool offMain = false;
  std::function<void()> heldPull;
  bool holdPull = false;

  void pullPaperBackground(std::function<void()> done) override {
    calls.push_back("pull");
    if (holdPull) {
      heldPull = std::move(done);
      return;
    }
    done();
  }
  LocalCopy openLocalCopy() override { return note("open", copy); }
  void showMainWindow() override { note("main window"); }
  void checkUpdate() override { note("checkUpdate"); }
  void checkEditorUpdate() override { note("checkEditorUpdate"); }
  void showFirstDownloadWindow() override { note("first download"); }
  void updateMenu() override { note("updateMenu"); }
  void sync() override { note("sync"); }
  void performLiveConnect() override { note("live connect"); }
  void pushStaticInfo() override { note("statistics"); }
  void logout() override { note("logout"); }

 private:
  template <typename T = int>
  T note(const char* what, T value = T()) {
    if (!kx::MainQueue::isMainThread()) offMain = true;
    calls.push_back(what);
    return value;
  }
};

class KXSessionPostLoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kx::Places::ensureApplicationDataRoot(nullptr));
    appDir_ = kx::Places::applicationDataRoot();
    session_ = std::make_shared<KXSession>(transport_, appDir_);
  }
  void TearDown() override {
    EXPECT_TRUE(kxtest::waitForQueue(KXSession::queue()));
    session_.reset();
  }

  void continueNow() {
    KXSessionPostLogin::continueAfterLogin(*session_, env_, alerts_);
    kx::MainQueue::shared().drain();
  }

  std::string dir(const std::string& name) const { return appDir_ + "/" + name; }

  kxtest::TempAppRoot root_;
  kx::HTTPTransport transport_;
  std::string appDir_;
  std::shared_ptr<KXSession> session_;
  std::shared_ptr<RecordingEnvironment> env_ = std::make_shared<RecordingEnvironment>();
  std::shared_ptr<KXHeadlessUIPort> alerts_ = std::make_shared<KXHeadlessUIPort>();
};

TEST_F(KXSessionPostLoginTest, AccountCheckIgnoresLetterCase) {
  struct Case {
    const char* dbUser;
    const char* current;
    bool mismatch;
  };
  const Case cases[] = {{"", "alice", false}, {"Alice", "aLICE", false}, {"bob", "alice", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dbUser) + " / " + c.current);
    env_->calls.clear();
    env_->copy = {0, 0, true};
    session_->setDbUserId(c.dbUser);
    session_->setCurrentUser(c.current);
    const std::size_t alertsBefore = alerts_->alerts().size();
    continueNow();
    if (c.mismatch) {
      ASSERT_EQ(alerts_->alerts().size(), alertsBefore + 1);
      const KXUIPort::Alert alert = alerts_->alerts().back();
      EXPECT_EQ(alert.title, "账号不一致");
      EXPECT_EQ(alert.message, "用户名与数据库中的用户名不一致，请重新登录");
      EXPECT_EQ(alert.buttons, (std::vector<std::string>{"确定"}));
      // Nothing of the other account's store is touched: straight to sign-out.
      EXPECT_EQ(env_->calls, (std::vector<std::string>{"logout"}));
    } else {
      EXPECT_EQ(alerts_->alerts().size(), alertsBefore);
      EXPECT_EQ(env_->calls.front(), "pull");
      EXPECT_EQ(env_->calls.back(), "statistics");
    }
  }
}

TEST_F(KXSessionPostLoginTest, CompleteCopyOpensTheMainWindowElseTheFirstDownload) {
  struct Case {
    const char* name;
    KXPostLoginEnvironment::LocalCopy copy;
    std::vector<std::string> calls;
  };
  const std::vector<std::string> main = {
      "pull",       "open", "main window",  "checkUpdate", "checkEditorUpdate",
      "updateMenu", "sync", "live connect", "statistics"};
  const std::vector<std::string> first = {"pull", "open", "first download", "statistics"};
  const Case cases[] = {
      {"complete", {0, 0, true}, main},
      {"no root entry", {0, 0, false}, first},
      {"unsynced note content", {1, 0, true}, first},
      {"empty resources", {0, 2, true}, first},
  };
  session_->setCurrentUser("alice");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    env_->calls.clear();
    env_->copy = c.copy;
    continueNow();
    EXPECT_EQ(env_->calls, c.calls);
  }
  // The sign-in's source was recorded.
  struct stat st;
  EXPECT_EQ(::stat((appDir_ + "/statistic.dat").c_str(), &st), 0);
}

TEST_F(KXSessionPostLoginTest, TheRestWaitsForThePullAndRunsOnTheMainQueue) {
  session_->setCurrentUser("alice");
  env_->copy = {0, 0, true};
  env_->holdPull = true;
  continueNow();
  EXPECT_EQ(env_->calls, (std::vector<std::string>{"pull"}));
  ASSERT_TRUE(env_->heldPull);
  // The pull reports from a background queue.
  kx::GlobalQueue::get().async([done = env_->heldPull] { done(); });
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return env_->calls.back() == "statistics"; }));
  EXPECT_FALSE(env_->offMain);
  env_->heldPull = nullptr;  // it holds the environment
}

TEST_F(KXSessionPostLoginTest, TypedIdFolderIsLinkedBeforeTheStoreOpens) {
  ASSERT_EQ(::mkdir(dir("Alice").c_str(), 0700), 0);
  std::ofstream(dir("Alice") + "/note.db") << "store";
  session_->setCurrentUser("alice");
  session_->setInputUserId("Alice");
  env_->copy = {0, 0, true};
  continueNow();
  struct stat linked;
  ASSERT_EQ(::stat((dir("alice") + "/note.db").c_str(), &linked), 0);
}

TEST_F(KXSessionPostLoginTest, LinkFromMakesAHardLinkCopyOnlyWhenItShould) {
  // B: the typed id's folder with a nested file.
  ASSERT_EQ(::mkdir(dir("Typed").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((dir("Typed") + "/files").c_str(), 0700), 0);
  std::ofstream(dir("Typed") + "/files/a.txt") << "a";
  ASSERT_EQ(::mkdir(dir("existing").c_str(), 0700), 0);
  // A folder beside the application data folder, which a typed id must
  // never reach.
  ASSERT_EQ(::mkdir((appDir_ + "/../Outside").c_str(), 0700), 0);

  struct Case {
    const char* name;
    const char* from;
    const char* to;
    const char* expectFolder;   // a folder that must exist afterwards, or ""
    const char* expectMissing;  // a path that must not exist afterwards, or ""
  };
  const Case cases[] = {
      {"no typed id", "canon1", "", "", "canon1"},
      {"typed id equals the id", "Typed", "Typed", "", ""},
      {"typed folder missing", "canon2", "Nobody", "", "canon2"},
      {"existing folder is never replaced", "existing", "Typed", "existing", "existing/files"},
      {"typed id naming a folder outside", "canon3", "../Outside", "", "canon3"},
      {"id that climbs", "..", "Typed", "", ""},
      {"linked", "canon", "Typed", "canon/files", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KXSessionPostLogin::linkFrom(appDir_, c.from, c.to);
    struct stat st;
    if (*c.expectFolder) {
      ASSERT_EQ(::stat(dir(c.expectFolder).c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    if (*c.expectMissing) {
      EXPECT_NE(::stat(dir(c.expectMissing).c_str(), &st), 0);
    }
  }
  // Files are hard links of the typed folder's, not copies.
  struct stat original;
  struct stat linked;
  ASSERT_EQ(::stat((dir("Typed") + "/files/a.txt").c_str(), &original), 0);
  ASSERT_EQ(::stat((dir("canon") + "/files/a.txt").c_str(), &linked), 0);
  EXPECT_EQ(original.st_ino, linked.st_ino);
  EXPECT_EQ(original.st_nlink, 2u);
}

TEST_F(KXSessionPostLoginTest, SetEnvLoadsTheLastSession) {
  session_->setCurrentUser("carol");
  session_->writeLatest();
  auto fresh = std::make_shared<KXSession>(transport_);
  KXSessionPostLogin::setEnv(*fresh, appDir_);
  EXPECT_EQ(fresh->appDataDir(), appDir_);
  EXPECT_EQ(fresh->currentUser(), "carol");
}

}  // namespace
