#include "account/KXSession.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "CommonUtils/AESEncrypt.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/PropertyList.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"
#include "support/TestNoteServiceAccountRoutes.h"

namespace {

using kxtest::Fault;
using kxtest::TestNoteServiceAccountRoutes;

constexpr const char* kUser = "alice@zarvel.com";
constexpr const char* kPassword = "secret-pass";

std::string digestOf(const std::string& text) {
  return kx::Crypto::md5Hex(kx::ByteView(text.data(), text.size()));
}

// Waits (with a limit) until `condition` holds.
template <typename Condition>
bool waitUntil(std::mutex& mu, std::condition_variable& cv, Condition condition,
               double seconds = 20) {
  std::unique_lock<std::mutex> lock(mu);
  return cv.wait_for(lock, std::chrono::duration<double>(seconds), condition);
}

// Records the session's messages in order, with the queue each came on.
class RecordingDelegate : public KXSessionAuthDelegate {
 public:
  void didSessionAuthFail(const kx::Error& error) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      errors.push_back(error);
    }
    record("authFail");
  }
  void didGetOAuthURL(const std::string& url) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      this->url = url;
    }
    record("oauthURL");
  }
  void didCheckLoginFail() override { record("checkLoginFail"); }
  void didLocalLoginSuccess() override { record("localLoginSuccess"); }
  void didLocalLoginFail(const std::string& message) override {
    record("localLoginFail " + message);
  }
  void didMobileLoginFail(std::int64_t code) override {
    record("mobileLoginFail " + std::to_string(code));
  }
  void didAppleLoginFail() override { record("appleLoginFail"); }
  void verifyCodeWithImage(const std::optional<kx::Bytes>& image) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      this->image = image;
    }
    record(image ? "image" : "no image");
  }

  void record(std::string message) {
    std::lock_guard<std::mutex> lock(mu_);
    messages.push_back(std::move(message));
    onSessionQueue = onSessionQueue && kx::Queue::current() == &KXSession::queue();
    cv_.notify_all();
  }
  bool waitForCount(std::size_t count) {
    return waitUntil(mu_, cv_, [&] { return messages.size() >= count; });
  }
  std::vector<std::string> all() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> messages;  // guarded by mu_
  std::vector<kx::Error> errors;      // guarded by mu_
  std::string url;                    // guarded by mu_
  std::optional<kx::Bytes> image;     // guarded by mu_
  bool onSessionQueue = true;         // guarded by mu_
};

// Records what the session asks of the layers above it.
class RecordingEnvironment : public KXSessionEnvironment {
 public:
  void firstOpen() override { record("firstOpen"); }
  void showOrHideLoginProcessing(bool show) override {
    record(show ? "showProcessing" : "hideProcessing");
  }
  void showLoginWindow() override { record("showLoginWindow"); }
  void unregisterURLProtocol() override { record("unregisterURLProtocol"); }
  void cancelTaskWhenLogoff() override { record("cancelTaskWhenLogoff"); }
  void clearPushEnvironment() override { record("clearPushEnvironment"); }
  void clearPullEnvironment() override { record("clearPullEnvironment"); }
  void closeDB() override { record("closeDB"); }
  void clearWebViewCookies(const std::string& host) override {
    record("clearWebViewCookies " + host);
  }
  void addStatisKey(const std::string& key, const kx::Value& value) override {
    record("addStatisKey " + key + "=" + value.stringValue());
  }

  void record(std::string call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls.push_back(std::move(call));
    cv_.notify_all();
  }
  bool waitFor(const std::string& call) {
    return waitUntil(mu_, cv_,
                     [&] { return std::find(calls.begin(), calls.end(), call) != calls.end(); });
  }
  std::vector<std::string> all() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> calls;  // guarded by mu_
};

