// The program's own wiring, started through its application object against
// the test note service: no test environment is installed anywhere, so what
// these tests see is what the program does. Each test runs in a process of
// its own (ctest runs every test alone) with its own home folder.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataConversion.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/User.h"
#include "Data/store/KXDataContext.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "WebUI/RNCachingURL/RNURLProtocolClient.h"
#include "account/KXSession.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/HTTPTransport.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Places.h"
#include "shell/KXApplication.h"
#include "shell/KXDataConversionPrompt.h"
#include "support/QueueBarrier.h"
#include "support/TestLongPollEndpoints.h"
#include "support/TestNoteService.h"
#include "support/TestNoteServiceAccountRoutes.h"
#include "support/TestSyncEndpoints.h"
#include "support/TestUserEndpoints.h"
#include "sync/cycle/KXSyncManager.h"
#include "sync/cycle/KXSyncNotificationNames.h"

namespace {

constexpr const char* kUser = "wired@example.com";
constexpr const char* kPassword = "secret-pass";
// Waits end as soon as their condition holds; the bound only ends a failing
// test (a loaded machine runs a cycle slowly).
constexpr double kWait = 90;

std::string digestOf(const std::string& text) {
  return kx::Crypto::md5Hex(kx::ByteView(text.data(), text.size()));
}

// Counts the sync-end notifications and their results.
class SyncEnds {
 public:
  SyncEnds() {
    token_ = kx::NotificationCenter::defaultCenter().addObserver(
        kKXSyncEndNotification, nullptr, nullptr, [this](const kx::Notification& n) {
          std::lock_guard<std::mutex> lock(mu_);
          results_.push_back(n.userInfo[kKXSyncResultKey].boolValue());
        });
  }
  ~SyncEnds() { kx::NotificationCenter::defaultCenter().removeObserver(token_); }
  std::vector<bool> results() const {
    std::lock_guard<std::mutex> lock(mu_);
    return results_;
  }
  std::size_t count() const { return results().size(); }
  // Pumps the main queue until `count` ends were seen.
  bool waitFor(std::size_t count, double seconds = 90) const {
    return kxtest::pumpMainUntil([&] { return this->count() >= count; }, seconds);
  }

 private:
  mutable std::mutex mu_;
  std::vector<bool> results_;
  kx::NotificationCenter::Token token_{};
};

std::string describe(const kxtest::TestNoteService& service) {
  std::string text;
  for (const kxtest::RecordedRequest& r : service.requests()) text += r.path + " ";
  return text;
}

class KXApplicationWiringTest : public testing::Test {
 protected:
  void SetUp() override {
    // The service runs on loopback under the name "localhost", so the
    // program's own reachability check finds a route to it.
    ASSERT_TRUE(service_.start(nullptr));
    ASSERT_EQ(setenv("ZN_SERVICE_BASE_URL", service_.baseURL().c_str(), 1), 0);
    service_.attach(kx::HTTPTransport::shared());
    accounts_.addAccount(kUser, digestOf(kPassword));
    users_.setUserMeta(R"({"uid": "wired@example.com", "rv": 1, "tv": 7, "vip": 1,)"
                       R"( "nickname": "Wired", "MYSHARE_UPDATE_TIME": 0})");
    users_.setSelfInfo(R"({"userId": "wired@example.com", "photo": "/photo/u.png"})");
    users_.setPhoto("/photo/u.png", "PNGBYTES");
  }

  void TearDown() override {
    polls_.shutdown();
    application_.reset();
    service_.stop();
    unsetenv("ZN_SERVICE_BASE_URL");
  }

  // Starts the program's application object (no sleep watch: there is no
  // system bus here).
  void startProgram() {
    KXApplication::Options options;
    options.watchSleep = false;
    application_ = std::make_unique<KXApplication>(options);
    kx::Error error;
    ASSERT_TRUE(application_->start(&error)) << error.localizedDescription();
    ASSERT_TRUE(application_->unfilledSeams().empty());
    // The store's conversion asks through the desktop's prompt.
    EXPECT_NE(std::dynamic_pointer_cast<KXDataConversionPrompt>(
                  application_->dataClient().conversion().ui()),
              nullptr);
  }

  // Signs in with account and password as the login window does; the
  // session's login callback is the program's post-login continuation.
  void signIn() {
    KXSession& session = application_->session();
    session.setCurrentUser(kUser);
    session.setLoginType(KXLoginTypeAccount);
    session.setPassword(kPassword);
    session.doLogin();
  }

  kx::Value storedUser(const std::string& key) {
    kx::Value value;
    KXDataClient& client = application_->dataClient();
    client.reads().performSyncReadBlock([&] {
      if (std::shared_ptr<User> user = client.reads().user()) value = user->value(key);
    });
    return value;
  }

