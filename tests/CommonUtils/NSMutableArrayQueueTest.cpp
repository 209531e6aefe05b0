#include "CommonUtils/NSMutableArrayQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(NSMutableArrayQueueTest, FirstInFirstOut) {
  kx::Array queue;
  EXPECT_FALSE(NSMutableArrayQueue::queueOut(queue).has_value());
  NSMutableArrayQueue::queueIn(queue, "a");
  NSMutableArrayQueue::queueIn(queue, kx::Value::array({"b", "c"}));
  NSMutableArrayQueue::queueInTheFirstIndex(queue, "first");
  EXPECT_EQ(NSMutableArrayQueue::queueCount(queue), 4u);
  std::vector<std::string> out;
  while (auto item = NSMutableArrayQueue::queueOut(queue)) out.push_back(item->string());
  EXPECT_EQ(out, (std::vector<std::string>{"first", "a", "b", "c"}));
  // A null element is an element, not an empty queue.
  NSMutableArrayQueue::queueIn(queue, kx::Value());
  EXPECT_TRUE(NSMutableArrayQueue::queueOut(queue).has_value());
}

TEST(NSMutableArrayQueueTest, ProducersAndConsumersLoseNothing) {
  kx::Array queue;
  constexpr int kProducers = 4;
  constexpr int kItems = 500;
  std::atomic<int> taken{0};
  std::atomic<long> sum{0};
  std::atomic<bool> producing{true};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&queue] {
      for (int i = 1; i <= kItems; ++i) NSMutableArrayQueue::queueIn(queue, i);
    });
  }
  std::vector<std::thread> consumers;
  for (int c = 0; c < 2; ++c) {
    consumers.emplace_back([&] {
      while (producing.load() || NSMutableArrayQueue::queueCount(queue) > 0) {
        if (auto item = NSMutableArrayQueue::queueOut(queue)) {
          sum.fetch_add(item->intValue());
          taken.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  producing.store(false);
  for (std::thread& t : consumers) t.join();
  EXPECT_EQ(taken.load(), kProducers * kItems);
  EXPECT_EQ(sum.load(), long{kProducers} * kItems * (kItems + 1) / 2);
}

}  // namespace
