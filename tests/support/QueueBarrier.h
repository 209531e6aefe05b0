// Queue barriers for tests: wait until a queue has run everything queued on
// it before, or pump the main queue until a condition holds. Tests wait on
// these (or on their own semaphores), never on sleeps.
//
// Thread safety: may be called from any thread; waitForQueue() on the main
// queue from the main thread pumps it.
#ifndef ZN_TESTS_SUPPORT_QUEUEBARRIER_H_
#define ZN_TESTS_SUPPORT_QUEUEBARRIER_H_

#include <functional>

#include "platform/Queue.h"

namespace kxtest {

// Returns true once every task queued on `queue` before the call has run
// (for a global queue: finished), false when `timeoutSeconds` passed first.
// Use as ASSERT_TRUE(kxtest::waitForQueue(queue)).
bool waitForQueue(kx::Queue& queue, double timeoutSeconds = 10);

// Pumps the main queue (call on the main thread) until condition() holds;
// returns false when `timeoutSeconds` passed first.
bool pumpMainUntil(const std::function<bool()>& condition, double timeoutSeconds = 10);

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_QUEUEBARRIER_H_
