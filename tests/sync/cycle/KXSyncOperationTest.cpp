#include "sync/cycle/KXSyncOperation.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "platform/MainQueue.h"
#include "platform/OperationQueue.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "support/TestUserEndpoints.h"
#include "sync/SyncPullTestSupport.h"
#include "sync/SyncTestSupport.h"
#include "sync/UserMetaTestSupport.h"
#include "sync/cycle/KXSyncUserMeta.h"

namespace {

std::vector<std::string> ids(const std::vector<kx::Dictionary>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item["fileId"].stringValue());
  return out;
}

using kxtest::Answer;

class KXSyncOperationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = std::make_shared<kxtest::FakeCycleEnvironment>();
    recorder = std::make_unique<kxtest::SyncNotificationRecorder>(center);
  }
  void TearDown() override {
    if (cycle) cycle->cancel();
    while (env->releaseHeld()) {
    }
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(10));
    EXPECT_TRUE(kxtest::waitForQueue(KXSyncOperation::queue()));
    kx::MainQueue::shared().drain();
  }
  void run() {
    cycle = std::make_shared<KXSyncOperation>(env, &center);
    queue.addOperation(cycle);
  }
  // Runs the cycle to its end and returns the notifications it posted.
  std::vector<std::string> runToEnd() {
    run();
    EXPECT_TRUE(kxtest::pumpMainUntil([&] { return cycle->isFinished(); }));
    EXPECT_TRUE(kxtest::waitForQueue(KXSyncOperation::queue()));
    kx::MainQueue::shared().drain();
    return recorder->log.events();
  }
  void serverVersion(std::int64_t rv, std::int64_t tv = 0) {
    env->setReply(
        kx::Value::dict({{"uid", kx::Value("u1")}, {"rv", kx::Value(rv)}, {"tv", kx::Value(tv)}}));
  }

  kx::NotificationCenter center;
  kx::OperationQueue queue{"test.sync", 1};
  std::shared_ptr<kxtest::FakeCycleEnvironment> env;
  std::unique_ptr<kxtest::SyncNotificationRecorder> recorder;
  std::shared_ptr<KXSyncOperation> cycle;
};

TEST_F(KXSyncOperationTest, FullCycleRunsItsStagesInOrder) {
  env->localRootVersion = 3;
  env->setState("dbContentVersion", 10);
  env->reportFileMeta = true;
  serverVersion(7, 2);
  EXPECT_EQ(runToEnd(),
            (std::vector<std::string>{"pullFileMeta", "push", "pullFileMeta", "end:1"}));
  EXPECT_EQ(env->log.events(),
            (std::vector<std::string>{"userMeta(self)", "tags", "myshares", "pen", "pull", "push",
                                      "index", "userMeta", "tags", "myshares", "pen",
                                      "pullAfterPush", "clear.pull", "clear.push", "index"}));
  EXPECT_EQ(cycle->syncStage(), kKXSyncStageEnded);
  EXPECT_FALSE(cycle->isCancelled());
}

TEST_F(KXSyncOperationTest, ServiceNotAheadSkipsTheFirstPullButStillPushesAndPullsAgain) {
  struct Row {
    const char* name;
    std::int64_t local, server;
  };
  for (const Row& row :
       {Row{"no root entry, service at 0", 0, 0}, Row{"equal", 5, 5}, Row{"local ahead", 9, 5}}) {
    SCOPED_TRACE(row.name);
    SetUp();
    env->setState("dbContentVersion", 10);
    env->localRootVersion = row.local;
    serverVersion(row.server);
    EXPECT_EQ(runToEnd(), (std::vector<std::string>{"push", "end:1"}));
    EXPECT_EQ(env->log.count("pull"), 0u);
    EXPECT_EQ(env->log.count("pullAfterPush"), 1u);
    EXPECT_EQ(env->log.count("index"), 2u);
    TearDown();
    cycle.reset();
  }
}

TEST_F(KXSyncOperationTest, OldContentVersionMakesThePullAfterPushAFullOne) {
  serverVersion(0);
  runToEnd();
  std::vector<std::string> events = env->log.events();
  auto at = [&](const std::string& e) {
    return std::find(events.begin(), events.end(), e) - events.begin();
  };
  ASSERT_LT(at("fullPulling=1"), static_cast<long>(events.size()));
  EXPECT_LT(at("push"), at("fullPulling=1"));
  EXPECT_LT(at("fullPulling=1"), at("pullAfterPush"));
  EXPECT_LT(at("pullAfterPush"), at("fullPulling=0"));
  EXPECT_LT(at("fullPulling=0"), at("set dbContentVersion=10"));
  EXPECT_EQ(env->dbStateInteger("dbContentVersion"), 10);

  // The next cycle pulls only changes.
  TearDown();
  SetUp();
  env->setState("dbContentVersion", 10);
  runToEnd();
  EXPECT_EQ(env->log.count("fullPulling=1"), 0u);
}

