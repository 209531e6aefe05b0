#include "platform/Semaphore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using kx::Semaphore;

TEST(SemaphoreTest, CountsSignalsAndTimesOut) {
  Semaphore sem(1);
  EXPECT_TRUE(sem.wait(0));  // the initial count
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sem.wait(0.02));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  sem.signal();
  sem.signal();
  EXPECT_TRUE(sem.wait(0));
  EXPECT_TRUE(sem.wait(0));
  EXPECT_FALSE(sem.wait(0));
}

TEST(SemaphoreTest, WakesWaitersOnOtherThreads) {
  Semaphore sem;
  Semaphore done;
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      sem.wait();
      done.signal();
    });
  }
  for (int i = 0; i < 4; ++i) sem.signal();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(done.wait(10));
  for (auto& t : waiters) t.join();
}

}  // namespace
