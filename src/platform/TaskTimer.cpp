#include "platform/TaskTimer.h"

#include <cmath>
#include <thread>
#include <vector>

#include "platform/Queue.h"

namespace kx {

TaskTimer& TaskTimer::shared() {
  static TaskTimer* timer = new TaskTimer;
  return *timer;
}

TaskTimer::Clock::time_point TaskTimer::deadlineAfter(double seconds) {
  constexpr double kMaxSeconds = 1e9;  // about thirty years
  if (!(seconds > 0)) seconds = 0;     // also catches NaN
  if (seconds > kMaxSeconds) seconds = kMaxSeconds;
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

TaskTimer::Id TaskTimer::schedule(double seconds, std::function<void()> fire) {
  Clock::time_point deadline = deadlineAfter(seconds);
  MutexLock lock(mu_);
  if (!started_) {
    // The thread lives as long as the process, like the timer itself.
    std::thread([this] { run(); }).detach();
    started_ = true;
  }
  Id id = nextId_++;
  bool earliest = entries_.empty() || Key(deadline, id) < entries_.begin()->first;
  entries_.emplace(Key(deadline, id), std::move(fire));
  deadlines_.emplace(id, deadline);
  if (earliest) cv_.signal();
  return id;
}

bool TaskTimer::cancel(Id id) {
  std::function<void()> dropped;
  {
    MutexLock lock(mu_);
    auto it = deadlines_.find(id);
    if (it == deadlines_.end()) return false;
    auto entry = entries_.find(Key(it->second, id));
    dropped = std::move(entry->second);
    entries_.erase(entry);
    deadlines_.erase(it);
  }
  // `dropped` is destroyed here, outside the lock: its captures may do anything.
  return true;
}

void TaskTimer::run() {
  MutexLock lock(mu_);
  std::vector<std::function<void()>> due;
  for (;;) {
    if (entries_.empty()) {
      cv_.wait(mu_);
      continue;
    }
    Clock::time_point first = entries_.begin()->first.first;
    if (Clock::now() < first) {
      cv_.waitUntil(mu_, first);
      continue;
    }
    Clock::time_point now = Clock::now();
    while (!entries_.empty() && entries_.begin()->first.first <= now) {
      auto it = entries_.begin();
      deadlines_.erase(it->first.second);
      due.push_back(std::move(it->second));
      entries_.erase(it);
    }
    lock.unlock();
    for (auto& fire : due) Queue::invokeGuarded(fire, "timer");
    due.clear();
    lock.lock();
  }
}

}  // namespace kx
