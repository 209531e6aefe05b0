#include "sync/cycle/KXLiveConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "support/TestLongPollEndpoints.h"
#include "support/TestNoteService.h"
#include "sync/SyncTestSupport.h"
#include "sync/cycle/KXSyncManager.h"

namespace {

class FakeLiveEnvironment : public KXLiveConnectionEnvironment {
 public:
  explicit FakeLiveEnvironment(std::string baseURL) : baseURL_(std::move(baseURL)) {}
  std::string serviceBaseURL() override { return baseURL_; }
  bool isWorking() override { return working.load(); }
  std::int64_t baseVersion() override { return localVersion.load(); }
  void sync() override { ++syncs; }
  void startPenPull() override { ++penPulls; }

  std::atomic<bool> working{false};
  std::atomic<std::int64_t> localVersion{0};
  std::atomic<int> syncs{0};
  std::atomic<int> penPulls{0};

 private:
  const std::string baseURL_;
};

class KXLiveConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    polls = std::make_unique<kxtest::TestLongPollEndpoints>(
        service, [this] { return serviceVersion.load(); });
    env = std::make_shared<FakeLiveEnvironment>(service.baseURL());
    clock = std::make_shared<kxtest::KXManualDelayClock>();
    connection = std::make_shared<KXLiveConnection>(env, clock);
  }
  void TearDown() override {
    connection->stop();
    polls->shutdown();
    ASSERT_TRUE(kxtest::waitForQueue(connection->queue()));
    service.stop();
  }

  // One tick of the connection's timer.
  void tick() {
    clock->advance(KXLiveConnection::kTickSeconds);
    ASSERT_TRUE(kxtest::waitForQueue(connection->queue()));
  }
  // A tick that starts a poll the service holds.
  void tickToHeldPoll() {
    const int held = polls->heldPolls();
    tick();
    ASSERT_TRUE(polls->waitForHeldPolls(held + 1));
  }
  // Waits until the running poll has been answered and handled.
  void waitAnswered() {
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return !connection->isPolling(); }));
    ASSERT_TRUE(kxtest::waitForQueue(connection->queue()));
  }

  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestLongPollEndpoints> polls;
  std::atomic<std::int64_t> serviceVersion{0};
  std::shared_ptr<FakeLiveEnvironment> env;
  std::shared_ptr<kxtest::KXManualDelayClock> clock;
  std::shared_ptr<KXLiveConnection> connection;
};

TEST_F(KXLiveConnectionTest, AChangeWhileThePollIsHeldAsksForOneSyncAndMovesTheCursor) {
  connection->multiportConnect();
  tickToHeldPoll();
  EXPECT_EQ(env->penPulls.load(), 1);
  auto first = service.requests(KXLiveConnection::kPollPath);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].method, "GET");
  EXPECT_EQ(kxtest::queryValue(first[0].query, "app"), "lumbox");
  EXPECT_EQ(kxtest::queryValue(first[0].query, "cl"), "mac");
  EXPECT_EQ(kxtest::queryValue(first[0].query, "lp"), "0");
  EXPECT_EQ(kxtest::queryValue(first[0].query, "cto"), "600000");

  // The first share time of a run is only recorded.
  polls->change(nullptr, 100);
  waitAnswered();
  EXPECT_EQ(env->syncs.load(), 0);
  EXPECT_EQ(connection->lastTimeStamp(), 1);

  // Two reasons in one notice: the service is ahead and the shares changed.
  tickToHeldPoll();
  env->localVersion = 118;
  polls->change([&] { serviceVersion = 120; }, 200);
  waitAnswered();
  EXPECT_EQ(env->syncs.load(), 1);

  tickToHeldPoll();
  EXPECT_EQ(polls->cursors().back(), "2");
}

TEST_F(KXLiveConnectionTest, OnlyANewerRootVersionOrALaterShareTimeAsksForASync) {
  struct Step {
    std::int64_t local;
    std::int64_t rv;
    std::optional<std::int64_t> shareTime;
    int syncs;  // after the step, in all
  };
  const std::vector<Step> steps = {
      {0, 0, 50, 0},      // rv 0; the first share time is recorded
      {118, 118, {}, 0},  // rv equal to the store's
      {120, 118, {}, 0},  // the store is ahead
      {118, 120, {}, 1},  // the service is ahead
      {120, 120, 50, 1},  // an equal share time
      {120, 120, 40, 1},  // an earlier share time
      {120, 120, 60, 2},  // a later share time
  };
  connection->multiportConnect();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    tickToHeldPoll();
    env->localVersion = steps[i].local;
    polls->change([&] { serviceVersion = steps[i].rv; }, steps[i].shareTime);
    waitAnswered();
    EXPECT_EQ(env->syncs.load(), steps[i].syncs);
  }
}

