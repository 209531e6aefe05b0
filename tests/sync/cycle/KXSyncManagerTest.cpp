#include "sync/cycle/KXSyncManager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXReachabilityWatcher.h"
#include "platform/MainQueue.h"
#include "platform/SleepNotifications.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "sync/SyncTestSupport.h"
#include "sync/cycle/KXSyncOperation.h"

namespace {

using kxtest::Answer;

// An operation whose state the admission table sets by hand.
class StateOperation : public kx::Operation {
 public:
  StateOperation(bool executing, bool cancelled, bool finished = false) {
    if (executing) setExecuting(true);
    if (cancelled) kx::Operation::cancel();
    if (finished) finish();
  }
};

TEST(KXSyncManagerTest, AdmissionTable) {
  using A = KXSyncManager::Admission;
  auto waiting = [] { return std::make_shared<StateOperation>(false, false); };
  auto running = [] { return std::make_shared<StateOperation>(true, false); };
  auto cancelled = [] { return std::make_shared<StateOperation>(false, true); };
  auto runningCancelled = [] { return std::make_shared<StateOperation>(true, true); };
  // Done, not yet out of the queue: a cycle that has posted its end.
  auto finished = [] { return std::make_shared<StateOperation>(true, false, true); };
  struct Row {
    const char* name;
    bool asleep;
    std::vector<std::shared_ptr<kx::Operation>> cycles;
    A expected;
  };
  const std::vector<Row> rows = {
      {"asleep, idle", true, {}, A::kRefuseAsleep},
      {"asleep, one running", true, {running()}, A::kRefuseAsleep},
      {"idle", false, {}, A::kAddAndAnnounce},
      {"one waiting", false, {waiting()}, A::kAbsorb},
      {"one running", false, {running()}, A::kAddQuietly},
      {"one cancelled, not started", false, {cancelled()}, A::kAddQuietly},
      {"one running, cancelled", false, {runningCancelled()}, A::kAddQuietly},
      {"one running, one waiting", false, {running(), waiting()}, A::kAbsorb},
      {"two waiting", false, {waiting(), waiting()}, A::kAbsorb},
      {"one finished", false, {finished()}, A::kAddAndAnnounce},
      {"one finished, one running", false, {finished(), running()}, A::kAddQuietly},
      {"one finished, one waiting", false, {finished(), waiting()}, A::kAbsorb},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(KXSyncManager::admissionFor(row.asleep, row.cycles), row.expected) << row.name;
  }
}

class KXSyncManagerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    cycleEnv = std::make_shared<kxtest::FakeCycleEnvironment>();
    env = std::make_shared<kxtest::FakeManagerEnvironment>();
    alerts = std::make_shared<kxtest::RecordingAlerts>();
    clock = std::make_shared<kxtest::KXManualDelayClock>();
    recorder = std::make_unique<kxtest::SyncNotificationRecorder>(center);
  }
  void TearDown() override {
    if (manager) {
      cycleEnv->userMetaAnswer = Answer::kSucceed;
      manager->cancelTaskWhenLogoff();
      while (cycleEnv->releaseHeld()) {
      }
      manager.reset();
    }
    kx::MainQueue::shared().drain();
  }
  void makeManager() {
    manager = std::make_unique<KXSyncManager>(cycleEnv, env, alerts, clock, &center);
  }
  // No cycle left, and what the last one still did on the cycles' queue
  // after it finished (its index start comes after its end) is done.
  bool idle() {
    return kxtest::pumpMainUntil([&] { return manager->syncQueue().operationCount() == 0; }) &&
           kxtest::waitForQueue(KXSyncOperation::queue());
  }
  bool pumpUntilEvents(const kxtest::EventLog& log, std::size_t count) {
    return kxtest::pumpMainUntil([&] { return log.events().size() >= count; });
  }
  void postNetwork(bool up) {
    center.post(KXReachabilityWatcher::kNotificationName, nullptr,
                kx::Value::dict({{KXReachabilityWatcher::kIsConnectionKey, kx::Value(up)}}));
  }
  bool pumpUntilRunning() {
    return kxtest::pumpMainUntil([&] { return manager->isWorking() && cycleEnv->heldCount() > 0; });
  }

  kx::NotificationCenter center;
  std::shared_ptr<kxtest::FakeCycleEnvironment> cycleEnv;
  std::shared_ptr<kxtest::FakeManagerEnvironment> env;
  std::shared_ptr<kxtest::RecordingAlerts> alerts;
  std::shared_ptr<kxtest::KXManualDelayClock> clock;
  std::unique_ptr<kxtest::SyncNotificationRecorder> recorder;
  std::unique_ptr<KXSyncManager> manager;
};

