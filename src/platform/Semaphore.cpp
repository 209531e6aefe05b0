#include "platform/Semaphore.h"

#include "platform/TaskTimer.h"

namespace kx {

void Semaphore::signal() {
  std::lock_guard<std::mutex> lock(mu_);
  ++count_;
  cv_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return count_ > 0; });
  --count_;
}

bool Semaphore::wait(double timeoutSeconds) {
  TaskTimer::Clock::time_point deadline = TaskTimer::deadlineAfter(timeoutSeconds);
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_until(lock, deadline, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

}  // namespace kx
