#include "platform/WorkerPool.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/Queue.h"

namespace kx {

WorkerPool& WorkerPool::shared() {
  static WorkerPool* pool =
      new WorkerPool(std::max<std::size_t>(4, std::thread::hardware_concurrency()));
  return *pool;
}

WorkerPool::WorkerPool(std::size_t softLimit)
    : softLimit_(std::max<std::size_t>(1, softLimit)), lastTake_(Clock::now()) {}

void WorkerPool::submit(std::function<void()> job) {
  MutexLock lock(mu_);
  pending_.push_back(Job{std::move(job), Clock::now()});
  if (pending_.size() <= idle_) {
    workCv_.signal();
    return;
  }
  if (threads_ < softLimit_ && spawnLocked()) return;
  // Every worker is busy: let the watcher decide whether they are stuck.
  if (!watcherStarted_) {
    try {
      std::thread([this] { watcherLoop(); }).detach();
      watcherStarted_ = true;
    } catch (const std::system_error&) {
      // Retried on the next submit; the job waits for a worker meanwhile.
    }
  }
  watcherCv_.signal();
}

std::size_t WorkerPool::threadCount() const {
  MutexLock lock(mu_);
  return threads_;
}

bool WorkerPool::spawnLocked() {
  try {
    std::thread([this] { workerLoop(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  ++threads_;
  return true;
}

void WorkerPool::workerLoop() {
  MutexLock lock(mu_);
  for (;;) {
    if (pending_.empty()) {
      ++idle_;
      Clock::time_point deadline = Clock::now() + kIdleTimeout;
      bool woke = true;
      while (woke && pending_.empty()) {
        if (!workCv_.waitUntil(mu_, deadline)) woke = !pending_.empty();
      }
      --idle_;
      if (!woke) {
        --threads_;
        return;
      }
    }
    std::function<void()> fn = std::move(pending_.front().fn);
    pending_.pop_front();
    lastTake_ = Clock::now();
    lock.unlock();
    Queue::invokeGuarded(fn, "worker pool");
    fn = nullptr;  // release the job's captures before waiting again
    lock.lock();
  }
}

void WorkerPool::watcherLoop() {
  MutexLock lock(mu_);
  for (;;) {
    if (pending_.empty() || pending_.size() <= idle_) {
      watcherCv_.wait(mu_);
      continue;
    }
    Clock::time_point since = std::max(lastTake_, pending_.front().queuedAt);
    Clock::time_point now = Clock::now();
    if (now - since >= kStarvationDelay) {
      if (threads_ < kHardLimit && spawnLocked()) lastTake_ = now;
      watcherCv_.waitFor(mu_, kStarvationDelay);
    } else {
      watcherCv_.waitUntil(mu_, since + kStarvationDelay);
    }
  }
}

}  // namespace kx