TEST_F(KXSyncManagerFixture, RequestsWhileOneRunsQueueOneMoreAndAnnounceOnce) {
  cycleEnv->userMetaAnswer = Answer::kHold;
  makeManager();
  manager->sync();
  manager->sync();
  manager->sync();
  // Before the first cycle starts the requests are absorbed by it.
  EXPECT_LE(manager->syncQueue().operationCount(), 2u);
  ASSERT_TRUE(pumpUntilRunning());
  manager->sync();
  manager->sync();
  EXPECT_EQ(manager->syncQueue().operationCount(), 2u);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(recorder->log.count("start"), 1u);

  // Let the cycles run out: each ends once, and the queue empties.
  cycleEnv->userMetaAnswer = Answer::kSucceed;
  ASSERT_TRUE(cycleEnv->releaseHeld());
  ASSERT_TRUE(idle());
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return recorder->log.count("end:1") == 2; }));
  EXPECT_EQ(cycleEnv->log.count("userMeta(self)"), 2u);
}

TEST_F(KXSyncManagerFixture, AsleepRefusesAndWakeQueuesOneCycle) {
  makeManager();
  center.post(kx::kWorkspaceWillSleepNotification);
  EXPECT_TRUE(manager->isSystemSleeping());
  manager->sync();
  EXPECT_EQ(manager->syncQueue().operationCount(), 0u);
  ASSERT_TRUE(pumpUntilEvents(recorder->log, 1));
  EXPECT_EQ(recorder->log.events(), (std::vector<std::string>{"end:0"}));

  center.post(kx::kWorkspaceDidWakeNotification);
  EXPECT_FALSE(manager->isSystemSleeping());
  ASSERT_TRUE(idle());
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return recorder->log.count("end:1") == 1; }));
  EXPECT_EQ(recorder->log.count("start"), 1u);
}

TEST_F(KXSyncManagerFixture, FirstAutomaticSyncAfterThreeHundredSeconds) {
  makeManager();
  clock->advance(299);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(recorder->log.count("start"), 0u);
  clock->advance(1);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return recorder->log.count("end:1") == 1; }));
  EXPECT_EQ(recorder->log.count("start"), 1u);
  EXPECT_EQ(clock->pendingCount(), 0u) << "the timer fires once";
}

TEST_F(KXSyncManagerFixture, AfterSyncBlocksRunOnceAtTheNextEndOfEitherKind) {
  makeManager();
  std::vector<std::string> calls;
  manager->didAfterSync(
      [&] { calls.push_back(kx::MainQueue::isMainThread() ? "a" : "a(off main)"); });
  manager->didAfterSync([&] { calls.push_back("b"); });
  // The manager's own end: the network went away.
  postNetwork(false);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return calls.size() == 2; }));
  EXPECT_EQ(calls, (std::vector<std::string>{"a", "b"}));
  postNetwork(false);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(calls.size(), 2u) << "blocks run once";

  // A cycle's end, here a failed one.
  cycleEnv->userMetaAnswer = Answer::kFail;
  manager->didAfterSync([&] { calls.push_back("c"); });
  manager->sync();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return calls.size() == 3; }));
  EXPECT_EQ(calls.back(), "c");
}