std::uint32_t fileMode(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

bool hasCookie(kx::HTTPTransport& transport, const std::string& name) {
  for (const auto& cookie : transport.cookies()) {
    if (cookie.name == name) return true;
  }
  return false;
}

class KXSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start(nullptr));
    service_.attach(transport_);
    ASSERT_TRUE(kx::Places::ensureApplicationDataRoot(nullptr));
    appDir_ = kx::Places::applicationDataRoot();
    routes_.addAccount(kUser, digestOf(kPassword));
    session_ = newSession(transport_);
  }
  void TearDown() override {
    // Answers still on the session's queue hold their session; it must go
    // before the transport it was made with.
    EXPECT_TRUE(kxtest::waitForQueue(KXSession::queue()));
    session_.reset();
    session().setCurrentUser("");
    session().setLoginType(0);
    session().setDbUserId("");
  }

  std::shared_ptr<KXSession> newSession(kx::HTTPTransport& transport) {
    auto session = std::make_shared<KXSession>(transport, appDir_);
    session->setAuthDelegate(delegate_);
    session->setEnvironment(environment_);
    session->setDelayClock(clock_);
    return session;
  }

  static KXSession& session() { return KXSession::defaultSession(); }

  // Signs in with account and password and waits for the login callback.
  bool signIn(KXSession& session, const std::string& password = kPassword) {
    auto done = std::make_shared<std::promise<bool>>();
    auto future = done->get_future();
    session.setLoginCallback(
        [done] { done->set_value(kx::Queue::current() == &KXSession::queue()); });
    session.setCurrentUser(kUser);
    session.setLoginType(KXLoginTypeAccount);
    session.setPassword(password);
    session.doLogin();
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return false;
    return future.get();
  }

  // Runs a logout and waits for its block; returns how often it ran.
  int logOut(KXSession& session) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto done = std::make_shared<std::promise<kx::Error>>();
    auto future = done->get_future();
    session.logoutWithCallback([calls, done](const kx::Error& error) {
      if (++*calls == 1) done->set_value(error);
    });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_FALSE(future.get());
    EXPECT_TRUE(kxtest::waitForQueue(KXSession::queue()));
    return calls->load();
  }

  std::string sessFile() const { return kx::Path::appendingPathComponent(appDir_, "sess.dat"); }
  std::string userFile() const {
    return kx::Path::appendingPathComponent(kx::Path::appendingPathComponent(appDir_, kUser),
                                            "user.dat");
  }

  kxtest::TempAppRoot root_;
  kxtest::TestNoteService service_;
  TestNoteServiceAccountRoutes routes_{service_};
  kx::HTTPTransport transport_;
  std::string appDir_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<RecordingEnvironment> environment_ = std::make_shared<RecordingEnvironment>();
  std::shared_ptr<kxtest::KXManualDelayClock> clock_ =
      std::make_shared<kxtest::KXManualDelayClock>();
  std::shared_ptr<KXSession> session_;
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
  EXPECT_EQ(KXSession::loginTypeWord(9), "cellphone");
  EXPECT_EQ(KXSession::loginTypeWord(42), "vmotoken");
}

TEST_F(KXSessionTest, DbUserIdIsKept) {
  EXPECT_EQ(session().dbUserId(), "");
  session().setDbUserId("u7");
  EXPECT_EQ(session().dbUserId(), "u7");
}

// The digest the service compares: at most 16 characters, over as many
// bytes of their UTF-8 form as there are characters.
TEST_F(KXSessionTest, PasswordDigestFollowsTheServiceRule) {
  struct Case {
    std::string password;
    std::string digested;
  };
  const Case cases[] = {
      {"secret", "secret"},
      {"abcdefghijklmnopqrst", "abcdefghijklmnop"},  // 20 characters: the first 16
      {"p\xC3\xA4ss", "p\xC3\xA4s"},                 // 4 characters, 5 bytes: 4 bytes
      {"", ""},
  };
  for (const Case& c : cases) {
    session_->setPassword(c.password);
    EXPECT_EQ(session_->md5Password(), digestOf(c.digested)) << c.password;
  }
}

