// kx::Guarded<T> keeps a class's shared fields in one struct behind one
// kx::Mutex and is the only way to reach them: with() runs a function on the
// fields while the lock is held (several fields read or changed together),
// get() copies one field out and set() replaces one. A class then needs no
// getter or setter of its own that locks by hand.
//
// Thread safety: every member may be called from any thread. The function
// given to with() runs under the lock: it must not reach the same Guarded
// again (the mutex is not recursive) and must not call out to code that
// might (delegates, callbacks, other objects' locks); it copies what such
// code needs and the caller calls it after with() has returned.
#ifndef ZN_PLATFORM_GUARDED_H_
#define ZN_PLATFORM_GUARDED_H_

#include <utility>

#include "platform/Mutex.h"

namespace kx {

template <class T>
class Guarded {
 public:
  Guarded() = default;
  explicit Guarded(T initial) : value_(std::move(initial)) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  // Runs f(T&) under the lock and returns what it returns (by value).
  template <class F>
  auto with(F&& f) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    return std::forward<F>(f)(value_);
  }
  template <class F>
  auto with(F&& f) const EXCLUDES(mu_) {
    MutexLock lock(mu_);
    return std::forward<F>(f)(static_cast<const T&>(value_));
  }

  // A copy of one field.
  template <class M>
  M get(M T::*field) const EXCLUDES(mu_) {
    MutexLock lock(mu_);
    return value_.*field;
  }
  // Replaces one field.
  template <class M, class V>
  void set(M T::*field, V&& value) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    value_.*field = std::forward<V>(value);
  }

 private:
  mutable Mutex mu_;
  T value_ GUARDED_BY(mu_);
};

}  // namespace kx

#endif  // ZN_PLATFORM_GUARDED_H_
