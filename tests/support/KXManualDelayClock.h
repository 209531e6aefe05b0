// KXManualDelayClock is a KXDelayClock for tests: time stands still until
// the test calls advance(), which queues every task that has fallen due on
// its queue, earliest deadline first (ties in the order they were armed).
// The test then waits on those queues with kxtest::waitForQueue.
//
// Header-only, so that it needs nothing beyond the program that uses it
// linking zn_CommonUtils.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_KXMANUALDELAYCLOCK_H_
#define ZN_TESTS_SUPPORT_KXMANUALDELAYCLOCK_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "CommonUtils/KXDelayClock.h"

namespace kxtest {

class KXManualDelayClock : public KXDelayClock {
 public:
  void after(double seconds, kx::Queue& queue, std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mu_);
    armed_.emplace(std::make_pair(now_ + seconds, next_++), Entry{&queue, std::move(task)});
  }

  // Moves the clock forward and queues the tasks that fell due.
  void advance(double seconds) {
    std::vector<std::pair<kx::Queue*, std::function<void()>>> due;
    {
      std::lock_guard<std::mutex> lock(mu_);
      now_ += seconds;
      while (!armed_.empty() && armed_.begin()->first.first <= now_) {
        Entry entry = std::move(armed_.begin()->second);
        armed_.erase(armed_.begin());
        due.emplace_back(entry.queue, std::move(entry.task));
      }
    }
    for (auto& [queue, task] : due) queue->async(std::move(task));
  }

  std::size_t pendingCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return armed_.size();
  }

  double now() const {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
  }

 private:
  struct Entry {
    kx::Queue* queue;
    std::function<void()> task;
  };

  mutable std::mutex mu_;
  double now_ = 0;                                           // guarded by mu_
  std::uint64_t next_ = 0;                                   // guarded by mu_
  std::map<std::pair<double, std::uint64_t>, Entry> armed_;  // guarded by mu_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_KXMANUALDELAYCLOCK_H_