TEST_F(KXSessionTest, AccountSignInWritesPrivateSessionFilesAndKeepsTheCookies) {
  session_->setAutoLogin(KXSessionAutoLoginOn);
  ASSERT_TRUE(signIn(*session_)) << "the login callback runs on the session's queue";

  EXPECT_EQ(session_->currentUser(), kUser);
  EXPECT_TRUE(session_->isLogin());
  EXPECT_EQ(session_->persistCookie(), TestNoteServiceAccountRoutes::tokenFor(kUser));
  std::vector<kxtest::RecordedRequest> sent = service_.requests("/login/acc/vmo/verify/check");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].query.find("tp=vmotoken"), std::string::npos);
  EXPECT_NE(sent[0].query.find("product=QOPAL"), std::string::npos);
  EXPECT_EQ(sent[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_NE(sent[0].body.find("password=" + digestOf(kPassword)), std::string::npos);

  EXPECT_EQ(fileMode(sessFile()), 0600u);
  EXPECT_EQ(fileMode(userFile()), 0600u);
  EXPECT_EQ(fileMode(appDir_), 0700u);
  std::optional<kx::Value> stored = kx::PropertyList::readFile(sessFile());
  ASSERT_TRUE(stored && stored->isDictionary());
  EXPECT_EQ((*stored)["user"].stringValue(), kUser);
  EXPECT_EQ((*stored)["loginType"].intValue(), 1);
  EXPECT_TRUE((*stored)["autoLogin"].boolValue());
  EXPECT_EQ((*stored)["persistCookie"].stringValue(),
            TestNoteServiceAccountRoutes::tokenFor(kUser));
  EXPECT_EQ((*stored)["md5"].stringValue(), session_->localPwd());
  EXPECT_EQ((*stored)["md5"].stringValue().find(digestOf(kPassword)), std::string::npos)
      << "the digest is stored enciphered";
  std::optional<kx::Value> user = kx::PropertyList::readFile(userFile());
  ASSERT_TRUE(user);
  EXPECT_EQ((*user)["md5"].stringValue(), session_->localPwd());

  EXPECT_EQ(session_->requestCookies().value_or(""),
            "QOPAL_SESS=sess-alice@zarvel.com;QOPAL_PERS=pers-alice@zarvel.com;QOPAL_LOGIN=true");
  EXPECT_EQ(environment_->all(), std::vector<std::string>{"hideProcessing"});
}

TEST_F(KXSessionTest, TwentyCharacterPasswordSignsInWithTheDigestOfItsFirstSixteen) {
  routes_.addAccount(kUser, digestOf("abcdefghijklmnop"));
  EXPECT_TRUE(signIn(*session_, "abcdefghijklmnopqrst"));
}

TEST_F(KXSessionTest, RefusedAccountSignInsReachTheDelegateWithTheAnswer) {
  struct Case {
    const char* name;
    bool verifyRequired;
    std::string vcode;
    std::string password;
    int forcedStatus;
    std::string forcedBody;
    std::int64_t ecode;  // -1: the answer has none
  };
  const Case cases[] = {
      {"code needed", true, "", kPassword, 0, "", 2062},
      {"code wrong", true, "zzzz", kPassword, 0, "", 2064},
      {"wrong password", false, "", "not-it", 0, "", 2043},
      {"account locked", false, "", kPassword, 400,
       "{\"ecode\":2046,\"tpcode\":412,\"tpsubcode\":201}", 2046},
      {"server error", false, "", kPassword, 500, "{\"error\":1}", -1},
      // Accepted, but without a user: nobody may be signed in by it.
      {"200 without userid", false, "", kPassword, 200, "{\"QOPAL-PC\":\"t\"}", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto session = newSession(transport_);
    auto delegate = std::make_shared<RecordingDelegate>();
    session->setAuthDelegate(delegate);
    bool called = false;
    session->setLoginCallback([&called] { called = true; });
    routes_.setVerifyCodeRequired(c.verifyRequired);
    if (c.forcedStatus) routes_.refuseNextLogin(c.forcedStatus, c.forcedBody);
    session->setCurrentUser("bob@zarvel.com");
    session->setPassword(c.password);
    routes_.addAccount("bob@zarvel.com", digestOf(kPassword));
    session->setVerifyText(c.vcode);
    session->doLogin();
    ASSERT_TRUE(delegate->waitForCount(1));
    EXPECT_EQ(delegate->all(), std::vector<std::string>{"authFail"});
    kx::Error error = delegate->errors.at(0);
    EXPECT_EQ(error.domain(), "com.zarvel.note.Error");
    EXPECT_EQ(error.code(), KXSession::kLoginErrorCode);
    if (c.ecode >= 0) {
      EXPECT_EQ(error.userInfo()["ecode"].intValue(), c.ecode);
    }
    EXPECT_FALSE(called);
    EXPECT_FALSE(session->isLogin());
    EXPECT_EQ(session->currentUser(), "bob@zarvel.com");
    EXPECT_EQ(session->verifyText(), "") << "a code is sent once";
  }
  EXPECT_FALSE(kx::FileSystem::Default().exists(sessFile()));

  routes_.setVerifyCodeRequired(true);
  session_->setVerifyText(TestNoteServiceAccountRoutes::kVerifyCode);
  EXPECT_TRUE(signIn(*session_));
  routes_.setVerifyCodeRequired(false);
}

TEST_F(KXSessionTest, VerificationCodeIsAskedForAgainOnTheClockUntilItComes) {
  transport_.setCookie({"note.zarvel.com", false, "/", true, false, 0, "QOPAL_VMO_VERIFY", "old"});
  service_.setFault("/login/acc/vmo/verify/get", Fault::dropped());
  session_->getVerifyCode();
  ASSERT_TRUE(delegate_->waitForCount(1));
  EXPECT_EQ(delegate_->all(), std::vector<std::string>{"no image"});
  EXPECT_EQ(kxtest::requestCookie(service_.requests("/login/acc/vmo/verify/get").at(0),
                                  "QOPAL_VMO_VERIFY"),
            "")
      << "the old code's cookie is dropped first";
  EXPECT_EQ(clock_->pendingCount(), 1u);

  service_.clearFault("/login/acc/vmo/verify/get");
  clock_->advance(0.99);
  EXPECT_EQ(clock_->pendingCount(), 1u);
  clock_->advance(0.01);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return delegate_->all().size() == 2; }, 20));
  EXPECT_EQ(delegate_->all().back(), "image");
  EXPECT_EQ(delegate_->image->size(), 18u);
  EXPECT_EQ(clock_->pendingCount(), 0u);
  EXPECT_TRUE(hasCookie(transport_, "QOPAL_VMO_VERIFY"));
  std::vector<kxtest::RecordedRequest> sent = service_.requests("/login/acc/vmo/verify/get");
  EXPECT_NE(sent.back().query.find("height=36"), std::string::npos);
  EXPECT_NE(sent.back().query.find("weight=138"), std::string::npos);
}

