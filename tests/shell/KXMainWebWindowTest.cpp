// The main web window on a headless web view: the start page, the kept
// local-storage keys, key-window bookkeeping, the update fetch.
#include "shell/KXMainWebWindow.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "platform/GlobalQueue.h"
#include "platform/MainQueue.h"
#include "platform/UserDefaults.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "ui/KXHeadlessPlatform.h"

namespace {

class RecordingBridge : public KXMainWebBridge {
 public:
  std::vector<std::string> calls;
  void becomeKeyWindow(long n) override { calls.push_back("become " + std::to_string(n)); }
  void loseKeyWindow(long n) override { calls.push_back("lose " + std::to_string(n)); }
  void callRefresh() override { calls.push_back("refresh"); }
};

// The prefix and suffix of a restore script around its two literals.
constexpr const char* kSetPrefix = "localStorage.setItem(";
constexpr const char* kSetSuffix = ");";

class KXMainWebWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::UserDefaults::standardUserDefaults().resetForTesting();
    webRoot_ = root_.path() + "/ui";
    ASSERT_EQ(::mkdir(webRoot_.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((webRoot_ + "/web").c_str(), 0700), 0);
    std::ofstream(webRoot_ + "/web/index.html") << "<html></html>";
    window_ = std::static_pointer_cast<KXHeadlessWebWindow>(platform_.makeWebWindow());
  }
  void TearDown() override {
    controller_.reset();
    kx::MainQueue::shared().drain();
    kx::UserDefaults::standardUserDefaults().resetForTesting();
  }

  KXMainWebWindow& make() {
    KXMainWebWindow::Environment env;
    env.dbStateValue = [this](const std::string& key) {
      auto it = state_.find(key);
      return it == state_.end() ? kx::Value() : kx::Value(it->second);
    };
    env.setDbStateValue = [this](const kx::Value& value, const std::string& key) {
      state_[key] = value.string();
      calls_.push_back("set " + key);
    };
    env.performSyncSave = [this] { calls_.push_back("save"); };
    env.bridge = bridge_;
    env.clock = clock_;
    env.webRoot = [this] { return webRoot_; };
    env.shortVersion = "1.2.3";
    controller_ = std::make_unique<KXMainWebWindow>(window_, env);
    return *controller_;
  }

  // Builds the window and finishes the blank page.
  void loadToInterface() {
    make().windowDidLoad();
    window_->finishLoad();
    kx::MainQueue::shared().drain();
  }

  // The key and value of a restore script, decoded as the page would.
  static std::pair<std::string, std::string> restored(const std::string& script) {
    std::string prefix = kSetPrefix;
    std::string suffix = kSetSuffix;
    EXPECT_EQ(script.compare(0, prefix.size(), prefix), 0) << script;
    EXPECT_GE(script.size(), prefix.size() + suffix.size());
    std::string args = script.substr(prefix.size(), script.size() - prefix.size() - suffix.size());
    kx::Value pair = objectFromJSONString("[" + args + "]");
    if (!pair.isArray() || pair.array().size() != 2) {
      ADD_FAILURE() << "not two string literals: " << script;
      return {};
    }
    return {pair.array()[0].string(), pair.array()[1].string()};
  }

  kxtest::TempAppRoot root_;
  std::string webRoot_;
  std::shared_ptr<kxtest::KXManualDelayClock> clock_ =
      std::make_shared<kxtest::KXManualDelayClock>();
  KXHeadlessPlatform platform_{clock_};
  std::shared_ptr<KXHeadlessWebWindow> window_;
  std::shared_ptr<RecordingBridge> bridge_ = std::make_shared<RecordingBridge>();
  std::map<std::string, std::string> state_;
  std::vector<std::string> calls_;
  std::unique_ptr<KXMainWebWindow> controller_;
};

TEST_F(KXMainWebWindowTest, UserAgentFormats) {
  EXPECT_EQ(KXMainWebWindow::userAgent("Agent/1", "2.0", std::nullopt),
            "Agent/1 QopalMacClient/2.0");
  EXPECT_EQ(KXMainWebWindow::userAgent("Agent/1", "2.0", "3.4.5"),
            "Agent/1 QopalMacClient/2.0 editorV/3.4.5");
  make().windowDidLoad();
  EXPECT_EQ(window_->customUserAgent(), window_->defaultUserAgent() + " QopalMacClient/1.2.3");
}

