#include "platform/TaskTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/Semaphore.h"

namespace {

using kx::Semaphore;
using kx::TaskTimer;

TEST(TaskTimerTest, FiresByDeadlineAndCancelRemoves) {
  TaskTimer& timer = TaskTimer::shared();
  std::mutex mu;
  std::vector<int> fired;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard<std::mutex> lock(mu);
      fired.push_back(n);
    };
  };
  Semaphore last;
  // Far enough ahead that the cancel below always comes first, however slow
  // the machine (a sanitizer build can take more than 10 ms to get there).
  TaskTimer::Id cancelled = timer.schedule(60, record(99));
  timer.schedule(0.03, record(3));
  timer.schedule(0.02, record(2));
  timer.schedule(0.04, [&] {
    record(4)();
    last.signal();
  });
  timer.schedule(-5, record(1));
  EXPECT_NE(cancelled, 0u);
  EXPECT_TRUE(timer.cancel(cancelled));
  EXPECT_FALSE(timer.cancel(cancelled));
  ASSERT_TRUE(last.wait(10));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 3, 4}));
}

TEST(TaskTimerTest, DeadlinesClampOddDelays) {
  auto now = TaskTimer::Clock::now();
  auto negative = TaskTimer::deadlineAfter(-1);
  auto nan = TaskTimer::deadlineAfter(std::numeric_limits<double>::quiet_NaN());
  auto huge = TaskTimer::deadlineAfter(1e300);
  auto after = TaskTimer::Clock::now();
  EXPECT_GE(negative, now);
  EXPECT_LE(negative, after);
  EXPECT_GE(nan, now);
  EXPECT_LE(nan, after);
  EXPECT_GT(huge, now + std::chrono::hours(24 * 365 * 20));
}

}  // namespace