TEST_F(KXSessionTest, WebSignInPollsEveryHalfSecondWhileLoginIsFalse) {
  session_->setLoginType(KXLoginTypeWeChat);
  session_->requestForPci();
  ASSERT_TRUE(delegate_->waitForCount(1));
  EXPECT_EQ(delegate_->all(), std::vector<std::string>{"oauthURL"});
  EXPECT_EQ(delegate_->url.rfind("https://note.zarvel.com/login/acc/login?", 0), 0u)
      << delegate_->url;
  EXPECT_NE(delegate_->url.find("tp=weixin"), std::string::npos);
  EXPECT_NE(delegate_->url.find("pci=pci-"), std::string::npos);
  const std::string pc = routes_.lastPc();
  EXPECT_EQ(session_->pcString(), pc);

  auto signedIn = std::make_shared<std::promise<void>>();
  session_->setLoginCallback([signedIn] { signedIn->set_value(); });
  session_->loginPoll();
  for (std::size_t round = 1; round <= 3; ++round) {
    ASSERT_TRUE(service_.waitForRequests("/login/acc/poll", round));
    // The answer "login": false arms the next poll.
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return clock_->pendingCount() == 1; }, 20));
    EXPECT_EQ(service_.requests("/login/acc/poll").back().header("pc"), pc);
    clock_->advance(0.49);
    EXPECT_EQ(clock_->pendingCount(), 1u);
    if (round == 3) routes_.completeWebLogin(pc, "carol@zarvel.com");
    clock_->advance(0.01);
    ASSERT_TRUE(kxtest::pumpMainUntil(
        [&] { return service_.requests("/login/acc/poll").size() == round + 1; }, 20));
  }
  ASSERT_EQ(signedIn->get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(service_.requests("/login/acc/poll").size(), 4u);
  EXPECT_EQ(session_->currentUser(), "carol@zarvel.com");
  EXPECT_TRUE(hasCookie(transport_, "QOPAL_SESS"));

  session_->setLoginType(KXLoginTypeMobile);
  EXPECT_EQ(session_->getOAuthURLSync().rfind("https://note.zarvel.com/signIn/macVmo.html?", 0),
            0u);
}