  kxtest::TestNoteService service_{"localhost"};
  kxtest::TestNoteServiceAccountRoutes accounts_{service_};
  kxtest::TestUserEndpoints users_{service_};
  kxtest::TestSyncEndpoints sync_{service_};
  // The long poll the program starts at sign-in is held as the service does.
  kxtest::TestLongPollEndpoints polls_{service_, [this] { return sync_.rootVersion(); }};
  std::unique_ptr<KXApplication> application_;
};

TEST_F(KXApplicationWiringTest, SignInSyncsAndKeepsTheUserRowInTheStoresNames) {
  startProgram();
  SyncEnds ends;
  signIn();
  ASSERT_TRUE(ends.waitFor(1));
  EXPECT_TRUE(ends.results().back());
  // The reply's keys renamed through the field-name table.
  EXPECT_TRUE(kxtest::pumpMainUntil([&] { return storedUser("userId").string() == kUser; }, kWait));
  EXPECT_EQ(storedUser("tagVersion").intValue(), 7);
  EXPECT_EQ(storedUser("is_vip").intValue(), 1);
  EXPECT_EQ(storedUser("nickname").string(), "Wired");
  // The photo named by a path on the service host is fetched into the cache.
  const std::string photo =
      KXFileManager::defaultManauger().URLForCurrentUserIconImageWithPath("/photo/u.png");
  ASSERT_FALSE(photo.empty());
  EXPECT_TRUE(
      kxtest::pumpMainUntil([&] { return kx::FileSystem::Default().exists(photo); }, kWait));
}

TEST_F(KXApplicationWiringTest, ExpiredLoginFailsTheCycleThenSignsInAgainWithThePersistentToken) {
  startProgram();
  SyncEnds ends;
  signIn();
  ASSERT_TRUE(ends.waitFor(1));
  ASSERT_TRUE(ends.results().back());
  // Asked right after the sign-in's cycle posted its end, perhaps before
  // that cycle has left the queue: the request still gets a cycle.
  service_.clearRequests();

  users_.order(207, 0);
  application_->syncManager().sync();
  // The 207 fails that cycle and starts the automatic login with the
  // persistent token, which succeeds; the next cycle completes.
  ASSERT_TRUE(ends.waitFor(2)) << ends.count() << " ends; requests: " << describe(service_);
  EXPECT_FALSE(ends.results()[1]);
  ASSERT_TRUE(service_.waitForRequests("/login/acc/co/cq", 1, kWait));
  ASSERT_TRUE(kxtest::waitForQueue(KXSession::queue()));
  EXPECT_TRUE(application_->session().isLogin());
  application_->syncManager().sync();
  ASSERT_TRUE(ends.waitFor(3)) << ends.count() << " ends; requests: " << describe(service_);
  EXPECT_TRUE(ends.results()[2]);
  std::vector<kxtest::RecordedRequest> checks = service_.requests("/login/acc/co/cq");
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_FALSE(checks[0].header("QOPAL-PC").empty());
}

TEST_F(KXApplicationWiringTest, OrderToSignOutSignsOut) {
  startProgram();
  std::atomic<int> relaunches{0};
  application_->setAfterLogout([&] { ++relaunches; });
  SyncEnds ends;
  signIn();
  ASSERT_TRUE(ends.waitFor(1));
  users_.order(0, 2060);
  application_->syncManager().sync();
  // The headless port answers the alert with its first button; the program
  // then signs out.
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return relaunches.load() == 1; }, kWait));
  EXPECT_EQ(service_.requests("/login/acc/se/reset").size(), 1u);
  EXPECT_FALSE(application_->session().hasSession());
}

TEST_F(KXApplicationWiringTest, OfflineStartSignsInWithThePersistentTokenWhenTheNetworkReturns) {
  {
    // An earlier run signed in and kept its session files.
    ASSERT_TRUE(kx::Places::ensureApplicationDataRoot(nullptr));
    auto earlier =
        std::make_shared<KXSession>(kx::HTTPTransport::shared(), kx::Places::applicationDataRoot());
    std::atomic<bool> signedIn{false};
    earlier->setLoginCallback([&] { signedIn = true; });
    earlier->setCurrentUser(kUser);
    earlier->setLoginType(KXLoginTypeAccount);
    earlier->setPassword(kPassword);
    earlier->doLogin();
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return signedIn.load(); }, kWait));
    ASSERT_TRUE(kxtest::waitForQueue(KXSession::queue()));
    earlier->flushCookies();
  }
  startProgram();
  ASSERT_FALSE(application_->session().isLogin()) << "nobody signed in during this run yet";
  ASSERT_TRUE(application_->session().checkPersistCookie());
  SyncEnds ends;
  service_.clearRequests();
  kx::NotificationCenter::defaultCenter().post(
      "com.zarvel.note.notification.net", nullptr,
      kx::Value(kx::Dictionary{{"isConnection", kx::Value(true)}}));
  ASSERT_TRUE(ends.waitFor(1));
  EXPECT_TRUE(ends.results().back());
  EXPECT_TRUE(application_->session().isLogin());
  EXPECT_EQ(service_.requests("/login/acc/co/cq").size(), 1u);
}

TEST_F(KXApplicationWiringTest, ForwardedChangeAsksForExactlyOneSync) {
  startProgram();
  SyncEnds ends;
  signIn();
  ASSERT_TRUE(ends.waitFor(1));
  service_.route("POST", "/qrt/mapi/share/update",
                 [](const kxtest::RecordedRequest&) { return kxtest::Reply::json(200, "{}"); });

  // A change the web interface sends to the service (a type-1 request).
  class Client : public RNURLProtocolClient {
   public:
    void didFinishLoading() override { finished = true; }
    void didFailWithError(const kx::Error&) override { finished = true; }
    std::atomic<bool> finished{false};
  };
  auto client = std::make_shared<Client>();
  kx::URLRequest request(*kx::URL::parse(service_.baseURL() + "/qrt/mapi/share/update?a=1"));
  request.setHTTPMethod("POST");
  ASSERT_EQ(RNCachingURLProtocol::requestType(request), KXRequestTypeServiceChange);
  auto protocol = RNCachingURLProtocol::create(request, client);
  protocol->startLoading();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return client->finished.load(); }, kWait));
  ASSERT_TRUE(ends.waitFor(2));
  EXPECT_TRUE(ends.results().back());
  KXSyncManager& manager = application_->syncManager();
  ASSERT_TRUE(
      kxtest::pumpMainUntil([&] { return manager.syncQueue().operationCount() == 0; }, kWait));
  kx::MainQueue::shared().drain();
  EXPECT_EQ(ends.count(), 2u) << "one sync for one change; requests: " << describe(service_);
}

}  // namespace