TEST_F(KXMainWebWindowTest, BlankPageThenKeptKeysThenTheInterface) {
  state_ = {{"kx:md:theme", "dark"},
            {"kx:user:noteBgId", ""},  // empty: not written back
            {"kx:all:pht", "1"},
            {"not:kept", "x"}};
  make().windowDidLoad();
  ASSERT_EQ(window_->loads().size(), 1u);
  EXPECT_EQ(window_->loads()[0].html, "<html><body></body></html>");
  EXPECT_EQ(window_->loads()[0].url, KXServiceBaseURL()) << "the blank page has the service origin";
  EXPECT_TRUE(window_->scripts().empty()) << "nothing is restored before the page exists";

  window_->finishLoad();
  ASSERT_EQ(window_->scripts().size(), 2u);
  EXPECT_EQ(restored(window_->scripts()[0]),
            std::make_pair(std::string("kx:md:theme"), std::string("dark")));
  EXPECT_EQ(restored(window_->scripts()[1]),
            std::make_pair(std::string("kx:all:pht"), std::string("1")));
  ASSERT_EQ(window_->loads().size(), 2u);
  EXPECT_EQ(window_->loads()[1].url, KXServiceBaseURL() + "/web/");
  EXPECT_TRUE(controller_->interfaceRequested());

  // Later loads are the interface's own: nothing is restored or loaded again.
  window_->finishLoad();
  EXPECT_EQ(window_->scripts().size(), 2u);
  EXPECT_EQ(window_->loads().size(), 2u);
}

TEST_F(KXMainWebWindowTest, RestoredValuesAreLiteralsThatNeverRunAsScript) {
  const std::string values[] = {
      "it's",
      "back\\slash",
      "two\nlines\r\n",
      "</script><script>alert(1)</script>",
      "'); alert(1); ('",
      "\"quoted\"",
      "line\xe2\x80\xa8separator",
      "中文 ✓",
  };
  for (const std::string& value : values) {
    SCOPED_TRACE(value);
    state_ = {{"kx:user:prev-select", value}};
    window_ = std::static_pointer_cast<KXHeadlessWebWindow>(platform_.makeWebWindow());
    loadToInterface();
    ASSERT_EQ(window_->scripts().size(), 1u);
    const std::string& script = window_->scripts()[0];
    EXPECT_EQ(restored(script), std::make_pair(std::string("kx:user:prev-select"), value));
    EXPECT_EQ(script.find('\n'), std::string::npos);
    EXPECT_EQ(script.find("</"), std::string::npos);
    EXPECT_EQ(script.find("\xe2\x80\xa8"), std::string::npos);
  }
}

TEST_F(KXMainWebWindowTest, MissingInterfaceFilesShowAPageThatSaysSo) {
  webRoot_ = root_.path() + "/nowhere";
  loadToInterface();
  ASSERT_EQ(window_->loads().size(), 2u);
  const std::string& page = window_->loads()[1].html;
  EXPECT_NE(page.find("not installed"), std::string::npos);
  EXPECT_NE(page.find(webRoot_ + "/web/index.html"), std::string::npos);
}

TEST_F(KXMainWebWindowTest, SaveStoresWhatThePageAnswersThenSavesTheStore) {
  loadToInterface();
  window_->setResponder([](const std::string& script) -> std::optional<std::string> {
    if (script.find("\"kx:md:theme\"") != std::string::npos) return "light";
    if (script.find("\"kx:all:pht\"") != std::string::npos) return std::nullopt;  // failed
    return "";
  });
  bool done = false;
  controller_->saveLocalStorage([&done] { done = true; });
  EXPECT_FALSE(done) << "the page answers later";
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return done; }));
  EXPECT_EQ(state_["kx:md:theme"], "light");
  EXPECT_EQ(state_.count("kx:all:pht"), 0u) << "a failed evaluation stores nothing";
  EXPECT_EQ(state_["kx:user:noteBgId"], "") << "an empty answer is stored";
  EXPECT_EQ(calls_.size(), KXMainWebWindow::localStarageKeys().size());
  EXPECT_EQ(calls_.back(), "save") << "the store is saved after the last value";
  EXPECT_EQ(calls_.front(), "set kx:user:file_list_sort_type");
}

TEST_F(KXMainWebWindowTest, SaveBeforeThePageExistsOnlyReportsDone) {
  make();
  bool done = false;
  controller_->saveLocalStorage([&done] { done = true; });
  EXPECT_TRUE(done);
  EXPECT_TRUE(calls_.empty());
  EXPECT_TRUE(window_->scripts().empty());
}

