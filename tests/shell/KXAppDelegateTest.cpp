// The application delegate on the headless desktop: start-up order, the
// quit decision, termination, reopening.
#include "shell/KXAppDelegate.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/HTTPTransport.h"
#include "platform/MainQueue.h"
#include "platform/Places.h"
#include "platform/UserDefaults.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"
#include "ui/KXHeadlessPlatform.h"

namespace {

class KXAppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::UserDefaults::standardUserDefaults().resetForTesting();
    ASSERT_TRUE(service_.start(nullptr));
    service_.attach(transport_);
    ASSERT_TRUE(kx::Places::ensureApplicationDataRoot(nullptr));
    session_ = std::make_shared<KXSession>(transport_, kx::Places::applicationDataRoot());
    makeDelegate();
  }
  void TearDown() override {
    delegate_.reset();
    EXPECT_TRUE(kxtest::waitForQueue(KXSession::queue()));
    session_.reset();
    kx::UserDefaults::standardUserDefaults().resetForTesting();
  }

  void makeDelegate() {
    KXAppDelegate::Hooks hooks;
    auto note = [this](const char* what) { return [this, what] { calls_.push_back(what); }; };
    hooks.startCrashReporting = note("crash reporting");
    hooks.registerRouting = note("routing");
    hooks.setEnv = note("setEnv");
    hooks.startLogin = note("startLogin");
    hooks.closeAllWindows = note("closeAll");
    hooks.isSavingCurrentFile = [this] { return saving_; };
    hooks.performSyncSave = note("store save");
    hooks.saveLocalStorage = [this](std::function<void()> done) {
      calls_.push_back("local storage");
      // The page answers later, as WebKit's script calls do.
      kx::MainQueue::shared().async(std::move(done));
    };
    hooks.saveState = note("state");
    hooks.mainWindowIsKey = [this] { return mainKey_; };
    hooks.showMainWindow = note("show main");
    hooks.relaunch = note("relaunch");
    delegate_ =
        std::make_unique<KXAppDelegate>(*session_, platform_.application(), platform_.statusItem(),
                                        platform_.alerts(), std::move(hooks));
    platform_.application().setDelegate(delegate_.get());
  }

  // Asks to quit and pumps until the decision is in.
  void quit() {
    int before = replies_;
    delegate_->shouldTerminate([this](bool terminate) {
      ++replies_;
      lastAnswer_ = terminate;
    });
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return replies_ > before; }));
  }

  void signOut() {
    std::promise<void> done;
    session_->logoutWithCallback([&done](const kx::Error&) { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    ASSERT_TRUE(session_->isLogOut());
  }

  kxtest::TempAppRoot root_;
  kxtest::TestNoteService service_;
  kx::HTTPTransport transport_;
  std::shared_ptr<KXSession> session_;
  std::shared_ptr<kxtest::KXManualDelayClock> clock_ =
      std::make_shared<kxtest::KXManualDelayClock>();
  KXHeadlessPlatform platform_{clock_};
  std::unique_ptr<KXAppDelegate> delegate_;
  std::vector<std::string> calls_;
  bool saving_ = false;
  bool mainKey_ = false;
  int replies_ = 0;
  bool lastAnswer_ = false;
};

TEST_F(KXAppDelegateTest, StartsUpInOrderAndShowsTheStatusItem) {
  platform_.application().launch();
  EXPECT_EQ(calls_,
            (std::vector<std::string>{"crash reporting", "routing", "setEnv", "startLogin"}));
  kx::UserDefaults& defaults = kx::UserDefaults::standardUserDefaults();
  EXPECT_TRUE(defaults.boolForKey("NSApplicationCrashOnExceptions"));
  EXPECT_EQ(defaults.stringForKey("WebAutomaticSpellingCorrectionEnabled"), "0");
  EXPECT_TRUE(platform_.statusItem().shown());
  EXPECT_EQ(platform_.statusItem().imageName(), "icon_statusbar");
  EXPECT_TRUE(delegate_->hasStatusItem());

  // The status menu's last entry quits through the application.
  ASSERT_FALSE(platform_.statusItem().menu().empty());
  platform_.statusItem().menu().back().action();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return platform_.application().terminated(); }));
  EXPECT_FALSE(platform_.statusItem().shown()) << "removed at termination";
}

