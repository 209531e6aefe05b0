#include "sync/cycle/KXSyncUserMeta.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"
#include "support/TestUserEndpoints.h"
#include "sync/UserMetaTestSupport.h"

namespace {

using kxtest::Fault;

class KXSyncUserMetaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    endpoints = std::make_unique<kxtest::TestUserEndpoints>(service);
    endpoints->setUserMeta(R"({"uid":"u1","rv":12,"tv":3,"MYSHARE_UPDATE_TIME":5.9})");
    endpoints->setSelfInfo(R"({"userId":"u1","photo":"/yws/photo/u1.png"})");
    endpoints->setPhoto("/yws/photo/u1.png", "PNGBYTES");
    fresh();
  }
  // A new puller with its own environment and delegate; the service forgets
  // the requests it has seen.
  void fresh() {
    if (puller) puller->clearEnvironment();
    kx::MainQueue::shared().drain();
    service.clearRequests();
    env = std::make_shared<kxtest::FakeUserMetaEnvironment>(service, root.path());
    delegate = std::make_shared<kxtest::RecordingUserMetaDelegate>();
    puller = std::make_shared<KXSyncUserMeta>(env);
    puller->setDelegate(delegate);
  }
  void TearDown() override {
    puller->clearEnvironment();
    // Requests still arriving must not meet the endpoints once they are gone.
    service.stop();
    kx::MainQueue::shared().drain();
  }
  bool until(const std::function<bool()>& condition) {
    return kxtest::pumpMainUntil(condition, 20);
  }
  std::size_t requests(const char* path) { return service.requests(path).size(); }

  kxtest::TempAppRoot root;
  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestUserEndpoints> endpoints;
  std::shared_ptr<kxtest::FakeUserMetaEnvironment> env;
  std::shared_ptr<kxtest::RecordingUserMetaDelegate> delegate;
  std::shared_ptr<KXSyncUserMeta> puller;
};

