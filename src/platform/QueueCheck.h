// Debug checks of which queue the calling thread is on. A queue's objects
// (a store context, the read queue's connection) are meant to be used from
// that queue, and some calls wait for a queue and so must not come from a
// queue that the waited-for one may itself wait on. These checks state such
// rules where they hold and stop the program when one is broken:
//
//   KX_DCHECK_ON_QUEUE(queue_, "on the queue that owns this context");
//   KX_DCHECK_NOT_ON_QUEUE(readQueue_, "not from the read queue");
//
// They are on in Debug builds and in sanitizer builds (ZN_QUEUE_CHECKS) and
// compile to nothing otherwise; the queue expression is then not evaluated.
// A failed check prints the rule, the place and the current queue's label to
// stderr and aborts.
//
// Thread safety: the checks read only the calling thread's own queue stack.
#ifndef ZN_PLATFORM_QUEUECHECK_H_
#define ZN_PLATFORM_QUEUECHECK_H_

#include "platform/Queue.h"

#if !defined(NDEBUG) || defined(ZN_QUEUE_CHECKS)
#define KX_QUEUE_CHECKS_ENABLED 1
#else
#define KX_QUEUE_CHECKS_ENABLED 0
#endif

namespace kx {

// Prints the broken rule and aborts. Used by the macros below.
[[noreturn]] void queueCheckFailed(const char* file, int line, const Queue& queue, bool expectedOn,
                                   const char* rule);

}  // namespace kx

#if KX_QUEUE_CHECKS_ENABLED
#define KX_DCHECK_ON_QUEUE(queue, rule)                                          \
  do {                                                                           \
    const ::kx::Queue& kx_check_queue_ = (queue);                                \
    if (!kx_check_queue_.isCurrent())                                            \
      ::kx::queueCheckFailed(__FILE__, __LINE__, kx_check_queue_, true, (rule)); \
  } while (0)
#define KX_DCHECK_NOT_ON_QUEUE(queue, rule)                                       \
  do {                                                                            \
    const ::kx::Queue& kx_check_queue_ = (queue);                                 \
    if (kx_check_queue_.isCurrent())                                              \
      ::kx::queueCheckFailed(__FILE__, __LINE__, kx_check_queue_, false, (rule)); \
  } while (0)
#else
#define KX_DCHECK_ON_QUEUE(queue, rule) \
  do {                                  \
  } while (0)
#define KX_DCHECK_NOT_ON_QUEUE(queue, rule) \
  do {                                      \
  } while (0)
#endif

#endif  // ZN_PLATFORM_QUEUECHECK_H_
