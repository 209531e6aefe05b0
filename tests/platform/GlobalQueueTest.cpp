#include "platform/GlobalQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Semaphore.h"
#include "support/QueueBarrier.h"

namespace {

using kx::GlobalQueue;
using kx::Queue;
using kx::QueuePriority;
using kx::Semaphore;

TEST(GlobalQueueTest, OneQueuePerPriorityWithItsLabel) {
  const struct {
    QueuePriority priority;
    const char* label;
  } cases[] = {
      {QueuePriority::Background, "kx.global.background"},
      {QueuePriority::Default, "kx.global.default"},
      {QueuePriority::High, "kx.global.high"},
  };
  for (const auto& c : cases) {
    GlobalQueue& queue = GlobalQueue::get(c.priority);
    EXPECT_EQ(&queue, &GlobalQueue::get(c.priority));
    EXPECT_EQ(queue.label(), c.label);
    EXPECT_EQ(queue.priority(), c.priority);

    Queue* seen = nullptr;
    std::string label;
    Semaphore done;
    queue.async([&] {
      seen = Queue::current();
      label = Queue::currentLabel();
      done.signal();
    });
    ASSERT_TRUE(done.wait(10));
    EXPECT_EQ(seen, &queue);
    EXPECT_EQ(label, c.label);
  }
  EXPECT_EQ(&GlobalQueue::get(), &GlobalQueue::get(QueuePriority::Default));
  EXPECT_GE(GlobalQueue::poolSize(), 2u);
}

TEST(GlobalQueueTest, RunsTasksConcurrently) {
  // Two tasks that each wait for the other finish only when both run at once.
  GlobalQueue& queue = GlobalQueue::get(QueuePriority::Default);
  Semaphore a, b, done;
  queue.async([&] {
    a.signal();
    ASSERT_TRUE(b.wait(10));
    done.signal();
  });
  queue.async([&] {
    b.signal();
    ASSERT_TRUE(a.wait(10));
    done.signal();
  });
  ASSERT_TRUE(done.wait(10));
  ASSERT_TRUE(done.wait(10));
}

// Tasks that each wait until all of them run finish only when every pool
// thread runs one. They are queued just after quick tasks ended, while the
// threads that ran those still look for work: a sleeping thread must still be
// woken for every task beyond the ones the looking threads take.
TEST(GlobalQueueTest, EveryPoolThreadIsWokenForTasksThatWaitForEachOther) {
  GlobalQueue& queue = GlobalQueue::get(QueuePriority::Default);
  const size_t n = GlobalQueue::poolSize();
  struct Round {
    Semaphore arrived, go, done;
  };
  for (int round = 0; round < 20; ++round) {
    auto r = std::make_shared<Round>();
    Semaphore warm;
    for (int i = 0; i < 2; ++i) queue.async([&warm] { warm.signal(); });
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(warm.wait(10));
    for (size_t i = 0; i < n; ++i) {
      queue.async([r] {
        r->arrived.signal();
        r->go.wait();
        r->done.signal();
      });
    }
    size_t arrived = 0;
    while (arrived < n && r->arrived.wait(10)) ++arrived;
    for (size_t i = 0; i < n; ++i) r->go.signal();  // frees the pool even on failure
    ASSERT_EQ(arrived, n) << "round " << round;
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(r->done.wait(10));
  }
}

TEST(GlobalQueueTest, BarrierWaitsForEveryEarlierTask) {
  GlobalQueue& queue = GlobalQueue::get(QueuePriority::Background);
  std::atomic<int> finished{0};
  for (int i = 0; i < 1000; ++i) {
    queue.async([&finished, i] {
      if (i % 100 == 0) std::this_thread::yield();
      ++finished;
    });
  }
  ASSERT_TRUE(kxtest::waitForQueue(queue));
  EXPECT_EQ(finished.load(), 1000);
}

TEST(GlobalQueueTest, BarrierTimesOutOnAStuckTask) {
  GlobalQueue& queue = GlobalQueue::get(QueuePriority::Default);
  auto gate = std::make_shared<Semaphore>();
  queue.async([gate] { gate->wait(); });
  EXPECT_FALSE(queue.waitForEarlierTasks(0.02));
  gate->signal();
  EXPECT_TRUE(queue.waitForEarlierTasks(10));
}

TEST(GlobalQueueTest, FreeThreadTakesHighestPriorityFirst) {
  // Hold every pool thread, then free exactly one: it alone works through the
  // backlog, so the order it picks is the order of the record.
  const size_t n = GlobalQueue::poolSize();
  GlobalQueue& high = GlobalQueue::get(QueuePriority::High);
  GlobalQueue& normal = GlobalQueue::get(QueuePriority::Default);
  GlobalQueue& background = GlobalQueue::get(QueuePriority::Background);
  std::vector<std::unique_ptr<Semaphore>> gates;
  Semaphore started;
  for (size_t i = 0; i < n; ++i) {
    gates.push_back(std::make_unique<Semaphore>());
    Semaphore* gate = gates.back().get();
    high.async([gate, &started] {
      started.signal();
      gate->wait();
    });
  }
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(started.wait(10));

  std::mutex mu;
  std::vector<std::string> order;
  auto record = [&](std::string what) {
    return [&, what] {
      std::lock_guard<std::mutex> lock(mu);
      order.push_back(what);
    };
  };
  background.async(record("b1"));
  normal.async(record("d1"));
  high.async(record("h1"));
  background.async(record("b2"));
  high.async(record("h2"));
  normal.async(record("d2"));

  gates[0]->signal();
  ASSERT_TRUE(kxtest::waitForQueue(background));
  for (size_t i = 1; i < n; ++i) gates[i]->signal();
  ASSERT_TRUE(kxtest::waitForQueue(high));
  EXPECT_EQ(order, (std::vector<std::string>{"h1", "h2", "d1", "d2", "b1", "b2"}));
}

TEST(GlobalQueueTest, SyncRunsInlineAndExceptionsDoNotStopThePool) {
  GlobalQueue& queue = GlobalQueue::get(QueuePriority::High);
  std::thread::id ranOn;
  Queue* seen = nullptr;
  queue.sync([&] {
    ranOn = std::this_thread::get_id();
    seen = Queue::current();
  });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(seen, &queue);
  EXPECT_EQ(Queue::current(), nullptr);

  std::atomic<int> reports{0};
  Queue::setExceptionHandler([&](const std::string&, const std::string&) { ++reports; });
  const int throwing = static_cast<int>(GlobalQueue::poolSize()) * 3;
  for (int i = 0; i < throwing; ++i) queue.async([] { throw std::runtime_error("x"); });
  queue.sync([] { throw std::runtime_error("inline"); });
  std::atomic<int> ran{0};
  for (int i = 0; i < 100; ++i) queue.async([&] { ++ran; });
  ASSERT_TRUE(kxtest::waitForQueue(queue));
  Queue::setExceptionHandler(nullptr);
  EXPECT_EQ(reports.load(), throwing + 1);
  EXPECT_EQ(ran.load(), 100);
}

TEST(GlobalQueueTest, AfterRunsOnTheQueue) {
  GlobalQueue& queue = GlobalQueue::get(QueuePriority::Default);
  Semaphore done;
  Queue* seen = nullptr;
  queue.after(0.01, [&] {
    seen = Queue::current();
    done.signal();
  });
  ASSERT_TRUE(done.wait(10));
  EXPECT_EQ(seen, &queue);
}

}  // namespace
