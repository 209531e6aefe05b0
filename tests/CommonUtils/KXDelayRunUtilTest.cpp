#include "CommonUtils/KXDelayRunUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/GlobalQueue.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"

namespace {

// Records each run of the task and keeps its completion for the test to
// call when it wants the run to finish.
struct RecordingTask {
  std::mutex mu;
  std::vector<KXDelayRunUtil::Completion> completions;  // one per run
  std::vector<std::string> labels;                      // queue of each run

  KXDelayRunUtil::MainTask task() {
    return [this](KXDelayRunUtil::Completion completion) {
      std::lock_guard<std::mutex> lock(mu);
      completions.push_back(std::move(completion));
      labels.push_back(kx::Queue::currentLabel());
    };
  }
  std::size_t runs() {
    std::lock_guard<std::mutex> lock(mu);
    return completions.size();
  }
  // Completes run `index` (0-based).
  void finish(std::size_t index) {
    KXDelayRunUtil::Completion completion;
    {
      std::lock_guard<std::mutex> lock(mu);
      completion = completions.at(index);
    }
    if (completion) completion();
  }
  bool runHasCompletion(std::size_t index) {
    std::lock_guard<std::mutex> lock(mu);
    return static_cast<bool>(completions.at(index));
  }
};

class KXDelayRunUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<kxtest::KXManualDelayClock>();
    util_ = KXDelayRunUtil::utilWithDelaySec(2.0f, task_.task(), clock_);
  }
  // Lets every open window close, so that no armed timer keeps the runner
  // (which holds the clock) alive.
  void TearDown() override {
    for (int i = 0; i < 10 && clock_->pendingCount() > 0; ++i) {
      clock_->advance(100);
      if (util_) settle();
    }
  }
  void settle() { ASSERT_TRUE(kxtest::waitForQueue(*util_->serialQueue())); }
  // Lets the window close and waits for what it queued.
  void closeWindow() {
    clock_->advance(util_->delaySec());
    settle();
  }
  KXDelayRunUtil::Completion note(const std::string& name) {
    return [this, name] {
      std::lock_guard<std::mutex> lock(mu_);
      called_.push_back(name);
    };
  }
  std::vector<std::string> called() {
    std::lock_guard<std::mutex> lock(mu_);
    return called_;
  }

  RecordingTask task_;
  std::shared_ptr<kxtest::KXManualDelayClock> clock_;
  std::shared_ptr<KXDelayRunUtil> util_;
  std::mutex mu_;
  std::vector<std::string> called_;  // guarded by mu_
};

TEST_F(KXDelayRunUtilTest, SingleRequestRunsOnceAndTheCycleEnds) {
  util_->runWithCallback(note("a"));
  settle();
  ASSERT_EQ(task_.runs(), 1u);
  EXPECT_EQ(task_.labels[0], KXDelayRunUtil::kQueueLabel);
  task_.finish(0);
  EXPECT_EQ(called(), std::vector<std::string>{"a"});

  closeWindow();
  EXPECT_EQ(task_.runs(), 1u);
  EXPECT_EQ(clock_->pendingCount(), 0u) << "a quiet window must end the cycle";

  // After the cycle a request runs at once again.
  util_->runWithCallback(note("b"));
  settle();
  EXPECT_EQ(task_.runs(), 2u);
}

TEST_F(KXDelayRunUtilTest, BurstCollapsesIntoOneFollowUpRunThatServesTheKeptRequests) {
  for (const char* name : {"1", "2", "3", "4", "5"}) util_->runWithCallback(note(name));
  settle();
  ASSERT_EQ(task_.runs(), 1u);
  task_.finish(0);
  EXPECT_EQ(called(), std::vector<std::string>{"1"});

  closeWindow();
  ASSERT_EQ(task_.runs(), 2u);
  EXPECT_EQ(called().size(), 1u) << "kept requests wait for the run that covers them";
  task_.finish(1);
  EXPECT_EQ(called(), (std::vector<std::string>{"1", "2", "3", "4", "5"}));

  // The follow-up opened a window of its own; it closes quietly.
  closeWindow();
  EXPECT_EQ(task_.runs(), 2u);
  EXPECT_EQ(clock_->pendingCount(), 0u);
}

TEST_F(KXDelayRunUtilTest, RequestKeptAfterAFollowUpStartedWaitsForTheNextRun) {
  util_->runWithCallback(note("first"));
  util_->runWithCallback(note("kept"));
  settle();
  closeWindow();  // follow-up run for "kept" starts, not finished yet
  ASSERT_EQ(task_.runs(), 2u);

  util_->runWithCallback(note("late"));  // arrives while the follow-up runs
  settle();
  task_.finish(1);
  EXPECT_EQ(called(), std::vector<std::string>{"kept"})
      << "a run must not answer a request that came after it started";

  closeWindow();
  ASSERT_EQ(task_.runs(), 3u);
  task_.finish(2);
  EXPECT_EQ(called(), (std::vector<std::string>{"kept", "late"}));
  task_.finish(0);
  EXPECT_EQ(called(), (std::vector<std::string>{"kept", "late", "first"}));
}

