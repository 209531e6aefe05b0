// kx::Mutex, kx::RecursiveMutex and kx::SharedMutex are the standard mutexes
// with clang thread-safety annotations, so that members marked GUARDED_BY and
// functions marked REQUIRES are checked in a clang build (-Wthread-safety).
// kx::MutexLock (and its reader/writer and recursive twins) holds a lock for a
// scope, as std::unique_lock does, and may let it go and take it again inside
// that scope. kx::CondVar waits on a kx::Mutex held by the caller; conditions
// are written as loops around wait() (as in LevelDB), so that the analysis sees
// the condition read under the lock.
//
// Thread safety: a mutex and a condition variable may be used from any thread;
// a scoped lock belongs to the thread that made it.
#ifndef ZN_PLATFORM_MUTEX_H_
#define ZN_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/ThreadAnnotations.h"

namespace kx {

class CondVar;

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds the lock where it cannot see it
  // (a callback run under the lock). Checks nothing at run time.
  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// A mutex the same thread may take again while it holds it. The analysis does
// not follow re-entry; it checks that guarded members are read under the lock.
class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::recursive_mutex mu_;
};

class CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds `mu` from construction to destruction; unlock() and lock() let it go
// and take it again in between (the destructor releases only a held lock).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    mu_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mu_.lock();
    held_ = true;
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

class SCOPED_CAPABILITY RecursiveMutexLock {
 public:
  explicit RecursiveMutexLock(RecursiveMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~RecursiveMutexLock() RELEASE() { mu_.unlock(); }
  RecursiveMutexLock(const RecursiveMutexLock&) = delete;
  RecursiveMutexLock& operator=(const RecursiveMutexLock&) = delete;

 private:
  RecursiveMutex& mu_;
};

class SCOPED_CAPABILITY ReaderMutexLock {
 public:
  explicit ReaderMutexLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_.lock_shared(); }
  ~ReaderMutexLock() RELEASE() { mu_.unlock_shared(); }
  ReaderMutexLock(const ReaderMutexLock&) = delete;
  ReaderMutexLock& operator=(const ReaderMutexLock&) = delete;

 private:
  SharedMutex& mu_;
};

class SCOPED_CAPABILITY WriterMutexLock {
 public:
  explicit WriterMutexLock(SharedMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~WriterMutexLock() RELEASE() { mu_.unlock(); }
  WriterMutexLock(const WriterMutexLock&) = delete;
  WriterMutexLock& operator=(const WriterMutexLock&) = delete;

 private:
  SharedMutex& mu_;
};

// A condition variable over a kx::Mutex. Every wait may also wake without a
// signal; callers wait in a loop over their condition.
class CondVar {
 public:
  using Clock = std::chrono::steady_clock;

  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // Returns false when `deadline` passed.
  bool waitUntil(Mutex& mu, Clock::time_point deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    bool signalled = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  template <class Rep, class Period>
  bool waitFor(Mutex& mu, std::chrono::duration<Rep, Period> timeout) REQUIRES(mu) {
    return waitUntil(mu, Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout));
  }
  void signal() { cv_.notify_one(); }
  void signalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_MUTEX_H_
