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
// All state (the flags and the kept completions) lives on the runner's
// serial queue "kx.mac.serial.queue"; the task runs there too. The window
// timer comes from a KXDelayClock (the system clock unless a test gives its
// own) and keeps the runner alive until it fires.
//
// Thread safety: runWithCallback() and the accessors may be called from any
// thread; the task's completion may be called from any thread.
#ifndef ZN_COMMONUTILS_KXDELAYRUNUTIL_H_
#define ZN_COMMONUTILS_KXDELAYRUNUTIL_H_

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "CommonUtils/KXDelayClock.h"
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
  kx::SerialQueue& serialQueue() { return serialQueue_; }

 private:
  KXDelayRunUtil(float delaySec, MainTask mainTask, std::shared_ptr<KXDelayClock> clock);

  // These run on serialQueue_.
  void request(Completion callback);
  void windowEnd();
  void runInFuture();
  void runTask(std::vector<Completion> covered);

  const std::shared_ptr<KXDelayClock> clock_;
  std::atomic<float> delaySec_;

  mutable std::mutex taskMu_;
  MainTask mainTask_;  // guarded by taskMu_

  // Touched only on serialQueue_.
  bool isRunning_ = false;
  bool needRunNext_ = false;
  std::vector<Completion> callbacks_;

  kx::SerialQueue serialQueue_;
};

#endif  // ZN_COMMONUTILS_KXDELAYRUNUTIL_H_