TEST_F(KXSessionTest, RefusedPollStopsPolling) {
  session_->loginPoll();  // no correlation: the service knows no pc
  ASSERT_TRUE(delegate_->waitForCount(1));
  EXPECT_EQ(delegate_->all(), std::vector<std::string>{"authFail"});
  EXPECT_EQ(delegate_->errors.at(0).code(), KXSession::kPollErrorCode);
  EXPECT_EQ(delegate_->errors.at(0).userInfo()["ecode"].intValue(), 2100);
  EXPECT_EQ(clock_->pendingCount(), 0u);
}

TEST_F(KXSessionTest, PhoneSignInNeedsTheAccountSystemCookie) {
  routes_.addPhoneAccount("wf-1", "dave@zarvel.com");
  session_->setLoginType(KXLoginTypeMobile);
  session_->mobileLogin();
  ASSERT_TRUE(delegate_->waitForCount(2));
  EXPECT_EQ(delegate_->all(), (std::vector<std::string>{"mobileLoginFail 2071", "checkLoginFail"}));
  EXPECT_NE(service_.requests("/login/acc/login").at(0).query.find("tp=cellphone"),
            std::string::npos);

  transport_.setCookie({"note.zarvel.com", false, "/", true, false, 0, "BOSK_WF_SESS", "wf-1"});
  auto signedIn = std::make_shared<std::promise<void>>();
  session_->setLoginCallback([signedIn] { signedIn->set_value(); });
  session_->mobileLogin();
  ASSERT_EQ(signedIn->get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(session_->currentUser(), "dave@zarvel.com");
}

TEST_F(KXSessionTest, AppleSignIn) {
  routes_.addAppleAccount("good", "erin@zarvel.com");
  session_->appleLoginCode("", "token", "u", "");
  ASSERT_TRUE(delegate_->waitForCount(1));
  EXPECT_EQ(delegate_->all(), std::vector<std::string>{"authFail"});
  EXPECT_FALSE(delegate_->errors.at(0)) << "nothing could be asked for";
  EXPECT_TRUE(service_.requests("/login/acc/login").empty());

  // An answer with neither user nor error code is left without a message.
  session_->appleLoginCode("silent", "token", "", "");
  ASSERT_TRUE(service_.waitForRequests("/login/acc/login", 1));
  session_->appleLoginCode("bad", "token", "", "");
  ASSERT_TRUE(delegate_->waitForCount(2));
  EXPECT_EQ(delegate_->all().back(), "appleLoginFail");
  EXPECT_EQ(delegate_->all().size(), 2u);

  auto signedIn = std::make_shared<std::promise<void>>();
  session_->setLoginCallback([signedIn] { signedIn->set_value(); });
  session_->appleLoginCode("good", "id-token", "", "Ann Lee&x=1");
  ASSERT_EQ(signedIn->get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(session_->currentUser(), "erin@zarvel.com");
  kxtest::RecordedRequest sent = service_.requests("/login/acc/login").back();
  EXPECT_EQ(sent.header("IDToken"), "id-token");
  EXPECT_NE(sent.query.find("tp=tpac"), std::string::npos);
  EXPECT_NE(sent.query.find("opid=appleuser"), std::string::npos);
  EXPECT_NE(sent.query.find("nn=Ann%20Lee%26x%3D1"), std::string::npos) << sent.query;
  EXPECT_EQ(sent.query.find("&x=1"), std::string::npos);
}

TEST_F(KXSessionTest, PersistentLoginCheck) {
  session_->setSession(
      kx::Dictionary{{"user", kx::Value(kUser)},
                     {"loginType", kx::Value(1)},
                     {"persistCookie", kx::Value(TestNoteServiceAccountRoutes::tokenFor(kUser))}});
  auto signedIn = std::make_shared<std::promise<void>>();
  session_->setLoginCallback([signedIn] { signedIn->set_value(); });
  session_->checkLogin();
  ASSERT_EQ(signedIn->get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(session_->isLogin());
  EXPECT_EQ(service_.requests("/login/acc/co/cq").at(0).header("QOPAL-PC"),
            TestNoteServiceAccountRoutes::tokenFor(kUser));

  // The automatic check hands its block the answer and never the callback.
  int callbacks = 0;
  session_->setLoginCallback([&callbacks] { ++callbacks; });
  auto answered = std::make_shared<std::promise<kx::Value>>();
  session_->autoLoginWithBlock([answered](const kx::Error& error, const kx::Value& answer) {
    EXPECT_FALSE(error);
    answered->set_value(answer);
  });
  auto answer = answered->get_future();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(answer.get()["login"].boolValue());
  EXPECT_EQ(callbacks, 0);

  session_->setSession(kx::Dictionary{{"user", kx::Value(kUser)},
                                      {"loginType", kx::Value(1)},
                                      {"persistCookie", kx::Value("stale")}});
  session_->checkLogin();
  ASSERT_TRUE(delegate_->waitForCount(1));
  EXPECT_EQ(delegate_->all(), std::vector<std::string>{"checkLoginFail"});
  EXPECT_EQ(callbacks, 0);
}

TEST_F(KXSessionTest, AutoLoginOffLeavesNoSessionFile) {
  session_->setAutoLogin(KXSessionAutoLoginOn);
  ASSERT_TRUE(signIn(*session_));
  ASSERT_TRUE(kx::FileSystem::Default().exists(sessFile()));
  session_->setAutoLogin(KXSessionAutoLoginOff);
  ASSERT_TRUE(signIn(*session_));
  EXPECT_FALSE(kx::FileSystem::Default().exists(sessFile()));
}

TEST_F(KXSessionTest, SignOutRunsInOrderAndAlwaysDropsTheServiceSessionCookies) {
  for (bool fromWeb : {false, true}) {
    SCOPED_TRACE(fromWeb ? "signed in in the web view" : "signed in by password");
    auto environment = std::make_shared<RecordingEnvironment>();
    session_->setEnvironment(environment);
    ASSERT_TRUE(signIn(*session_));
    session_->setDbUserId(kUser);
    session_->setIsLoginFromWeb(fromWeb);
    transport_.setCookie({"note.zarvel.com", false, "/", true, false, 0, "OTHER", "kept?"});
    ASSERT_TRUE(hasCookie(transport_, "QOPAL_PERS"));

    EXPECT_EQ(logOut(*session_), 1);
    EXPECT_EQ(environment->all(), (std::vector<std::string>{
                                      "hideProcessing", "clearWebViewCookies note.zarvel.com",
                                      "unregisterURLProtocol", "cancelTaskWhenLogoff",
                                      "clearPushEnvironment", "clearPullEnvironment", "closeDB"}));
    for (const char* name : {"QOPAL_SESS", "QOPAL_PERS", "QOPAL_LOGIN"}) {
      EXPECT_FALSE(hasCookie(transport_, name)) << name;
    }
    EXPECT_EQ(hasCookie(transport_, "OTHER"), !fromWeb)
        << "the whole jar goes only after a web sign-in";
    EXPECT_EQ(session_->requestCookies(), std::nullopt);
    EXPECT_TRUE(routes_.liveSessions().empty()) << "the service was told";
    EXPECT_FALSE(kx::FileSystem::Default().exists(sessFile()));
    EXPECT_TRUE(session_->isLogOut());
    EXPECT_EQ(session_->dbUserId(), "");
    EXPECT_EQ(session_->currentUser(), "EmptyUser");
    EXPECT_EQ(session_->persistCookie(), "");
  }

  // Without a block the sign-out still runs to its end.
  session_->setEnvironment(environment_);
  session_->logoutWithCallback(nullptr);
  ASSERT_TRUE(environment_->waitFor("closeDB"));
}

TEST_F(KXSessionTest, BrokenSessionFileSignsOutAndOpensTheLoginWindow) {
  ASSERT_TRUE(kx::PropertyList::writeFile(sessFile(),
                                          kx::Value(kx::Dictionary{{"user", kx::Value(kUser)}})));
  session_->loadLatest();
  EXPECT_FALSE(kx::FileSystem::Default().exists(sessFile()));
  EXPECT_EQ(environment_->all(), std::vector<std::string>{"showLoginWindow"});
  EXPECT_EQ(session_->currentUser(), "EmptyUser");
  ASSERT_TRUE(
      kxtest::pumpMainUntil([&] { return !service_.requests("/login/acc/se/reset").empty(); }, 20));
  ASSERT_TRUE(environment_->waitFor("closeDB"));

  // A file that is no property list at all is ignored.
  ASSERT_TRUE(kx::FileSystem::Default().writeFile(sessFile(), "not a list", nullptr));
  session_->loadLatest();
  EXPECT_TRUE(kx::FileSystem::Default().exists(sessFile()));
}

TEST_F(KXSessionTest, OfflineSignInComparesWithTheStoredDigest) {
  ASSERT_TRUE(signIn(*session_));
  struct Case {
    std::string user;
    std::string password;
    std::string expected;
  };
  const Case cases[] = {
      {kUser, kPassword, "localLoginSuccess"},
      {kUser, "wrong", "localLoginFail Account and password mismatch!"},
      {"nobody@zarvel.com", kPassword, "localLoginFail Network Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    auto restarted = newSession(transport_);  // a new run: nothing in memory but the files
    auto delegate = std::make_shared<RecordingDelegate>();
    restarted->setAuthDelegate(delegate);
    restarted->setCurrentUser(c.user);
    restarted->setPassword(c.password);
    restarted->localLogin();
    ASSERT_TRUE(delegate->waitForCount(1));
    EXPECT_EQ(delegate->all(), std::vector<std::string>{c.expected});
  }
}

TEST_F(KXSessionTest, SessionAndCookiesSurviveARestart) {
  session_->setAutoLogin(KXSessionAutoLoginOn);
  ASSERT_TRUE(signIn(*session_));
  session_->flushCookies();
  const std::string cookieFile = kx::Path::appendingPathComponent(appDir_, "cookies.dat");
  EXPECT_EQ(fileMode(cookieFile), 0600u);
  session_.reset();

  kx::HTTPTransport restartedTransport;
  service_.attach(restartedTransport);
  auto restarted = newSession(restartedTransport);
  restarted->loadLatest();
  EXPECT_EQ(restarted->currentUser(), kUser);
  EXPECT_EQ(restarted->loginType(), 1u);
  EXPECT_TRUE(restarted->checkPersistCookie());
  EXPECT_TRUE(restarted->checkUserAndPassword());
  EXPECT_EQ(restarted->md5Password(), digestOf(kPassword)) << "deciphered from the file";
  EXPECT_EQ(restarted->requestCookies().value_or(""),
            "QOPAL_SESS=sess-alice@zarvel.com;QOPAL_PERS=pers-alice@zarvel.com;QOPAL_LOGIN=true");

  // The restored cookies sign requests in, and the sign-out's removal is
  // kept too.
  EXPECT_EQ(logOut(*restarted), 1);
  EXPECT_EQ(kxtest::requestCookie(service_.requests("/login/acc/se/reset").back(), "QOPAL_SESS"),
            "sess-alice@zarvel.com");
  restarted->flushCookies();
  restarted.reset();
  kx::HTTPTransport third;
  auto again = newSession(third);
  EXPECT_EQ(again->requestCookies(), std::nullopt);
}

TEST_F(KXSessionTest, TheDigestIsNeverLogged) {
  KXHooks::setCurrentUserDataDirectoryProvider([dir = appDir_] { return dir; });
  KXLogger::sharedLogger().reset();
  session_->setAutoLogin(KXSessionAutoLoginOn);
  ASSERT_TRUE(signIn(*session_));
  session_->localLogin();
  ASSERT_TRUE(delegate_->waitForCount(1));
  routes_.refuseNextLogin(200, "{}");
  session_->doLogin();
  ASSERT_TRUE(delegate_->waitForCount(2));
  EXPECT_EQ(logOut(*session_), 1);
  KXLogger::sharedLogger().drain();
  std::ifstream in(KXLogger::sharedLogger().logFilePath());
  std::stringstream log;
  log << in.rdbuf();
  KXHooks::setCurrentUserDataDirectoryProvider(nullptr);
  EXPECT_NE(log.str().find("logoff end"), std::string::npos) << "the log was written";
  EXPECT_EQ(log.str().find(digestOf(kPassword)), std::string::npos);
  EXPECT_EQ(log.str().find(kPassword), std::string::npos);
  EXPECT_EQ(delegate_->onSessionQueue, true) << "messages come on the session's queue";
}

TEST_F(KXSessionTest, StatisticFileIsWrittenOnce) {
  session_->writeloginKeyFrom();
  session_->writeloginKeyFrom();
  EXPECT_EQ(environment_->all(), std::vector<std::string>{"addStatisKey normal=1"});
  std::optional<kx::Value> stored =
      kx::PropertyList::readFile(kx::Path::appendingPathComponent(appDir_, "statistic.dat"));
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)["semMacKeyFrom"].stringValue(), "normal");
}

}  // namespace