TEST_F(KXDelayRunUtilTest, RequestsWithoutCompletionNeverWait) {
  for (int i = 0; i < 3; ++i) util_->runWithCallback(nullptr);
  settle();
  ASSERT_EQ(task_.runs(), 3u);
  EXPECT_FALSE(task_.runHasCompletion(0)) << "a run that serves nobody gets no completion";
  EXPECT_EQ(clock_->pendingCount(), 3u) << "each immediate run arms a window";
  closeWindow();
  EXPECT_EQ(task_.runs(), 3u);
  EXPECT_EQ(clock_->pendingCount(), 0u);
}

TEST_F(KXDelayRunUtilTest, ImmediateRunCoversRequestsKeptBeforeIt) {
  util_->runWithCallback(note("opener"));
  util_->runWithCallback(note("kept"));
  util_->runWithCallback(nullptr);  // runs at once, after "kept" arrived
  settle();
  ASSERT_EQ(task_.runs(), 2u);
  task_.finish(1);
  EXPECT_EQ(called(), std::vector<std::string>{"kept"});

  // Nothing is left for the window ends.
  closeWindow();
  EXPECT_EQ(task_.runs(), 2u);
}

TEST_F(KXDelayRunUtilTest, CompletionCalledTwiceAnswersOnce) {
  util_->runWithCallback(note("a"));
  settle();
  task_.finish(0);
  task_.finish(0);
  EXPECT_EQ(called(), std::vector<std::string>{"a"});
}

TEST_F(KXDelayRunUtilTest, CompletionsAreCalledAfterTheRunnerIsGone) {
  util_->runWithCallback(note("a"));
  settle();
  std::weak_ptr<KXDelayRunUtil> weak = util_;
  util_.reset();
  clock_->advance(2.0);  // the window's timer held the last reference
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return weak.expired(); }));
  task_.finish(0);
  EXPECT_EQ(called(), std::vector<std::string>{"a"});
}

TEST_F(KXDelayRunUtilTest, RunsOnTheQueueItIsGiven) {
  auto queue = std::make_shared<kx::SerialQueue>("com.zarvel.note.test.delay");
  util_->setSerialQueue(queue);
  util_->setSerialQueue(nullptr);  // ignored
  EXPECT_EQ(util_->serialQueue(), queue);
  util_->runWithCallback(note("a"));
  util_->runWithCallback(note("b"));
  settle();
  closeWindow();
  ASSERT_EQ(task_.runs(), 2u);
  EXPECT_EQ(task_.labels[0], "com.zarvel.note.test.delay");
  EXPECT_EQ(task_.labels[1], "com.zarvel.note.test.delay");
}

TEST_F(KXDelayRunUtilTest, WindowOpenedBeforeAQueueChangeStillServesItsRequests) {
  std::shared_ptr<kx::SerialQueue> before = util_->serialQueue();
  util_->runWithCallback(note("opener"));
  settle();
  // The runner lets go of its first queue; the armed window keeps it.
  util_->setSerialQueue(std::make_shared<kx::SerialQueue>("com.zarvel.note.test.delay"));
  before.reset();
  util_->runWithCallback(note("kept"));  // on the new queue, inside the window
  settle();
  ASSERT_EQ(task_.runs(), 1u);

  clock_->advance(util_->delaySec());  // the window closes on the old queue
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return task_.runs() == 2u; }));
  EXPECT_EQ(task_.labels[1], KXDelayRunUtil::kQueueLabel);
  task_.finish(1);
  EXPECT_EQ(called(), std::vector<std::string>{"kept"});

  // Its follow-up window was armed on the new queue.
  closeWindow();
  EXPECT_EQ(task_.runs(), 2u);
  EXPECT_EQ(clock_->pendingCount(), 0u);
}

TEST_F(KXDelayRunUtilTest, EveryRequestIsAnsweredOnceUnderConcurrentRequestsAndCompletions) {
  // The task completes later on a global queue, while other threads keep
  // requesting; every callback must be called exactly once.
  std::atomic<int> answered{0};
  std::atomic<int> extra{0};
  util_->setMainTask([](KXDelayRunUtil::Completion completion) {
    if (completion) kx::GlobalQueue::get().async([completion] { completion(); });
  });
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        auto once = std::make_shared<std::atomic<bool>>(false);
        util_->runWithCallback([&answered, &extra, once] {
          if (once->exchange(true)) {
            extra.fetch_add(1);
          } else {
            answered.fetch_add(1);
          }
        });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int round = 0; round < 100 && answered.load() < kThreads * kPerThread; ++round) {
    clock_->advance(2.0);
    settle();
    ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  }
  EXPECT_EQ(answered.load(), kThreads * kPerThread);
  EXPECT_EQ(extra.load(), 0);
}

}  // namespace