TEST_F(KXSyncOperationTest, FailuresEndTheCycleOnce) {
  struct Row {
    const char* name;
    bool connected;
    Answer userMeta, pull, push;
    std::size_t indexRuns;
  };
  const std::vector<Row> rows = {
      {"no network", false, Answer::kSucceed, Answer::kSucceed, Answer::kSucceed, 0},
      {"user meta", true, Answer::kFail, Answer::kSucceed, Answer::kSucceed, 0},
      {"pull", true, Answer::kSucceed, Answer::kFail, Answer::kSucceed, 1},
      {"push", true, Answer::kSucceed, Answer::kSucceed, Answer::kFail, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    env->connected = row.connected;
    env->userMetaAnswer = row.userMeta;
    env->pullAnswer = row.pull;
    env->pushAnswer = row.push;
    serverVersion(4);
    std::vector<std::string> posted = runToEnd();
    EXPECT_EQ(posted.back(), "end:0");
    EXPECT_EQ(recorder->log.count("end:0"), 1u);
    EXPECT_EQ(recorder->log.count("end:1"), 0u);
    EXPECT_TRUE(cycle->isCancelled());
    EXPECT_EQ(cycle->syncStage(), kKXSyncStageEnded);
    EXPECT_EQ(env->log.count("index"), row.indexRuns);
    EXPECT_EQ(env->log.count("clear.pull"), 1u);
    TearDown();
    cycle.reset();
  }
}

TEST_F(KXSyncOperationTest, CancelledMidPullPostsNoEndAndIgnoresLateAnswers) {
  env->pullAnswer = Answer::kHold;
  serverVersion(4);
  run();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return env->heldCount() == 1; }));
  cycle->cancel();
  EXPECT_TRUE(cycle->isFinished());
  ASSERT_TRUE(env->releaseHeld());  // the pull answers after the cancellation
  ASSERT_TRUE(kxtest::waitForQueue(KXSyncOperation::queue()));
  kx::MainQueue::shared().drain();
  EXPECT_TRUE(recorder->log.events().empty());
  EXPECT_EQ(env->log.count("push"), 0u);
  EXPECT_EQ(env->log.count("index"), 0u);
  EXPECT_EQ(env->log.count("clear.pull"), 1u);
}

TEST_F(KXSyncOperationTest, CancelledBeforeStartFinishesAtOnce) {
  cycle = std::make_shared<KXSyncOperation>(env, &center);
  cycle->cancel();
  EXPECT_TRUE(cycle->isFinished());
  EXPECT_FALSE(queue.addOperation(cycle)) << "a finished cycle is not queued";
  EXPECT_TRUE(env->log.events().empty());
}

TEST_F(KXSyncOperationTest, RestartsOnceAfterAutomaticLogin) {
  env->userMetaAnswer = Answer::kHold;
  serverVersion(0);
  run();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return env->heldCount() == 1; }));
  std::shared_ptr<KXSyncUserMetaDelegate> delegate = env->heldUserMetaDelegate();
  delegate->autoLoginSucceedAfterAuthFailed();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return env->heldCount() == 2; }));
  EXPECT_EQ(env->log.count("userMeta(self)"), 2u) << "the cycle began again";
  delegate->autoLoginSucceedAfterAuthFailed();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return cycle->isFinished(); }));
  ASSERT_TRUE(kxtest::waitForQueue(KXSyncOperation::queue()));
  kx::MainQueue::shared().drain();
  EXPECT_EQ(recorder->log.events(), (std::vector<std::string>{"end:0"}));
  EXPECT_EQ(env->log.count("userMeta(self)"), 2u) << "no second restart";
}

// The real user-meta puller and metadata pull against the test note
// service; the store's values are the fakes', the push is the seam that
// reports success.
class ServiceCycleEnvironment : public kxtest::FakeCycleEnvironment {
 public:
  ServiceCycleEnvironment(std::shared_ptr<KXSyncUserMetaEnvironment> userMetaEnvironment,
                          std::shared_ptr<KXSyncPullEnvironment> pullEnvironment)
      : userMetaEnvironment_(std::move(userMetaEnvironment)),
        pullEnvironment_(std::move(pullEnvironment)) {}
  std::shared_ptr<KXSyncUserMeta> makeUserMeta(std::weak_ptr<KXSyncUserMetaDelegate> d) override {
    auto puller = std::make_shared<KXSyncUserMeta>(userMetaEnvironment_);
    puller->setDelegate(std::move(d));
    return puller;
  }
  std::shared_ptr<KXSyncPullProxy> makePullProxy(
      std::weak_ptr<KXSyncPullProxyDelegate> d) override {
    return std::make_shared<KXSyncPullProxy>(std::move(d), pullEnvironment_);
  }
  std::shared_ptr<KXSyncPushProxy> makePushProxy(
      std::weak_ptr<KXSyncPushProxyDelegate> d) override {
    return KXSyncCycleEnvironment::makePushProxy(std::move(d));
  }

 private:
  std::shared_ptr<KXSyncUserMetaEnvironment> userMetaEnvironment_;
  std::shared_ptr<KXSyncPullEnvironment> pullEnvironment_;
};

