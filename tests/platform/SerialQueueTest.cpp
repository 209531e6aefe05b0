#include "platform/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Semaphore.h"
#include "platform/WorkerPool.h"
#include "support/QueueBarrier.h"

namespace {

using kx::Queue;
using kx::Semaphore;
using kx::SerialQueue;

// Collects what the exception handler reports, restoring the default after.
class ExceptionLog {
 public:
  ExceptionLog() {
    Queue::setExceptionHandler([this](const std::string& where, const std::string& what) {
      std::lock_guard<std::mutex> lock(mu_);
      reports_.emplace_back(where, what);
    });
  }
  ~ExceptionLog() { Queue::setExceptionHandler(nullptr); }
  std::vector<std::pair<std::string, std::string>> reports() {
    std::lock_guard<std::mutex> lock(mu_);
    return reports_;
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> reports_;
};

TEST(SerialQueueTest, KeepsEachProducersOrderAndNeverOverlaps) {
  SerialQueue queue("test.fifo");
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 2000;
  // Written only by the queue's tasks: the sanitizer checks they are serialised.
  std::vector<std::pair<int, int>> seen;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        queue.async([&, p, i] {
          if (inside.fetch_add(1) != 0) overlapped = true;
          seen.emplace_back(p, i);
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(kxtest::waitForQueue(queue));

  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kProducers * kPerProducer));
  std::vector<int> next(kProducers, 0);
  for (const auto& [p, i] : seen) {
    ASSERT_EQ(i, next[p]) << "producer " << p << " out of order";
    ++next[p];
  }
}

TEST(SerialQueueTest, SyncRunsOnCallerAfterEarlierTasks) {
  SerialQueue queue("test.sync");
  std::vector<int> order;
  Semaphore gate;
  queue.async([&] { gate.wait(); });
  for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
  std::thread opener([&] { gate.signal(); });

  std::thread::id ranOn;
  size_t countInSync = 0;
  Queue* currentInSync = nullptr;
  queue.sync([&] {
    ranOn = std::this_thread::get_id();
    countInSync = order.size();
    currentInSync = Queue::current();
  });
  opener.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(countInSync, 100u);
  EXPECT_EQ(currentInSync, &queue);
  EXPECT_EQ(Queue::current(), nullptr);
}

TEST(SerialQueueTest, SyncFromManyThreadsIsMutuallyExclusiveWithTasks) {
  SerialQueue queue("test.mixed");
  long counter = 0;  // plain on purpose: only the queue may touch it
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        if ((i + t) % 3 == 0) {
          queue.sync([&] { ++counter; });
        } else {
          queue.async([&] { ++counter; });
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  long final = 0;
  queue.sync([&] { final = counter; });
  EXPECT_EQ(final, 6 * 300);
}

TEST(SerialQueueTest, SyncIsReentrant) {
  SerialQueue a("test.a");
  SerialQueue b("test.b");

  // Same queue, from inside one of its tasks and from inside a sync onto it.
  std::vector<std::string> trail;
  Semaphore done;
  a.async([&] {
    a.sync([&] {
      trail.push_back(Queue::currentLabel());
      a.sync([&] { trail.push_back("nested"); });
    });
    done.signal();
  });
  ASSERT_TRUE(done.wait(10));
  EXPECT_EQ(trail, (std::vector<std::string>{"test.a", "nested"}));

  // A -> B -> A, both from a thread of no queue and from a task of A.
  auto roundTrip = [&](std::vector<std::string>* labels) {
    a.sync([&] {
      labels->push_back(Queue::currentLabel());
      b.sync([&] {
        labels->push_back(Queue::currentLabel());
        EXPECT_TRUE(a.isCurrent());
        EXPECT_TRUE(b.isCurrent());
        a.sync([&] { labels->push_back(Queue::currentLabel()); });
        labels->push_back(Queue::currentLabel());
      });
      labels->push_back(Queue::currentLabel());
      EXPECT_FALSE(b.isCurrent());
    });
  };
  const std::vector<std::string> expected{"test.a", "test.b", "test.a", "test.b", "test.a"};
  std::vector<std::string> fromOutside;
  roundTrip(&fromOutside);
  EXPECT_EQ(fromOutside, expected);

  std::vector<std::string> fromTask;
  a.async([&] {
    roundTrip(&fromTask);
    done.signal();
  });
  ASSERT_TRUE(done.wait(10));
  EXPECT_EQ(fromTask, expected);
}

TEST(SerialQueueTest, CurrentQueueAndLabel) {
  EXPECT_EQ(Queue::current(), nullptr);
  EXPECT_EQ(Queue::currentLabel(), "");
  SerialQueue queue("com.zarvel.note.test.label");
  SerialQueue unnamed;
  EXPECT_FALSE(queue.isCurrent());

  Queue* seenQueue = nullptr;
  std::string seenLabel = "unset";
  std::string unnamedLabel = "unset";
  queue.async([&] {
    seenQueue = Queue::current();
    seenLabel = Queue::currentLabel();
  });
  unnamed.async([&] { unnamedLabel = Queue::currentLabel(); });
  ASSERT_TRUE(kxtest::waitForQueue(queue));
  ASSERT_TRUE(kxtest::waitForQueue(unnamed));
  EXPECT_EQ(seenQueue, &queue);
  EXPECT_EQ(seenLabel, "com.zarvel.note.test.label");
  EXPECT_EQ(unnamedLabel, "");
  EXPECT_EQ(queue.label(), "com.zarvel.note.test.label");
}

TEST(SerialQueueTest, ExceptionInTaskIsReportedAndQueueGoesOn) {
  ExceptionLog log;
  SerialQueue queue("test.throws");
  std::vector<int> ran;
  queue.async([] { throw std::runtime_error("boom"); });
  queue.async([] { throw 42; });
  queue.async([&] { ran.push_back(1); });
  queue.sync([] { throw std::logic_error("in sync"); });  // must not reach the caller
  queue.async([&] { ran.push_back(2); });
  ASSERT_TRUE(kxtest::waitForQueue(queue));

  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  auto reports = log.reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].first, "test.throws");
  EXPECT_EQ(reports[0].second, "boom");
  EXPECT_EQ(reports[1].second, "unknown exception");
  EXPECT_EQ(reports[2].second, "in sync");
}

TEST(SerialQueueTest, AfterRunsByDeadlineAndNotBefore) {
  SerialQueue queue("test.after");
  std::vector<std::string> order;
  Semaphore done;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration lateAt{};
  queue.after(0.06, [&] {
    order.push_back("late");
    lateAt = std::chrono::steady_clock::now() - start;
    done.signal();
  });
  queue.after(0.02, [&] { order.push_back("early"); });
  queue.after(-1, [&] { order.push_back("now"); });
  queue.async([&] { order.push_back("async"); });
  ASSERT_TRUE(done.wait(10));
  ASSERT_TRUE(kxtest::waitForQueue(queue));
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[2], "early");
  EXPECT_EQ(order[3], "late");
  EXPECT_GE(lateAt, std::chrono::milliseconds(60));
}

