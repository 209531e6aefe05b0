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
  std::lock_guard<std::mutex> lock(mu_);
  pending_.push_back(Job{std::move(job), Clock::now()});
  if (pending_.size() <= idle_) {
    workCv_.notify_one();
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
  watcherCv_.notify_one();
}

std::size_t WorkerPool::threadCount() const {
  std::lock_guard<std::mutex> lock(mu_);
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
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (pending_.empty()) {
      ++idle_;
      bool woke = workCv_.wait_for(lock, kIdleTimeout, [this] { return !pending_.empty(); });
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
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (pending_.empty() || pending_.size() <= idle_) {
      watcherCv_.wait(lock);
      continue;
    }
    Clock::time_point since = std::max(lastTake_, pending_.front().queuedAt);
    Clock::time_point now = Clock::now();
    if (now - since >= kStarvationDelay) {
      if (threads_ < kHardLimit && spawnLocked()) lastTake_ = now;
      watcherCv_.wait_for(lock, kStarvationDelay);
    } else {
      watcherCv_.wait_until(lock, since + kStarvationDelay);
    }
  }
}

}  // namespace kx