TEST_F(KXLiveConnectionTest, NoPollStartsWhileASyncWorksOrAPollRuns) {
  connection->multiportConnect();
  env->working = true;
  tick();
  tick();
  EXPECT_TRUE(service.requests(KXLiveConnection::kPollPath).empty());
  EXPECT_EQ(env->penPulls.load(), 0);

  env->working = false;
  tickToHeldPoll();
  tick();
  tick();
  EXPECT_EQ(service.requests(KXLiveConnection::kPollPath).size(), 1u);
}

TEST_F(KXLiveConnectionTest, StopEndsThePollAndAStartAgainPicksUpWhatChangedMeanwhile) {
  connection->multiportConnect();
  tickToHeldPoll();
  connection->stop();  // sign-out or sleep
  EXPECT_FALSE(connection->isPolling());
  EXPECT_FALSE(connection->isTicking());

  env->localVersion = 5;
  polls->change([&] { serviceVersion = 6; });
  tick();
  tick();
  EXPECT_EQ(env->syncs.load(), 0);
  EXPECT_EQ(service.requests(KXLiveConnection::kPollPath).size(), 1u);

  connection->multiportConnect();  // wake
  tick();
  waitAnswered();
  EXPECT_EQ(service.requests(KXLiveConnection::kPollPath).size(), 2u);
  EXPECT_EQ(env->syncs.load(), 1);
}

TEST_F(KXLiveConnectionTest, AFailedAnswerChangesNothing) {
  connection->multiportConnect();
  tickToHeldPoll();
  polls->change();
  waitAnswered();
  ASSERT_EQ(connection->lastTimeStamp(), 1);

  for (kxtest::Fault fault :
       {kxtest::Fault::withStatus(500), kxtest::Fault::malformed(), kxtest::Fault::dropped()}) {
    service.setFault(KXLiveConnection::kPollPath, fault);
    env->localVersion = 1;
    serviceVersion = 9;
    tick();
    waitAnswered();
    EXPECT_EQ(connection->lastTimeStamp(), 1);
    EXPECT_EQ(env->syncs.load(), 0);
  }
}

// The connection over a real sync manager whose cycles wait in their user
// meta step until the test lets them go.
class ManagerLiveEnvironment : public FakeLiveEnvironment {
 public:
  ManagerLiveEnvironment(std::string baseURL, KXSyncManager* manager)
      : FakeLiveEnvironment(std::move(baseURL)), manager_(manager) {}
  bool isWorking() override { return manager_->isWorking(); }
  void sync() override {
    FakeLiveEnvironment::sync();
    manager_->sync();
  }

 private:
  KXSyncManager* const manager_;
};

TEST_F(KXLiveConnectionTest, ANoticeDuringASyncQueuesOneMoreCycleAndNoPile) {
  kx::NotificationCenter center;
  auto cycles = std::make_shared<kxtest::FakeCycleEnvironment>();
  cycles->userMetaAnswer = kxtest::Answer::kHold;
  auto manager =
      std::make_unique<KXSyncManager>(cycles, std::make_shared<kxtest::FakeManagerEnvironment>(),
                                      std::make_shared<kxtest::RecordingAlerts>(),
                                      std::make_shared<kxtest::KXManualDelayClock>(), &center);
  auto live = std::make_shared<ManagerLiveEnvironment>(service.baseURL(), manager.get());
  connection = std::make_shared<KXLiveConnection>(live, clock);
  connection->multiportConnect();
  tickToHeldPoll();

  // A sync asked for elsewhere runs while the poll is held.
  manager->sync();
  ASSERT_TRUE(
      kxtest::pumpMainUntil([&] { return manager->isWorking() && cycles->heldCount() > 0; }));
  live->localVersion = 3;
  polls->change([&] { serviceVersion = 4; }, 10);
  waitAnswered();
  EXPECT_EQ(live->syncs.load(), 1);
  EXPECT_EQ(manager->syncQueue().operationCount(), 2u);
  // While the cycle works no poll starts, so no notice piles up.
  tick();
  tick();
  EXPECT_EQ(service.requests(KXLiveConnection::kPollPath).size(), 1u);

  cycles->userMetaAnswer = kxtest::Answer::kSucceed;
  ASSERT_TRUE(cycles->releaseHeld());
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return manager->syncQueue().operationCount() == 0; }));
  EXPECT_EQ(cycles->log.count("userMeta(self)"), 2u);
  tickToHeldPoll();

  connection->stop();
  manager->cancelTaskWhenLogoff();
  manager.reset();
  kx::MainQueue::shared().drain();
}

}  // namespace
