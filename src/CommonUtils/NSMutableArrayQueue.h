// NSMutableArrayQueue uses an array as a first-in first-out queue shared
// between threads. Every operation on every array takes one process-wide
// lock, so arrays used only through these functions may be shared freely;
// an array changed by other means is not protected.
//
// Thread safety: see above.
#ifndef ZN_COMMONUTILS_NSMUTABLEARRAYQUEUE_H_
#define ZN_COMMONUTILS_NSMUTABLEARRAYQUEUE_H_

#include <cstddef>
#include <optional>

#include "platform/Value.h"

class NSMutableArrayQueue {
 public:
  NSMutableArrayQueue() = delete;

  // Appends the object; an array appends each of its elements, in order.
  static void queueIn(kx::Array& queue, const kx::Value& object);
  static void queueInTheFirstIndex(kx::Array& queue, const kx::Value& object);
  // Removes and returns the first element; nullopt when empty.
  static std::optional<kx::Value> queueOut(kx::Array& queue);
  static std::size_t queueCount(const kx::Array& queue);
};

#endif  // ZN_COMMONUTILS_NSMUTABLEARRAYQUEUE_H_
