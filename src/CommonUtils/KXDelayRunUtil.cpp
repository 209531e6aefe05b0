#include "CommonUtils/KXDelayRunUtil.h"

#include <utility>

#include "platform/Mutex.h"

namespace {

// The completions one run covers, called once.
struct Covered {
  kx::Mutex mu;
  std::vector<KXDelayRunUtil::Completion> completions GUARDED_BY(mu);
  bool called GUARDED_BY(mu) = false;
};

}  // namespace

KXDelayRunUtil::KXDelayRunUtil(float delaySec, MainTask mainTask,
                               std::shared_ptr<KXDelayClock> clock)
    : clock_(clock ? std::move(clock) : KXDelayClock::systemClock()),
      delaySec_(delaySec),
      mainTask_(std::move(mainTask)),
      serialQueue_(std::make_shared<kx::SerialQueue>(kQueueLabel)) {}

std::shared_ptr<KXDelayRunUtil> KXDelayRunUtil::utilWithDelaySec(
    float delaySec, MainTask mainTask, std::shared_ptr<KXDelayClock> clock) {
  return std::shared_ptr<KXDelayRunUtil>(
      new KXDelayRunUtil(delaySec, std::move(mainTask), std::move(clock)));
}

KXDelayRunUtil::MainTask KXDelayRunUtil::mainTask() const {
  kx::MutexLock lock(taskMu_);
  return mainTask_;
}

void KXDelayRunUtil::setMainTask(MainTask mainTask) {
  kx::MutexLock lock(taskMu_);
  mainTask_ = std::move(mainTask);
}

std::shared_ptr<kx::SerialQueue> KXDelayRunUtil::serialQueue() const {
  kx::MutexLock lock(queueMu_);
  return serialQueue_;
}

void KXDelayRunUtil::setSerialQueue(std::shared_ptr<kx::SerialQueue> queue) {
  if (!queue) return;
  std::shared_ptr<kx::SerialQueue> old;
  {
    kx::MutexLock lock(queueMu_);
    old = std::move(serialQueue_);
    serialQueue_ = std::move(queue);
  }
  // `old` goes here, outside the lock: dropping the last reference waits
  // for what is queued on it, which may need the lock.
}

void KXDelayRunUtil::runWithCallback(Completion callback) {
  std::shared_ptr<kx::SerialQueue> queue = serialQueue();
  queue->async([self = shared_from_this(), queue, callback = std::move(callback)]() mutable {
    self->request(std::move(callback));
  });
}

void KXDelayRunUtil::request(Completion callback) {
  std::vector<Completion> covered;
  {
    kx::MutexLock lock(stateMu_);
    if (isRunning_ && callback) {
      needRunNext_ = true;
      callbacks_.push_back(std::move(callback));
      return;
    }
    // This run starts after every kept request, so it covers them too.
    covered = std::move(callbacks_);
    callbacks_.clear();
    if (callback) covered.push_back(std::move(callback));
    isRunning_ = true;
    needRunNext_ = false;
  }
  runInFuture();
  runTask(std::move(covered));
}

void KXDelayRunUtil::windowEnd() {
  std::vector<Completion> covered;
  {
    kx::MutexLock lock(stateMu_);
    if (!needRunNext_) {
      isRunning_ = false;
      return;
    }
    covered = std::move(callbacks_);
    callbacks_.clear();
    isRunning_ = true;
    needRunNext_ = false;
  }
  runInFuture();
  runTask(std::move(covered));
}

void KXDelayRunUtil::runInFuture() {
  std::shared_ptr<kx::SerialQueue> queue = serialQueue();
  clock_->after(static_cast<double>(delaySec_.load()), *queue,
                [self = shared_from_this(), queue] { self->windowEnd(); });
}

void KXDelayRunUtil::runTask(std::vector<Completion> covered) {
  MainTask task = mainTask();
  Completion completion;
  if (!covered.empty()) {
    auto shared = std::make_shared<Covered>();
    {
      kx::MutexLock lock(shared->mu);  // not yet shared; for the analysis
      shared->completions = std::move(covered);
    }
    completion = [shared] {
      std::vector<Completion> toCall;
      {
        kx::MutexLock lock(shared->mu);
        if (shared->called) return;
        shared->called = true;
        toCall = std::move(shared->completions);
      }
      for (const Completion& c : toCall) c();
    };
  }
  if (task) {
    task(std::move(completion));
  } else if (completion) {
    completion();  // nothing to run: the requests are served at once
  }
}
