// The desktop shell's wiring on the headless desktop: launch, the sign-in's
// place in it, the main window or the first-download stand-in, the quit.
#include "shell/KXDesktopShell.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXServiceBaseURL.h"
#include "account/KXSessionEnvironment.h"
#include "platform/HTTPTransport.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Places.h"
#include "platform/UserDefaults.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "sync/cycle/KXSyncNotificationNames.h"
#include "ui/KXHeadlessPlatform.h"

namespace {

class CopyEnvironment : public KXPostLoginEnvironment {
 public:
  LocalCopy copy{0, 0, true};
  std::vector<std::string> calls;
  LocalCopy openLocalCopy() override { return copy; }
  void sync() override { calls.push_back("sync"); }
  void performLiveConnect() override { calls.push_back("live connect"); }
};

// The session's environment as the application object's mediator is: the
// sign-in's opening goes to the desktop.
class ForwardingEnvironment : public KXSessionEnvironment {
 public:
  explicit ForwardingEnvironment(std::function<void()> open) : open_(std::move(open)) {}
  void firstOpen() override { open_(); }

 private:
  std::function<void()> open_;
};

class KXDesktopShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::UserDefaults::standardUserDefaults().resetForTesting();
    ASSERT_TRUE(kx::Places::ensureApplicationDataRoot(nullptr));
    session_ = std::make_shared<KXSession>(transport_, kx::Places::applicationDataRoot());
    webRoot_ = root_.path() + "/ui";
    std::filesystem::create_directories(webRoot_ + "/web");
    std::ofstream(webRoot_ + "/web/index.html") << "<html></html>";
  }
  void TearDown() override {
    shell_.reset();
    kx::MainQueue::shared().drain();
    EXPECT_TRUE(kxtest::waitForQueue(KXSession::queue()));
    session_.reset();
    kx::UserDefaults::standardUserDefaults().resetForTesting();
  }

  void make() {
    KXDesktopShell::Services services;
    services.startRouting = [this](kx::Error*) -> std::optional<KXDesktopShell::Routing> {
      calls_.push_back("start routing");
      KXDesktopShell::Routing routing;
      routing.port = 4321;
      return routing;
    };
    services.pointWebViewsAt = [this](const KXDesktopShell::Routing& routing, kx::Error*) {
      calls_.push_back("point web views at " + std::to_string(routing.port));
      return true;
    };
    services.setEnv = [this] { calls_.push_back("setEnv"); };
    services.postLogin = env_;
    services.mainWindow.dbStateValue = [](const std::string&) { return kx::Value(); };
    services.mainWindow.setDbStateValue = [this](const kx::Value& value, const std::string& key) {
      if (!value.string().empty()) saved_.push_back(key + "=" + value.string());
    };
    services.mainWindow.performSyncSave = [] {};
    services.mainWindow.webRoot = [this] { return webRoot_; };
    services.sync = [this] { calls_.push_back("first download sync"); };
    services.hasRootEntry = [this] { return hasRoot_; };
    services.relaunch = [this] { calls_.push_back("relaunch"); };
    shell_ = std::make_unique<KXDesktopShell>(platform_, *session_, std::move(services));
    platform_.application().setDelegate(&shell_->delegate());
    session_->setEnvironment(nullptr);
  }

  KXHeadlessWebWindow& window(std::size_t index) { return *platform_.windows().at(index); }

  kxtest::TempAppRoot root_;
  kx::HTTPTransport transport_;
  std::shared_ptr<KXSession> session_;
  std::string webRoot_;
  std::shared_ptr<kxtest::KXManualDelayClock> clock_ =
      std::make_shared<kxtest::KXManualDelayClock>();
  KXHeadlessPlatform platform_{clock_};
  std::shared_ptr<CopyEnvironment> env_ = std::make_shared<CopyEnvironment>();
  std::unique_ptr<KXDesktopShell> shell_;
  std::vector<std::string> calls_;
  std::vector<std::string> saved_;
  bool hasRoot_ = false;
};

TEST_F(KXDesktopShellTest, ARememberedSignInOpensTheMainWindowAtLaunch) {
  session_->setCurrentUser("alice");
  session_->setAutoLogin(KXSessionAutoLoginOn);
  make();
  // The session's environment forwards the sign-in's opening to the shell.
  session_->setEnvironment(
      std::make_shared<ForwardingEnvironment>([this] { shell_->firstOpen(); }));
  platform_.application().launch();
  kx::MainQueue::shared().drain();
  EXPECT_EQ(calls_,
            (std::vector<std::string>{"start routing", "point web views at 4321", "setEnv"}));
  ASSERT_TRUE(shell_->hasMainWebWindow());
  KXHeadlessWebWindow& main = window(0);
  EXPECT_TRUE(main.isKey());
  ASSERT_EQ(main.loads().size(), 1u);
  EXPECT_EQ(main.loads()[0].url, KXServiceBaseURL());
  main.finishLoad();
  EXPECT_EQ(main.loads().back().url, KXServiceBaseURL() + "/web/");
  EXPECT_EQ(env_->calls, (std::vector<std::string>{"sync", "live connect"}));

  // Quitting keeps what the page holds under a kept key.
  main.setResponder([](const std::string& script) -> std::optional<std::string> {
    if (script.find("kx:md:theme") != std::string::npos) return "dark";
    return "";
  });
  platform_.application().terminate();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return platform_.application().terminated(); }));
  EXPECT_EQ(saved_, (std::vector<std::string>{"kx:md:theme=dark"}));
}

TEST_F(KXDesktopShellTest, WithoutARememberedSignInAPageSaysWhatIsMissing) {
  make();
  session_->setEnvironment(
      std::make_shared<ForwardingEnvironment>([this] { shell_->firstOpen(); }));
  platform_.application().launch();
  kx::MainQueue::shared().drain();
  EXPECT_FALSE(shell_->hasMainWebWindow());
  ASSERT_EQ(platform_.windows().size(), 1u);
  EXPECT_TRUE(window(0).isVisible());
  EXPECT_NE(window(0).loads().back().html.find("sign-in window"), std::string::npos);
}

TEST_F(KXDesktopShellTest, FirstDownloadGivesWayToTheMainWindowOnceTheRootArrives) {
  session_->setCurrentUser("alice");
  session_->setAutoLogin(KXSessionAutoLoginOn);
  env_->copy = {0, 0, false};
  make();
  session_->setEnvironment(
      std::make_shared<ForwardingEnvironment>([this] { shell_->firstOpen(); }));
  platform_.application().launch();
  kx::MainQueue::shared().drain();
  ASSERT_NE(shell_->firstDownloadWindow(), nullptr);
  EXPECT_TRUE(shell_->firstDownloadWindow()->isVisible());
  EXPECT_FALSE(shell_->hasMainWebWindow());
  EXPECT_EQ(calls_.back(), "first download sync");

  // A sync that ended without the root entry changes nothing.
  kx::NotificationCenter::defaultCenter().post(kKXSyncEndNotification);
  kx::MainQueue::shared().drain();
  EXPECT_FALSE(shell_->hasMainWebWindow());

  hasRoot_ = true;
  kx::NotificationCenter::defaultCenter().post(kKXSyncEndNotification);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return shell_->hasMainWebWindow(); }));
  EXPECT_FALSE(shell_->firstDownloadWindow()->isVisible());
  EXPECT_TRUE(shell_->mainWebWindow().isKey());
  EXPECT_EQ(env_->calls, (std::vector<std::string>{"live connect"}));
}

}  // namespace