TEST(KXSyncOperationServiceTest, EmptyCycleSendsExactlyTheUserRequestsAndOnePullPage) {
  kxtest::TempAppRoot root;
  kxtest::TestNoteService service;
  ASSERT_TRUE(service.start(nullptr));
  service.attach(KXNetworkOperation::sharedTransport());
  {
    kxtest::TestUserEndpoints endpoints(service);
    kxtest::TestSyncEndpoints syncEndpoints(service);
    // The store is level with the service: the root versions agree.
    const std::int64_t version = syncEndpoints.rootVersion();
    endpoints.setUserMeta(R"({"uid":"u1","rv":)" + std::to_string(version) + R"(,"tv":0})");
    endpoints.setSelfInfo(R"({"userId":"u1"})");
    auto userEnv = std::make_shared<kxtest::FakeUserMetaEnvironment>(service, root.path());
    kxtest::EventLog pullLog;
    auto pullEnv = std::make_shared<kxtest::FakePullEnvironment>(service.baseURL(), &pullLog);
    pullEnv->base = version;
    auto env = std::make_shared<ServiceCycleEnvironment>(userEnv, pullEnv);
    env->localRootVersion = version;
    env->setState("dbContentVersion", 10);
    kx::NotificationCenter center;
    kxtest::SyncNotificationRecorder recorder(center);
    kx::OperationQueue queue("test.sync", 1);
    auto cycle = std::make_shared<KXSyncOperation>(env, &center);
    queue.addOperation(cycle);
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return recorder.log.count("end:1") == 1; }, 20));
    ASSERT_TRUE(service.waitForRequests(kxtest::TestUserEndpoints::kSelfInfoPath, 1, 20));
    ASSERT_TRUE(service.waitForInFlight(0, 20));
    // The pull after the push applies its (empty) metadata too.
    EXPECT_EQ(recorder.log.events(), (std::vector<std::string>{"push", "pullFileMeta", "end:1"}));
    std::vector<std::string> sent;
    for (const auto& request : service.requests()) {
      sent.push_back(
          request.path +
          (request.query.find("multilevelEnable=true") != std::string::npos ? " +self" : ""));
    }
    std::sort(sent.begin(), sent.end());
    // The pull after the push runs whatever the versions: one empty page.
    EXPECT_EQ(sent, (std::vector<std::string>{"/qrt/api/personal/sync", "/qrt/api/self",
                                              "/qrt/mapi/user", "/qrt/mapi/user +self"}));
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(20));
    service.stop();
  }
}

TEST(KXSyncOperationServiceTest, CycleWithTheServiceAheadPullsTwiceThroughTheApplier) {
  kxtest::TempAppRoot root;
  kxtest::TestNoteService service;
  ASSERT_TRUE(service.start(nullptr));
  service.attach(KXNetworkOperation::sharedTransport());
  {
    kxtest::TestUserEndpoints endpoints(service);
    kxtest::TestSyncEndpoints syncEndpoints(service);
    const std::int64_t local = syncEndpoints.rootVersion();
    syncEndpoints.putNotebook("NB", "ROOT", "Work");
    syncEndpoints.putNote("A", "NB", "a.note", "text");
    const std::int64_t ahead = syncEndpoints.rootVersion();
    endpoints.setUserMeta(R"({"uid":"u1","rv":)" + std::to_string(ahead) + R"(,"tv":0})");
    endpoints.setSelfInfo(R"({"userId":"u1"})");
    auto userEnv = std::make_shared<kxtest::FakeUserMetaEnvironment>(service, root.path());
    kxtest::EventLog pullLog;
    auto pullEnv = std::make_shared<kxtest::FakePullEnvironment>(service.baseURL(), &pullLog);
    pullEnv->base = local;
    auto applier = std::make_shared<kxtest::RecordingApplier>(&syncEndpoints, &pullLog);
    pullEnv->applierToUse = applier;
    auto env = std::make_shared<ServiceCycleEnvironment>(userEnv, pullEnv);
    env->localRootVersion = local;
    env->setState("dbContentVersion", 10);
    kx::NotificationCenter center;
    kxtest::SyncNotificationRecorder recorder(center);
    kx::OperationQueue queue("test.sync", 1);
    queue.addOperation(std::make_shared<KXSyncOperation>(env, &center));
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return recorder.log.count("end:1") == 1; }, 20));
    EXPECT_EQ(recorder.log.events(),
              (std::vector<std::string>{"pullFileMeta", "push", "pullFileMeta", "end:1"}));
    std::lock_guard<std::mutex> lock(applier->mu_);
    ASSERT_EQ(applier->batches.size(), 2u) << "the first pull and the pull after the push";
    EXPECT_EQ(ids(applier->batches[0].newAndModifyNotebooks),
              (std::vector<std::string>{"ROOT", "NB"}));
    EXPECT_EQ(ids(applier->batches[0].newAndModifyNotes), (std::vector<std::string>{"A"}));
    EXPECT_EQ(pullLog.count("rootVersion " + std::to_string(ahead)), 2u)
        << "the fake store's base does not move, so the second pull brings the same";
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(20));
    service.stop();
  }
}

}  // namespace
