// KXDelayClock is the timer that the delayed-run window (KXDelayRunUtil)
// arms: after(seconds, queue, task) queues the task on the queue once the
// delay has passed. The program uses systemClock() (the queue's own timer);
// tests use a manual clock that they advance by hand.
//
// Thread safety: after() may be called from any thread.
#ifndef ZN_COMMONUTILS_KXDELAYCLOCK_H_
#define ZN_COMMONUTILS_KXDELAYCLOCK_H_

#include <functional>
#include <memory>

#include "platform/Queue.h"

class KXDelayClock {
 public:
  virtual ~KXDelayClock() = default;

  virtual void after(double seconds, kx::Queue& queue, std::function<void()> task) = 0;

  // The clock of the queues' shared timer (monotonic).
  static std::shared_ptr<KXDelayClock> systemClock();
};

#endif  // ZN_COMMONUTILS_KXDELAYCLOCK_H_
