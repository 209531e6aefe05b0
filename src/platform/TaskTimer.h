// kx::TaskTimer is the one timer thread behind every queue's after(): it
// keeps the scheduled entries ordered by deadline on a monotonic clock and,
// when one falls due, calls its `fire` function on the timer thread. Queues
// pass a `fire` that only puts the real task on the queue, so fire functions
// must be short and must not block. Entries with the same deadline fire in
// the order they were scheduled.
//
// Thread safety: every member may be called from any thread. The shared timer
// is created on first use and never freed.
#ifndef ZN_PLATFORM_TASKTIMER_H_
#define ZN_PLATFORM_TASKTIMER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

#include "platform/Mutex.h"

namespace kx {

class TaskTimer {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = std::uint64_t;

  static TaskTimer& shared();

  TaskTimer(const TaskTimer&) = delete;
  TaskTimer& operator=(const TaskTimer&) = delete;

  // Calls fire on the timer thread `seconds` from now (negative or NaN means
  // now; very long delays are capped at about thirty years). Returns an id
  // for cancel(); ids are never 0.
  Id schedule(double seconds, std::function<void()> fire);
  // Removes an entry that has not fired yet; returns whether it was removed.
  // An entry whose fire function is already running is not waited for.
  bool cancel(Id id);

  // The deadline `seconds` from now, with the rules of schedule().
  static Clock::time_point deadlineAfter(double seconds);

 private:
  using Key = std::pair<Clock::time_point, Id>;

  TaskTimer() = default;
  ~TaskTimer() = default;
  void run();

  Mutex mu_;
  CondVar cv_;
  std::map<Key, std::function<void()>> entries_ GUARDED_BY(mu_);
  std::unordered_map<Id, Clock::time_point> deadlines_ GUARDED_BY(mu_);
  Id nextId_ GUARDED_BY(mu_) = 1;
  bool started_ GUARDED_BY(mu_) = false;
};

}  // namespace kx

#endif  // ZN_PLATFORM_TASKTIMER_H_
