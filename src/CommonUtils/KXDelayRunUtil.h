// KXDelayRunUtil collapses bursts of requests for one expensive task
// (rescanning watched files, answering the page's sync and tag requests,
// refreshing pages, saving note state). The first request runs the task at
// once and opens a window of delaySec seconds; requests that bring a
// completion inside the window do not run the task again but are kept; when
// the window closes with requests kept, the task runs once more for all of
// them and a new window opens; a window without requests ends the cycle. A
// request without a completion never waits: it runs the task at once.
//
// The task receives a completion that it must call once when it has
// finished (it may be empty: then there is nothing to tell). Each run is
// handed exactly the requests it covers: the completions kept until the run
// started, plus the request's own for an immediate run. They are called, in
// the order the requests came, when that run completes; a completion kept
// after a run started waits for the next run, which starts after it. A run's
// completions are called even when the runner is gone by then, and only
// once however often the task calls its completion.
//
// Requests and window ends run on the runner's serial queue, its own
// "kx.mac.serial.queue" unless setSerialQueue() gave another; the task runs
// there too. After a change of queue, work queued or armed before it still
// runs on the old queue (which it keeps alive) and later work on the new
// one; the flags and the kept completions are guarded by a lock, so the two
// never disagree about them. The window timer comes from a KXDelayClock
// (the system clock unless a test gives its own) and keeps the runner alive
// until it fires.
//
// Thread safety: runWithCallback() and the accessors may be called from any
// thread; the task's completion may be called from any thread.
#ifndef ZN_COMMONUTILS_KXDELAYRUNUTIL_H_
#define ZN_COMMONUTILS_KXDELAYRUNUTIL_H_

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "CommonUtils/KXDelayClock.h"
#include "platform/Mutex.h"
#include "platform/SerialQueue.h"

class KXDelayRunUtil : public std::enable_shared_from_this<KXDelayRunUtil> {
 public:
  using Completion = std::function<void()>;
  using MainTask = std::function<void(Completion completion)>;

  static constexpr const char* kQueueLabel = "kx.mac.serial.queue";

  static std::shared_ptr<KXDelayRunUtil> utilWithDelaySec(
      float delaySec, MainTask mainTask,
      std::shared_ptr<KXDelayClock> clock = KXDelayClock::systemClock());

  KXDelayRunUtil(const KXDelayRunUtil&) = delete;
  KXDelayRunUtil& operator=(const KXDelayRunUtil&) = delete;

  // Requests a run; returns at once.
  void runWithCallback(Completion callback);

  MainTask mainTask() const;
  void setMainTask(MainTask mainTask);
  float delaySec() const { return delaySec_.load(); }
  void setDelaySec(float delaySec) { delaySec_.store(delaySec); }
  std::shared_ptr<kx::SerialQueue> serialQueue() const;
  // Later requests and windows run on `queue`; nullptr is ignored.
  void setSerialQueue(std::shared_ptr<kx::SerialQueue> queue);

 private:
  KXDelayRunUtil(float delaySec, MainTask mainTask, std::shared_ptr<KXDelayClock> clock);

  // These run on the serial queue.
  void request(Completion callback);
  void windowEnd();
  void runInFuture();
  void runTask(std::vector<Completion> covered);

  const std::shared_ptr<KXDelayClock> clock_;
  std::atomic<float> delaySec_;

  mutable kx::Mutex taskMu_;
  MainTask mainTask_ GUARDED_BY(taskMu_);

  mutable kx::Mutex queueMu_;
  std::shared_ptr<kx::SerialQueue> serialQueue_ GUARDED_BY(queueMu_);

  kx::Mutex stateMu_;
  bool isRunning_ GUARDED_BY(stateMu_) = false;
  bool needRunNext_ GUARDED_BY(stateMu_) = false;
  std::vector<Completion> callbacks_ GUARDED_BY(stateMu_);
};

#endif  // ZN_COMMONUTILS_KXDELAYRUNUTIL_H_