TEST_F(KXAppDelegateTest, StartUpGoesOnWithoutAStatusArea) {
  platform_.statusItem().setAvailable(false);
  platform_.application().launch();
  EXPECT_FALSE(delegate_->hasStatusItem());
  EXPECT_EQ(calls_.back(), "startLogin");
}

TEST_F(KXAppDelegateTest, QuitDecisions) {
  struct Case {
    const char* name;
    bool signedIn;
    bool saving;
    std::size_t answer;  // the alert's answer, when one is shown
    bool alert;
    bool terminate;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"signed out", false, true, 0, false, true, {"closeAll", "local storage"}},
      {"signed in, nothing pending",
       true,
       false,
       0,
       false,
       true,
       {"closeAll", "store save", "local storage"}},
      {"page saving, quit anyway",
       true,
       true,
       0,
       true,
       true,
       {"closeAll", "store save", "local storage"}},
      {"page saving, do not quit",
       true,
       true,
       1,
       true,
       false,
       {"closeAll", "store save", "local storage"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    calls_.clear();
    session_->setCurrentUser(c.signedIn ? "alice" : "");
    saving_ = c.saving;
    const std::size_t alertsBefore = platform_.headlessAlerts().alerts().size();
    if (c.alert) platform_.headlessAlerts().queueAnswer(c.answer);
    quit();
    EXPECT_EQ(lastAnswer_, c.terminate);
    EXPECT_EQ(calls_, c.calls);
    std::vector<KXUIPort::Alert> alerts = platform_.headlessAlerts().alerts();
    ASSERT_EQ(alerts.size(), alertsBefore + (c.alert ? 1 : 0));
    if (c.alert) {
      EXPECT_EQ(alerts.back().title, "退出泽维云笔记");
      EXPECT_EQ(alerts.back().message, "当前文件有修改的内容未保存，正在保存");
      EXPECT_EQ(alerts.back().buttons, (std::vector<std::string>{"继续退出", "不退出"}));
    }
  }
}

TEST_F(KXAppDelegateTest, AfterSignOutQuitSkipsTheStoreAndRelaunches) {
  session_->setCurrentUser("alice");
  saving_ = true;
  signOut();
  platform_.application().terminate();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return platform_.application().terminated(); }));
  EXPECT_TRUE(platform_.headlessAlerts().alerts().empty());
  // No session is left to save the state of.
  EXPECT_EQ(calls_, (std::vector<std::string>{"local storage", "relaunch"}));
}

TEST_F(KXAppDelegateTest, TerminationSavesTheStateOnlyWithASession) {
  session_->setCurrentUser("alice");
  platform_.application().launch();
  calls_.clear();
  platform_.application().terminate();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return platform_.application().terminated(); }));
  EXPECT_EQ(calls_, (std::vector<std::string>{"closeAll", "store save", "local storage", "state"}));
  EXPECT_FALSE(platform_.statusItem().shown());
  EXPECT_FALSE(KXAppDelegate::shouldTerminateAfterLastWindowClosed());
}

TEST_F(KXAppDelegateTest, ReopenShowsTheMainWindowOrTheSignIn) {
  struct Case {
    const char* name;
    bool mainKey;
    bool signedIn;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"main window already key", true, true, {}},
      {"signed in", false, true, {"show main"}},
      {"signed out", false, false, {"startLogin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // isLogin stays once set: each case has a session of its own.
    session_ = std::make_shared<KXSession>(transport_, kx::Places::applicationDataRoot());
    makeDelegate();
    if (c.signedIn) session_->loginSuccessWithAuto(true);
    mainKey_ = c.mainKey;
    calls_.clear();
    platform_.application().activateAgain();
    EXPECT_EQ(calls_, c.calls);
  }
}

TEST_F(KXAppDelegateTest, InterfaceCallsOffTheMainThreadStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::thread other([this] { delegate_->reopen(); });
        other.join();
      },
      "off the main thread");
}

}  // namespace