TEST_F(KXMainWebWindowTest, KeyWindowRefreshesOnlyWithSingleWindowsAndAChange) {
  loadToInterface();
  const long main = window_->windowNumber();
  // No single window: no refresh.
  window_->present();
  clock_->advance(1);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(bridge_->calls, (std::vector<std::string>{"become " + std::to_string(main)}));
  EXPECT_EQ(controller_->lastWindowCode(), main);

  // A single window was key in between: a refresh 0.1 s after.
  controller_->registerSingleWindow("N1", platform_.makeWebWindow());
  window_->resignKey();
  controller_->setLastWindowCode(77);
  bridge_->calls.clear();
  window_->becomeKey();
  clock_->advance(0.05);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(bridge_->calls, (std::vector<std::string>{"become " + std::to_string(main)}));
  clock_->advance(0.05);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(bridge_->calls.back(), "refresh");

  // The same window again: no change, no refresh.
  window_->resignKey();
  bridge_->calls.clear();
  window_->becomeKey();
  clock_->advance(1);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(bridge_->calls, (std::vector<std::string>{"become " + std::to_string(main)}));
  window_->resignKey();
  EXPECT_EQ(bridge_->calls.back(), "lose " + std::to_string(main));
}

TEST_F(KXMainWebWindowTest, SheetsOpenLower) { EXPECT_EQ(KXMainWebWindow::sheetOriginY(500), 437); }

TEST_F(KXMainWebWindowTest, UpdateCheckFetchesTheFeedAndHandsOnItsBody) {
  struct Case {
    std::optional<std::string> body;
  };
  for (const Case& c : {Case{std::string("<rss/>")}, Case{std::nullopt}}) {
    auto asked = std::make_shared<std::promise<kx::URLRequest>>();
    auto handed = std::make_shared<std::promise<std::string>>();
    KXMainWebWindow::Environment env;
    env.fetch = [asked, body = c.body](const kx::URLRequest& request) -> std::optional<kx::Bytes> {
      asked->set_value(request);
      if (!body) return std::nullopt;
      return kx::Bytes(body->begin(), body->end());
    };
    env.updateFeed = [handed](const kx::Bytes& body) {
      handed->set_value(std::string(body.begin(), body.end()));
    };
    env.webRoot = [this] { return webRoot_; };
    KXMainWebWindow controller(platform_.makeWebWindow(), env);
    controller.checkUpdate();
    auto request = asked->get_future();
    ASSERT_EQ(request.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    kx::URLRequest r = request.get();
    EXPECT_EQ(r.url().absoluteString(), KXServiceBaseURL() + "/update/macUpdate.xml");
    EXPECT_EQ(r.cachePolicy(), kx::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_EQ(r.timeoutInterval(), 10);
    ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
    auto body = handed->get_future();
    if (c.body) {
      ASSERT_EQ(body.wait_for(std::chrono::seconds(0)), std::future_status::ready);
      EXPECT_EQ(body.get(), *c.body);
    } else {
      EXPECT_EQ(body.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    }
  }
}

TEST_F(KXMainWebWindowTest, EditorVersionAndDeveloperExtrasComeFromTheDefaults) {
  const std::string bundle = root_.path() + "/bundle";
  const std::string folder = bundle + "/editor/collab/plimeditor";
  EXPECT_EQ(KXMainWebWindow::getEditorVersion(bundle), std::nullopt) << "no description";
  ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
  std::ofstream(folder + "/plim-version.json") << R"({"version": "4.5.6", "name": "plim"})";
  EXPECT_EQ(KXMainWebWindow::getEditorVersion(bundle), "4.5.6");
  EXPECT_EQ(kx::UserDefaults::standardUserDefaults().stringForKey("editorversionformac"), "4.5.6");
  std::ofstream(folder + "/plim-version.json") << R"({"version": "9.9.9"})";
  EXPECT_EQ(KXMainWebWindow::getEditorVersion(bundle), "4.5.6") << "a stored version wins";

  make().windowDidLoad();
  EXPECT_FALSE(window_->developerExtras());
  KXMainWebWindow::setCanDebug();
  window_ = std::static_pointer_cast<KXHeadlessWebWindow>(platform_.makeWebWindow());
  make().windowDidLoad();
  EXPECT_TRUE(window_->developerExtras());
}

}  // namespace