TEST(SerialQueueTest, DestructionDrainsQueuedTasks) {
  std::atomic<int> ran{0};
  Semaphore gate;
  auto queue = std::make_unique<SerialQueue>("test.drain");
  queue->async([&] { gate.wait(); });
  for (int i = 0; i < 50; ++i) {
    queue->async([&, q = queue.get()] {
      ++ran;
      // Tasks queued while the destructor waits run before it returns.
      if (ran == 1) q->async([&] { ran += 100; });
    });
  }
  std::thread opener([&] { gate.signal(); });
  queue.reset();
  EXPECT_EQ(ran.load(), 150);
  opener.join();
}

TEST(SerialQueueTest, DestroyedByItsOwnTaskRunsTheRestAnonymously) {
  auto queue = std::make_unique<SerialQueue>("test.self");
  Semaphore gate;
  Semaphore done;
  Queue* currentAfterReset = reinterpret_cast<Queue*>(1);
  Queue* currentInLater = reinterpret_cast<Queue*>(1);
  std::string labelInLater;
  queue->async([&] {
    gate.wait();
    queue.reset();
    currentAfterReset = Queue::current();
  });
  queue->async([&] {
    currentInLater = Queue::current();
    labelInLater = Queue::currentLabel();
    done.signal();
  });
  gate.signal();
  ASSERT_TRUE(done.wait(10));
  EXPECT_EQ(currentAfterReset, nullptr);
  EXPECT_EQ(currentInLater, nullptr);
  EXPECT_EQ(labelInLater, "test.self");
}