TEST_F(KXSyncUserMetaTest, PullWithSelfStoresMetaSelfInfoAndPhotoOnce) {
  puller->pull(true);
  ASSERT_TRUE(until([&] { return env->log.count("store selfInfo") == 1; }));
  ASSERT_TRUE(
      until([&] { return std::filesystem::exists(env->iconImageLocation("/yws/photo/u1.png")); }));
  EXPECT_EQ(delegate->log.events(), (std::vector<std::string>{"success u1"}));
  EXPECT_EQ(env->log.count("sessionVersion 12"), 1u);
  auto meta = service.requests(kxtest::TestUserEndpoints::kUserMetaPath);
  ASSERT_EQ(meta.size(), 1u);
  EXPECT_NE(meta[0].query.find("method=get"), std::string::npos);
  EXPECT_NE(meta[0].query.find("multilevelEnable=true"), std::string::npos);
  std::ifstream photo(env->iconImageLocation("/yws/photo/u1.png"));
  std::string bytes((std::istreambuf_iterator<char>(photo)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "PNGBYTES");

  // Again: the self info is read again, the photo is not fetched again.
  puller->pull(true);
  ASSERT_TRUE(until([&] { return env->log.count("store selfInfo") == 2; }));
  EXPECT_EQ(requests(kxtest::TestUserEndpoints::kSelfInfoPath), 2u);
  EXPECT_EQ(requests("/yws/photo/u1.png"), 1u);
}

TEST_F(KXSyncUserMetaTest, PullWithoutSelfNeverAsksForSelfInfo) {
  puller->pull(false);
  ASSERT_TRUE(until([&] { return delegate->log.events().size() == 1; }));
  auto meta = service.requests(kxtest::TestUserEndpoints::kUserMetaPath);
  ASSERT_EQ(meta.size(), 1u);
  EXPECT_NE(meta[0].query.find("multilevelEnable=false"), std::string::npos);
  EXPECT_EQ(requests(kxtest::TestUserEndpoints::kSelfInfoPath), 0u);
}

TEST_F(KXSyncUserMetaTest, ReplyWithoutUidFailsAndStoresNothing) {
  for (const char* reply : {R"({"uid":"","rv":4})", R"({"rv":4})", R"([1,2])"}) {
    SCOPED_TRACE(reply);
    auto d = std::make_shared<kxtest::RecordingUserMetaDelegate>();
    puller->setDelegate(d);
    endpoints->setUserMeta(reply);
    puller->pull(true);
    ASSERT_TRUE(until([&] { return d->log.events().size() == 1; }));
    EXPECT_EQ(d->log.events(),
              (std::vector<std::string>{"fail com.zarvel.note.Error 17179869186"}));
  }
  EXPECT_EQ(env->log.count("sessionVersion 4"), 0u);
  EXPECT_EQ(requests(kxtest::TestUserEndpoints::kSelfInfoPath), 0u);
}

TEST_F(KXSyncUserMetaTest, UpgradeAnswersRepeatEveryTwoSecondsUntilSuccess) {
  endpoints->order(422, 0);
  endpoints->order(422, 0);
  puller->pull(true);
  ASSERT_TRUE(until([&] { return env->manualClock->pendingCount() == 1; }));
  ASSERT_TRUE(
      until([&] { return env->log.count("progress Upgrading user data, please wait...") == 1; }));
  EXPECT_EQ(env->log.count("window forward"), 1u);
  EXPECT_TRUE(delegate->log.events().empty()) << "an upgrade is not a failure";
  EXPECT_TRUE(puller->upgrading());

  env->manualClock->advance(1.9);
  EXPECT_EQ(requests(kxtest::TestUserEndpoints::kUserMetaPath), 1u);
  env->manualClock->advance(0.1);
  ASSERT_TRUE(until([&] {
    return env->manualClock->pendingCount() == 1 &&
           requests(kxtest::TestUserEndpoints::kUserMetaPath) == 2;
  }));
  env->manualClock->advance(2);
  ASSERT_TRUE(until([&] { return delegate->log.events().size() == 1; }));
  EXPECT_EQ(delegate->log.events(), (std::vector<std::string>{"success u1"}));
  ASSERT_TRUE(until([&] { return env->log.count("window out") == 1; }));
  EXPECT_EQ(requests(kxtest::TestUserEndpoints::kUserMetaPath), 3u);
}

TEST_F(KXSyncUserMetaTest, ExpiredCookieLogsInAgainAndFails) {
  endpoints->order(207, 0);
  puller->pull(true);
  ASSERT_TRUE(until([&] { return delegate->log.events().size() == 2; }));
  EXPECT_EQ(env->log.count("autoLogin"), 1u);
  EXPECT_EQ(delegate->log.count("relogin"), 1u);
  EXPECT_EQ(delegate->log.count("fail NSURLErrorDomain -1011"), 1u);

  // A login request that fails: the alert, then sign-out on the main queue.
  env->loginFails = true;
  endpoints->order(207, 0);
  puller->pull(true);
  ASSERT_TRUE(until([&] { return env->log.count("logout(main)") == 1; }));
  EXPECT_EQ(env->recordingAlerts->log.events(),
            (std::vector<std::string>{"同步失败|用户身份认证过期，请重新登录|main"}));
  EXPECT_EQ(delegate->log.count("relogin"), 1u);
}

TEST_F(KXSyncUserMetaTest, AccountOrdersAlertSignOutAndEndTheCycle) {
  struct Row {
    const char* name;
    int error, ecode;
    bool relogin, wipe;
  };
  const std::vector<Row> rows = {
      {"2060", 403, 2060, false, false},
      {"207 with 2060", 207, 2060, true, false},
      {"2061", 403, 2061, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fresh();
    endpoints->order(row.error, row.ecode);
    puller->pull(true);
    ASSERT_TRUE(until([&] {
      return env->log.count("logout(main)") == 1 &&
             delegate->log.count("fail NSURLErrorDomain -1011") == 1;
    }));
    EXPECT_EQ(env->recordingAlerts->log.events(),
              (std::vector<std::string>{"You are offline|Please login again|main"}));
    EXPECT_EQ(delegate->log.count("fail NSURLErrorDomain -1011"), 1u) << "the cycle ends";
    EXPECT_EQ(env->log.count("autoLogin"), row.relogin ? 1u : 0u);
    EXPECT_EQ(env->log.count("wipe u1"), row.wipe ? 1u : 0u);
    auto confirmations = service.requests(kxtest::TestUserEndpoints::kDeletePath);
    ASSERT_EQ(confirmations.size(), row.wipe ? 1u : 0u);
    if (row.wipe) {
      EXPECT_NE(confirmations[0].query.find("users=u1"), std::string::npos);
      EXPECT_NE(confirmations[0].query.find("device_id=dev-1"), std::string::npos);
    }
  }
}

TEST_F(KXSyncUserMetaTest, WipeOrderWithoutSessionWipesTheNamedUserSignsInAndPullsAgain) {
  env->signedIn = false;
  endpoints->order(403, 2061, "u9");
  puller->pull(true);
  ASSERT_TRUE(until([&] { return delegate->log.events().size() == 1; }));
  EXPECT_EQ(delegate->log.events(), (std::vector<std::string>{"success u1"}));
  EXPECT_EQ(env->log.count("wipe u9"), 1u);
  EXPECT_EQ(env->log.count("setCurrentUser u9"), 1u);
  auto confirmations = service.requests(kxtest::TestUserEndpoints::kDeletePath);
  ASSERT_EQ(confirmations.size(), 1u);
  EXPECT_NE(confirmations[0].query.find("users=u9"), std::string::npos);
  EXPECT_TRUE(env->recordingAlerts->log.events().empty());

  // A refused confirmation: no sign-in, no second pull.
  fresh();
  env->signedIn = false;
  endpoints->setDeleteReply(500, R"({"error":500})");
  endpoints->order(403, 2061, "u9");
  puller->pull(true);
  ASSERT_TRUE(service.waitForRequests(kxtest::TestUserEndpoints::kDeletePath, 1, 20));
  ASSERT_TRUE(kxtest::waitForQueue(kx::MainQueue::shared()));
  EXPECT_EQ(env->log.count("setCurrentUser u9"), 0u);
}

TEST_F(KXSyncUserMetaTest, CancelledPullerDropsLateAnswers) {
  service.setFault(kxtest::TestUserEndpoints::kUserMetaPath, Fault::held());
  puller->pull(true);
  ASSERT_TRUE(service.waitForInFlight(1, 20));
  puller->setIsCancelled(true);
  puller->clearEnvironment();
  service.releaseHeld();
  ASSERT_TRUE(service.waitForInFlight(0, 20));
  kx::MainQueue::shared().drain();
  EXPECT_TRUE(delegate->log.events().empty());
  EXPECT_TRUE(env->log.events().empty());
}

}  // namespace