TEST_F(KXSyncManagerFixture, NetworkLostEndsAtOnceAndTheCycleFailsByItself) {
  cycleEnv->userMetaAnswer = Answer::kHold;
  makeManager();
  manager->sync();
  ASSERT_TRUE(pumpUntilRunning());
  cycleEnv->connected = false;
  postNetwork(false);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return recorder->log.count("end:0") == 1; }));
  EXPECT_EQ(manager->syncQueue().operationCount(), 1u) << "the running cycle is not cancelled";
  EXPECT_FALSE(manager->isNetworkReachable());
  ASSERT_TRUE(cycleEnv->releaseHeld());
  ASSERT_TRUE(idle());
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return recorder->log.count("end:0") == 2; }));
  EXPECT_EQ(cycleEnv->log.count("pull"), 0u);
  EXPECT_EQ(cycleEnv->log.count("network=0"), 1u);
}

TEST_F(KXSyncManagerFixture, NetworkBackTriggers) {
  struct Row {
    const char* name;
    bool signedIn, cookie, password;
    std::size_t cycles;
    const char* envEvent;  // what the manager asked of the session or menu
    bool alert;
  };
  const std::vector<Row> rows = {
      {"signed in", true, false, false, 1, nullptr, false},
      {"cookie", false, true, false, 0, "checkLogin", false},
      {"stored password", false, false, true, 0, "doLogin", false},
      {"no way back", false, false, false, 0, "logout(main)", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    env->signedIn = row.signedIn;
    env->persistCookie = row.cookie;
    env->storedPassword = row.password;
    makeManager();
    // The watcher posts on its own queue, never on the main queue.
    kx::SerialQueue watcherQueue("test.net-reach");
    watcherQueue.async([&] { postNetwork(true); });
    ASSERT_TRUE(kxtest::waitForQueue(watcherQueue));
    ASSERT_TRUE(idle());
    kx::MainQueue::shared().drain();
    EXPECT_EQ(recorder->log.count("start"), row.cycles);
    EXPECT_EQ(cycleEnv->log.count("network=1"), 1u);
    EXPECT_EQ(cycleEnv->log.count("index"), 1u + 2 * row.cycles);
    if (row.envEvent != nullptr) {
      EXPECT_EQ(env->log.events(), (std::vector<std::string>{row.envEvent}));
    }
    if (row.alert) {
      EXPECT_EQ(
          alerts->log.events(),
          (std::vector<std::string>{"Sorry, synchronization errors|Please login again|main"}));
      EXPECT_EQ(alerts->buttons.events(), (std::vector<std::string>{"1"})) << "one default button";
    } else {
      EXPECT_TRUE(alerts->log.events().empty());
    }
    TearDown();
    manager.reset();
  }
}

TEST_F(KXSyncManagerFixture, NetworkBackWhileACycleRunsAddsNone) {
  cycleEnv->userMetaAnswer = Answer::kHold;
  makeManager();
  manager->sync();
  ASSERT_TRUE(pumpUntilRunning());
  postNetwork(true);
  EXPECT_EQ(manager->syncQueue().operationCount(), 1u);
}

TEST_F(KXSyncManagerFixture, SignOutCancelsEveryCycleWithoutAnEnd) {
  cycleEnv->userMetaAnswer = Answer::kHold;
  makeManager();
  manager->sync();
  ASSERT_TRUE(pumpUntilRunning());
  manager->sync();
  ASSERT_EQ(manager->syncQueue().operationCount(), 2u);
  manager->cancelTaskWhenLogoff();
  ASSERT_TRUE(idle());
  // The held answer arrives late and changes nothing.
  cycleEnv->userMetaAnswer = Answer::kSucceed;
  ASSERT_TRUE(cycleEnv->releaseHeld());
  ASSERT_TRUE(kxtest::waitForQueue(KXSyncOperation::queue()));
  kx::MainQueue::shared().drain();
  EXPECT_EQ(recorder->log.events(), (std::vector<std::string>{"start"}));
  EXPECT_EQ(cycleEnv->log.count("pull"), 0u);
  EXPECT_EQ(cycleEnv->log.count("userMeta(self)"), 1u) << "the waiting cycle never began";
}

}  // namespace
