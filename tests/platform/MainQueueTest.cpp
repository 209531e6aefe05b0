#include "platform/MainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/SerialQueue.h"
#include "support/QueueBarrier.h"

namespace {

using kx::MainQueue;
using kx::Queue;
using kx::SerialQueue;

class MainQueueTest : public ::testing::Test {
 protected:
  // Leave nothing behind for the next test.
  void TearDown() override { main_.drain(); }
  MainQueue& main_ = MainQueue::shared();
};

TEST_F(MainQueueTest, RunsOnlyWhenPumped) {
  ASSERT_TRUE(MainQueue::isMainThread());
  main_.drain();
  SerialQueue worker("test.worker");
  std::atomic<bool> ran{false};
  worker.async([&] {
    EXPECT_FALSE(MainQueue::isMainThread());
    main_.async([&] { ran = true; });
  });
  ASSERT_TRUE(kxtest::waitForQueue(worker));
  EXPECT_FALSE(ran);
  EXPECT_EQ(main_.drain(), 1u);
  EXPECT_TRUE(ran);
  EXPECT_EQ(main_.drain(), 0u);
}

TEST_F(MainQueueTest, DrainRunsWhatTasksQueueInOrder) {
  std::vector<std::string> order;
  main_.async([&] {
    order.push_back("a");
    main_.async([&] {
      order.push_back("c");
      main_.async([&] { order.push_back("e"); });
    });
  });
  main_.async([&] { order.push_back("b"); });
  main_.async([&] { main_.async([&] { order.push_back("d"); }); });
  EXPECT_EQ(main_.drain(), 6u);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST_F(MainQueueTest, LabelAndCurrentInsideTasks) {
  EXPECT_EQ(Queue::current(), nullptr);
  Queue* seen = nullptr;
  std::string label;
  main_.async([&] {
    seen = Queue::current();
    label = Queue::currentLabel();
  });
  main_.drain();
  EXPECT_EQ(seen, &main_);
  EXPECT_EQ(label, "kx.main");
  EXPECT_EQ(Queue::currentLabel(), "");
}

TEST_F(MainQueueTest, RunUntilSeesConditionSetElsewhere) {
  SerialQueue worker("test.worker");
  std::atomic<bool> flag{false};
  std::atomic<bool> viaMain{false};
  // Made true by another thread without a main-queue task...
  worker.after(0.01, [&] { flag = true; });
  EXPECT_TRUE(main_.runUntil([&] { return flag.load(); }, 10));
  // ...and by a main-queue task.
  worker.async([&] { main_.async([&] { viaMain = true; }); });
  EXPECT_TRUE(kxtest::pumpMainUntil([&] { return viaMain.load(); }));
  // A condition that never holds gives up after the time limit.
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(main_.runUntil([] { return false; }, 0.03));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST_F(MainQueueTest, SyncFromAnotherThreadWaitsForThePump) {
  std::atomic<bool> returned{false};
  std::thread::id ranOn;
  std::string label;
  std::thread other([&] {
    main_.sync([&] {
      ranOn = std::this_thread::get_id();
      label = Queue::currentLabel();
    });
    returned = true;
  });
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return returned.load(); }));
  other.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(label, "kx.main");
}

TEST_F(MainQueueTest, SyncOnMainThreadRunsInline) {
  bool ran = false;
  main_.sync([&] {
    ran = true;
    EXPECT_EQ(Queue::current(), &main_);
    main_.sync([] {});  // from inside a main task as well
  });
  EXPECT_TRUE(ran);
  // A worker that holds a serial queue and syncs onto main, while main syncs
  // onto that queue: main -> worker queue -> main runs inline.
  SerialQueue worker("test.worker");
  std::vector<std::string> labels;
  main_.sync([&] {
    worker.sync([&] {
      main_.sync([&] { labels.push_back(Queue::currentLabel()); });
      labels.push_back(Queue::currentLabel());
    });
  });
  EXPECT_EQ(labels, (std::vector<std::string>{"kx.main", "test.worker"}));
}

TEST_F(MainQueueTest, AfterOrderAndRunFor) {
  std::vector<std::string> order;
  auto start = std::chrono::steady_clock::now();
  main_.after(0.04, [&] { order.push_back("late"); });
  main_.after(0.01, [&] { order.push_back("early"); });
  main_.async([&] { order.push_back("now"); });
  main_.runFor(0.05);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "late"}));
}

TEST_F(MainQueueTest, ExceptionInTaskDoesNotStopDrain) {
  std::vector<std::string> where;
  Queue::setExceptionHandler([&](const std::string& w, const std::string&) { where.push_back(w); });
  bool after = false;
  main_.async([] { throw std::runtime_error("x"); });
  main_.async([&] { after = true; });
  EXPECT_EQ(main_.drain(), 2u);
  Queue::setExceptionHandler(nullptr);
  EXPECT_TRUE(after);
  EXPECT_EQ(where, (std::vector<std::string>{"kx.main"}));
}

TEST_F(MainQueueTest, NestedPumpingRunsLaterTasks) {
  bool innerRan = false;
  bool sawInner = false;
  main_.async([&] {
    main_.async([&] { innerRan = true; });
    sawInner = main_.runUntil([&] { return innerRan; }, 10);
  });
  main_.drain();
  EXPECT_TRUE(sawInner);
}

TEST_F(MainQueueTest, BarrierOnMainQueue) {
  int ran = 0;
  for (int i = 0; i < 10; ++i) main_.async([&] { ++ran; });
  ASSERT_TRUE(kxtest::waitForQueue(main_));
  EXPECT_EQ(ran, 10);
}

}  // namespace
