// kx::WorkerPool is the shared set of threads on which serial queues run
// their tasks. A serial queue with work submits one job that runs its tasks
// in turn, so a thousand idle queues cost no thread at all.
//
// Serial-queue tasks may block (waiting on another queue, on a semaphore, on
// the disk), so a fixed pool could starve: the pool starts a thread at once
// while fewer than `softLimit()` exist, and beyond that a watcher adds one
// more each time queued jobs have waited kStarvationDelay without any worker
// taking a job. Threads that stay idle for kIdleTimeout end. Jobs run in the
// order they were submitted.
//
// Thread safety: every member may be called from any thread. The shared pool
// is created on first use and never freed.
#ifndef ZN_PLATFORM_WORKERPOOL_H_
#define ZN_PLATFORM_WORKERPOOL_H_

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>

#include "platform/Mutex.h"

namespace kx {

class WorkerPool {
 public:
  static constexpr std::chrono::milliseconds kStarvationDelay{10};
  static constexpr std::chrono::seconds kIdleTimeout{10};
  static constexpr std::size_t kHardLimit = 512;

  static WorkerPool& shared();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs job on a worker thread. The job must not throw (queues wrap their
  // tasks); an exception that does escape is reported and swallowed.
  void submit(std::function<void()> job);

  std::size_t softLimit() const { return softLimit_; }
  // Threads alive at this moment (for tests and diagnostics).
  std::size_t threadCount() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Job {
    std::function<void()> fn;
    Clock::time_point queuedAt;
  };

  // Only the shared pool exists: its threads outlive any scope.
  explicit WorkerPool(std::size_t softLimit);
  ~WorkerPool() = default;

  // Starts one worker thread. Returns false when the system refuses.
  bool spawnLocked() REQUIRES(mu_);
  void workerLoop();
  void watcherLoop();

  const std::size_t softLimit_;
  mutable Mutex mu_;
  CondVar workCv_;     // workers wait here for jobs
  CondVar watcherCv_;  // the watcher waits here for a backlog
  std::deque<Job> pending_ GUARDED_BY(mu_);
  std::size_t threads_ GUARDED_BY(mu_) = 0;
  std::size_t idle_ GUARDED_BY(mu_) = 0;        // workers waiting for a job
  Clock::time_point lastTake_ GUARDED_BY(mu_);  // when a worker last took a job
  bool watcherStarted_ GUARDED_BY(mu_) = false;
};

}  // namespace kx

#endif  // ZN_PLATFORM_WORKERPOOL_H_
