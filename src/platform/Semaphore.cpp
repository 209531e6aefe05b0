#include "platform/Semaphore.h"

#include "platform/TaskTimer.h"

namespace kx {

void Semaphore::signal() {
  MutexLock lock(mu_);
  ++count_;
  cv_.signal();
}

void Semaphore::wait() {
  MutexLock lock(mu_);
  while (count_ <= 0) cv_.wait(mu_);
  --count_;
}

bool Semaphore::wait(double timeoutSeconds) {
  TaskTimer::Clock::time_point deadline = TaskTimer::deadlineAfter(timeoutSeconds);
  MutexLock lock(mu_);
  while (count_ <= 0) {
    if (!cv_.waitUntil(mu_, deadline) && count_ <= 0) return false;
  }
  --count_;
  return true;
}

}  // namespace kx
