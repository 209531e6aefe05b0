#include "platform/OperationQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

// Counts starts across operations, so tests can wait for a number of them.
struct StartLog {
  std::mutex mu;
  std::condition_variable changed;
  std::vector<int> started;  // guarded by mu
  int concurrent = 0;        // guarded by mu
  int maxConcurrent = 0;     // guarded by mu

  bool waitForStarts(std::size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return started.size() >= n; });
  }
};

// An asynchronous operation that runs until finish() or cancel(). It is
// marked executing before its start is logged, so a test that saw the start
// also sees it executing; finish() acts once, whichever of the test, cancel()
// or start() calls it first.
class HeldOperation : public kx::Operation {
 public:
  HeldOperation(StartLog* log, int index) : log_(log), index_(index) {}
  bool isAsynchronous() const override { return true; }
  void start() override {
    startedCancelled_ = isCancelled();
    if (!startedCancelled_) setExecuting(true);
    {
      std::lock_guard<std::mutex> lock(log_->mu);
      log_->started.push_back(index_);
      if (!startedCancelled_) {
        ++log_->concurrent;
        log_->maxConcurrent = std::max(log_->maxConcurrent, log_->concurrent);
      }
      // Under the lock: a test that sees the start may end and destroy the
      // log as soon as it can take the lock.
      log_->changed.notify_all();
    }
    if (startedCancelled_) {
      setFinished(true);
      return;
    }
    // A cancel that came between the check above and setExecuting() saw the
    // operation not executing yet and left the finish to us.
    if (isCancelled()) finish();
  }
  void cancel() override {
    kx::Operation::cancel();
    if (isExecuting()) finish();
  }
  void finish() {
    if (done_.exchange(true)) return;
    {
      std::lock_guard<std::mutex> lock(log_->mu);
      --log_->concurrent;
    }
    setExecuting(false);
    setFinished(true);
  }
  bool startedCancelled() const { return startedCancelled_; }

 private:
  StartLog* log_;
  int index_;
  std::atomic<bool> startedCancelled_{false};
  std::atomic<bool> done_{false};
};

class CountingOperation : public kx::Operation {
 public:
  explicit CountingOperation(std::atomic<int>* runs) : runs_(runs) {}
  void main() override { ++*runs_; }

 private:
  std::atomic<int>* runs_;
};

TEST(OperationQueueTest, AsynchronousOperationsKeepTheirSlotUntilTheyFinish) {
  StartLog log;
  kx::OperationQueue queue("test.width", 7);
  std::vector<std::shared_ptr<HeldOperation>> ops;
  for (int i = 0; i < 10; ++i) {
    ops.push_back(std::make_shared<HeldOperation>(&log, i));
    ASSERT_TRUE(queue.addOperation(ops.back()));
  }
  ASSERT_TRUE(log.waitForStarts(7));
  EXPECT_EQ(queue.runningCount(), 7u);
  EXPECT_EQ(queue.operationCount(), 10u);
  {
    std::lock_guard<std::mutex> lock(log.mu);
    EXPECT_EQ(log.started.size(), 7u);
    EXPECT_EQ(log.started.back() < 7, true);
  }
  ops[3]->finish();
  ASSERT_TRUE(log.waitForStarts(8));
  {
    std::lock_guard<std::mutex> lock(log.mu);
    EXPECT_EQ(log.started.back(), 7);  // the oldest waiting one
  }
  for (auto& op : ops) {
    if (op->isExecuting()) op->finish();
  }
  ASSERT_TRUE(log.waitForStarts(10));
  for (int i = 8; i < 10; ++i) ops[i]->finish();
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(10));
  EXPECT_EQ(log.maxConcurrent, 7);
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, CancelAllStopsRunningAndFinishesWaitingOperations) {
  StartLog log;
  kx::OperationQueue queue("test.cancel", 2);
  std::vector<std::shared_ptr<HeldOperation>> ops;
  for (int i = 0; i < 5; ++i) {
    ops.push_back(std::make_shared<HeldOperation>(&log, i));
    queue.addOperation(ops.back());
  }
  ASSERT_TRUE(log.waitForStarts(2));
  queue.cancelAllOperations();
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(10));
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(ops[i]->isCancelled()) << i;
    EXPECT_TRUE(ops[i]->isFinished()) << i;
    EXPECT_FALSE(ops[i]->isExecuting()) << i;
    // The waiting ones were started, saw the mark and finished at once.
    EXPECT_EQ(ops[i]->startedCancelled(), i >= 2) << i;
  }
  // The queue goes on with later operations.
  auto later = std::make_shared<HeldOperation>(&log, 5);
  queue.addOperation(later);
  ASSERT_TRUE(log.waitForStarts(6));
  EXPECT_FALSE(later->startedCancelled());
  later->finish();
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(10));
}

TEST(OperationQueueTest, SynchronousOperationsRunMainOnceAndCancelledOnesNever) {
  std::atomic<int> runs{0};
  kx::OperationQueue queue("test.sync", 3);
  std::vector<std::shared_ptr<CountingOperation>> ops;
  for (int i = 0; i < 20; ++i) ops.push_back(std::make_shared<CountingOperation>(&runs));
  ops[0]->cancel();
  for (auto& op : ops) ASSERT_TRUE(queue.addOperation(op));
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(10));
  EXPECT_EQ(runs.load(), 19);
  for (auto& op : ops) EXPECT_TRUE(op->isFinished());
}

TEST(OperationQueueTest, AnOperationJoinsOneQueueOnce) {
  std::atomic<int> runs{0};
  kx::OperationQueue a("test.a", 1), b("test.b", 1);
  auto op = std::make_shared<CountingOperation>(&runs);
  EXPECT_TRUE(a.addOperation(op));
  EXPECT_FALSE(a.addOperation(op));
  EXPECT_FALSE(b.addOperation(op));
  EXPECT_FALSE(a.addOperation(nullptr));
  ASSERT_TRUE(a.waitUntilAllOperationsAreFinished(10));
  EXPECT_TRUE(b.addOperation(std::make_shared<CountingOperation>(&runs)));
  ASSERT_TRUE(b.waitUntilAllOperationsAreFinished(10));
  EXPECT_EQ(runs.load(), 2);
}

}  // namespace
