// kx::Semaphore is a counting semaphore: signal() adds one, wait() takes one,
// blocking while the count is zero. Synchronous requests use it to wait for a
// completion that arrives on another thread. Timeouts are measured on a
// monotonic clock.
//
// Thread safety: every member may be called from any thread. The semaphore
// must outlive every call on it; when a waiter may give up (timeout) while a
// signaller may still come, share it (std::shared_ptr) between the two.
#ifndef ZN_PLATFORM_SEMAPHORE_H_
#define ZN_PLATFORM_SEMAPHORE_H_

#include <cstdint>

#include "platform/Mutex.h"

namespace kx {

class Semaphore {
 public:
  explicit Semaphore(std::int64_t initial = 0) : count_(initial) {}
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  void signal();
  // Waits without a time limit.
  void wait();
  // Waits at most `timeoutSeconds`; returns false when the time passed
  // without a signal (the count is then left as it was).
  bool wait(double timeoutSeconds);

 private:
  Mutex mu_;
  CondVar cv_;
  std::int64_t count_ GUARDED_BY(mu_);
};

}  // namespace kx

#endif  // ZN_PLATFORM_SEMAPHORE_H_