TEST(SerialQueueTest, TaskHoldingLastOwnerMayDestroyQueue) {
  // The usual shape: an object owns a queue and a task holds the object.
  struct Owner {
    SerialQueue queue{"test.owner"};
  };
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<Owner> weak = owner;
  Semaphore done;
  owner->queue.async([owner, &done] { done.signal(); });
  owner.reset();
  ASSERT_TRUE(done.wait(10));
  // The task's captures go with it, and with them the queue; a barrier on
  // another queue gives the worker time to finish without a sleep.
  SerialQueue other("test.other");
  while (!weak.expired()) ASSERT_TRUE(kxtest::waitForQueue(other));
}

TEST(SerialQueueTest, DelayedTaskOfDestroyedQueueIsDropped) {
  std::atomic<bool> ran{false};
  auto queue = std::make_unique<SerialQueue>("test.dropped");
  // The delay leaves ample room for the reset on a loaded machine: the task
  // must be dropped because its queue is gone, not because it came late.
  queue->after(0.5, [&] { ran = true; });
  queue.reset();
  // The timer fires entries in deadline order: once a later one has run, the
  // dropped one has been handled.
  SerialQueue witness("test.witness");
  Semaphore later;
  witness.after(0.55, [&] { later.signal(); });
  ASSERT_TRUE(later.wait(10));
  EXPECT_FALSE(ran);
}

TEST(SerialQueueTest, ManyQueuesShareFewThreads) {
  constexpr int kQueues = 2000;
  std::vector<std::unique_ptr<SerialQueue>> queues;
  for (int i = 0; i < kQueues; ++i) {
    queues.push_back(std::make_unique<SerialQueue>("test.many." + std::to_string(i)));
  }
  std::mutex mu;
  std::set<std::thread::id> threads;
  Semaphore done;
  for (auto& q : queues) {
    q->async([&] {
      {
        std::lock_guard<std::mutex> lock(mu);
        threads.insert(std::this_thread::get_id());
      }
      done.signal();
    });
  }
  for (int i = 0; i < kQueues; ++i) ASSERT_TRUE(done.wait(10));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_LT(threads.size(), 200u);
}

TEST(SerialQueueTest, BlockedTasksDoNotStarveOtherQueues) {
  // Every task but the last waits for the next one, so all of them must run
  // at once: more than the pool starts without noticing a stall.
  const int n = static_cast<int>(kx::WorkerPool::shared().softLimit()) * 2 + 3;
  std::vector<std::unique_ptr<SerialQueue>> queues;
  std::vector<std::unique_ptr<Semaphore>> release;
  for (int i = 0; i < n; ++i) {
    queues.push_back(std::make_unique<SerialQueue>("test.chain." + std::to_string(i)));
    release.push_back(std::make_unique<Semaphore>());
  }
  Semaphore finished;
  for (int i = 0; i < n; ++i) {
    queues[i]->async([&, i] {
      if (i < n - 1) release[i]->wait();
      if (i > 0) release[i - 1]->signal();
      finished.signal();
    });
  }
  for (int i = 0; i < n; ++i) ASSERT_TRUE(finished.wait(20));
}

}  // namespace
