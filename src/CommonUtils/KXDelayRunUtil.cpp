#include "CommonUtils/KXDelayRunUtil.h"

#include <utility>

namespace {

// The completions one run covers, called once.
struct Covered {
  std::mutex mu;
  std::vector<KXDelayRunUtil::Completion> completions;  // guarded by mu
  bool called = false;                                 // guarded by mu
};

}  // namespace

KXDelayRunUtil::KXDelayRunUtil(float delaySec, MainTask mainTask,
                               std::shared_ptr<KXDelayClock> clock)
    : clock_(clock ? std::move(clock) : KXDelayClock::systemClock()),
      delaySec_(delaySec),
      mainTask_(std::move(mainTask)),
      serialQueue_(kQueueLabel) {}

std::shared_ptr<KXDelayRunUtil> KXDelayRunUtil::utilWithDelaySec(
    float delaySec, MainTask mainTask, std::shared_ptr<KXDelayClock> clock) {
  return std::shared_ptr<KXDelayRunUtil>(
      new KXDelayRunUtil(delaySec, std::move(mainTask), std::move(clock)));
}

KXDelayRunUtil::MainTask KXDelayRunUtil::mainTask() const {
  std::lock_guard<std::mutex> lock(taskMu_);
  return mainTask_;
}

void KXDelayRunUtil::setMainTask(MainTask mainTask) {
  std::lock_guard<std::mutex> lock(taskMu_);
  mainTask_ = std::move(mainTask);
}

void KXDelayRunUtil::runWithCallback(Completion callback) {
  serialQueue_.async([self = shared_from_this(), callback = std::move(callback)]() mutable {
    self->request(std::move(callback));
  });
}

void KXDelayRunUtil::request(Completion callback) {
  if (isRunning_ && callback) {
    needRunNext_ = true;
    callbacks_.push_back(std::move(callback));
    return;
  }
  // This run starts after every kept request, so it covers them too.
  std::vector<Completion> covered = std::move(callbacks_);
  callbacks_.clear();
  if (callback) covered.push_back(std::move(callback));
  isRunning_ = true;
  needRunNext_ = false;
  runInFuture();
  runTask(std::move(covered));
}

void KXDelayRunUtil::windowEnd() {
  if (!needRunNext_) {
    isRunning_ = false;
    return;
  }
  std::vector<Completion> covered = std::move(callbacks_);
  callbacks_.clear();
  isRunning_ = true;
  needRunNext_ = false;
  runInFuture();
  runTask(std::move(covered));
}

void KXDelayRunUtil::runInFuture() {
  clock_->after(static_cast<double>(delaySec_.load()), serialQueue_,
                [self = shared_from_this()] { self->windowEnd(); });
}

void KXDelayRunUtil::runTask(std::vector<Completion> covered) {
  MainTask task = mainTask();
  Completion completion;
  if (!covered.empty()) {
    auto shared = std::make_shared<Covered>();
    shared->completions = std::move(covered);
    completion = [shared] {
      std::vector<Completion> toCall;
      {
        std::lock_guard<std::mutex> lock(shared->mu);
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
