#include "CommonUtils/KXReachabilityWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Semaphore.h"
#include "support/QueueBarrier.h"

namespace {

struct FakeProbe : KXReachabilityProbe {
  explicit FakeProbe(std::shared_ptr<std::atomic<bool>> answer) : answer(std::move(answer)) {}
  bool isReachable(const std::string& host) override {
    hosts.push_back(host);
    return answer->load();
  }
  std::shared_ptr<std::atomic<bool>> answer;
  std::vector<std::string> hosts;  // used on the watcher's queue only
};

struct FakeMonitor : KXNetworkChangeMonitor {
  explicit FakeMonitor(std::function<void()>* trigger) : trigger(trigger) {}
  bool start(std::function<void()> onChange) override {
    *trigger = std::move(onChange);
    return true;
  }
  void stop() override { stopped = true; }
  std::function<void()>* trigger;
  bool stopped = false;
};

struct Posted {
  bool isConnection;
  std::string queueLabel;
  const void* object;
};

class KXReachabilityWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    token_ = center_.addObserver(KXReachabilityWatcher::kNotificationName, nullptr, nullptr,
                                 [this](const kx::Notification& n) {
                                   std::lock_guard<std::mutex> lock(mu_);
                                   posted_.push_back({n.userInfo["isConnection"].boolValue(),
                                                      kx::Queue::currentLabel(), n.object});
                                   arrived_.signal();
                                 });
  }
  void TearDown() override { center_.removeObserver(token_); }

  std::unique_ptr<KXReachabilityWatcher> makeWatcher(double poll = 0) {
    return std::make_unique<KXReachabilityWatcher>(
        "service.example", std::make_unique<FakeProbe>(answer_),
        std::make_unique<FakeMonitor>(&trigger_), poll, &center_);
  }
  std::vector<Posted> posted() {
    std::lock_guard<std::mutex> lock(mu_);
    return posted_;
  }

  std::shared_ptr<std::atomic<bool>> answer_ = std::make_shared<std::atomic<bool>>(false);
  std::function<void()> trigger_;
  kx::NotificationCenter center_;
  kx::NotificationCenter::Token token_ = 0;
  std::mutex mu_;
  std::vector<Posted> posted_;  // guarded by mu_
  kx::Semaphore arrived_;
};

TEST_F(KXReachabilityWatcherTest, PostsOnItsQueueOnlyWhenTheAnswerChanges) {
  auto watcher = makeWatcher();
  watcher->start();
  ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
  EXPECT_TRUE(posted().empty()) << "the starting state is not a change";
  EXPECT_FALSE(watcher->canConnect());

  answer_->store(true);
  trigger_();
  ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
  trigger_();  // same answer again
  ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
  ASSERT_EQ(posted().size(), 1u);
  EXPECT_TRUE(posted()[0].isConnection);
  EXPECT_EQ(posted()[0].queueLabel, "com.zarvel.note.queue.net-reach");
  EXPECT_EQ(posted()[0].object, nullptr);
  EXPECT_TRUE(watcher->canConnect());

  answer_->store(false);
  watcher->checkNow();
  ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
  ASSERT_EQ(posted().size(), 2u);
  EXPECT_FALSE(posted()[1].isConnection);
  EXPECT_FALSE(watcher->canConnect());
}

TEST_F(KXReachabilityWatcherTest, CanConnectBeforeAnyCheckAsksTheProbeOnce) {
  answer_->store(true);
  auto watcher = makeWatcher();  // not started
  EXPECT_TRUE(watcher->canConnect());
  answer_->store(false);
  EXPECT_TRUE(watcher->canConnect()) << "the last answer stands until a check";
  EXPECT_TRUE(posted().empty());
}

TEST_F(KXReachabilityWatcherTest, PollCatchesAChangeTheMonitorMissed) {
  auto watcher = makeWatcher(/*poll=*/0.01);
  watcher->start();
  ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
  answer_->store(true);  // no trigger: only the poll can see it
  ASSERT_TRUE(arrived_.wait(10.0));
  ASSERT_GE(posted().size(), 1u);
  EXPECT_TRUE(posted()[0].isConnection);
  watcher.reset();  // stops the poll; a late timer must not touch freed memory
}

}  // namespace
