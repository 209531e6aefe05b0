#include "platform/OperationQueue.h"

#include <algorithm>
#include <chrono>

#include "platform/GlobalQueue.h"

namespace kx {

Operation::~Operation() = default;

void Operation::start() {
  if (isCancelled()) {
    setFinished(true);
    return;
  }
  setExecuting(true);
  Queue::invokeGuarded([this] { main(); }, "kx.operation");
  finish();
}

void Operation::cancel() {
  kx::MutexLock lock(stateMu_);
  cancelled_ = true;
}

bool Operation::isCancelled() const {
  kx::MutexLock lock(stateMu_);
  return cancelled_;
}

bool Operation::isExecuting() const {
  kx::MutexLock lock(stateMu_);
  return executing_;
}

bool Operation::isFinished() const {
  kx::MutexLock lock(stateMu_);
  return finished_;
}

void Operation::setExecuting(bool executing) {
  kx::MutexLock lock(stateMu_);
  executing_ = executing;
}

void Operation::setFinished(bool finished) {
  std::function<void()> tell;
  {
    kx::MutexLock lock(stateMu_);
    bool was = finished_;
    finished_ = finished;
    if (finished && !was && onFinished_) tell = std::move(onFinished_);
    if (finished) onFinished_ = nullptr;
  }
  if (tell) tell();
}

void Operation::finish() {
  std::function<void()> tell;
  {
    kx::MutexLock lock(stateMu_);
    executing_ = false;
    if (!finished_) {
      finished_ = true;
      tell = std::move(onFinished_);
    }
    onFinished_ = nullptr;
  }
  if (tell) tell();
}

struct OperationQueue::State {
  kx::Mutex mu;
  kx::CondVar idle;
  std::size_t width GUARDED_BY(mu) = 1;
  std::deque<std::shared_ptr<Operation>> waiting GUARDED_BY(mu);
  std::vector<std::shared_ptr<Operation>> running GUARDED_BY(mu);
};

OperationQueue::OperationQueue(std::string name, std::size_t maxConcurrentOperationCount)
    : name_(std::move(name)), state_(std::make_shared<State>()) {
  kx::MutexLock lock(state_->mu);
  state_->width = std::max<std::size_t>(1, maxConcurrentOperationCount);
}

OperationQueue::~OperationQueue() {
  kx::MutexLock lock(state_->mu);
  while (!state_->waiting.empty() || !state_->running.empty()) state_->idle.wait(state_->mu);
}

std::size_t OperationQueue::maxConcurrentOperationCount() const {
  kx::MutexLock lock(state_->mu);
  return state_->width;
}

void OperationQueue::setMaxConcurrentOperationCount(std::size_t count) {
  {
    kx::MutexLock lock(state_->mu);
    state_->width = std::max<std::size_t>(1, count);
  }
  startWaiting();
}

bool OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation) return false;
  {
    kx::MutexLock lock(operation->stateMu_);
    if (operation->queued_ || operation->finished_) return false;
    operation->queued_ = true;
    std::weak_ptr<State> weak = state_;
    Operation* raw = operation.get();
    operation->onFinished_ = [weak, raw] {
      if (auto state = weak.lock()) operationFinished(state, raw);
    };
  }
  {
    kx::MutexLock lock(state_->mu);
    state_->waiting.push_back(std::move(operation));
  }
  startWaiting();
  return true;
}

void OperationQueue::startWaiting() {
  std::vector<std::shared_ptr<Operation>> toStart;
  {
    kx::MutexLock lock(state_->mu);
    while (!state_->waiting.empty() && state_->running.size() < state_->width) {
      auto op = std::move(state_->waiting.front());
      state_->waiting.pop_front();
      state_->running.push_back(op);
      toStart.push_back(std::move(op));
    }
  }
  for (auto& op : toStart) {
    GlobalQueue::get().async([op] { op->start(); });
  }
}

void OperationQueue::operationFinished(const std::shared_ptr<State>& state, Operation* operation) {
  std::vector<std::shared_ptr<Operation>> toStart;
  std::shared_ptr<Operation> keep;  // released outside the lock
  {
    kx::MutexLock lock(state->mu);
    auto it = std::find_if(state->running.begin(), state->running.end(),
                           [&](const auto& op) { return op.get() == operation; });
    if (it != state->running.end()) {
      keep = std::move(*it);
      state->running.erase(it);
    } else {
      // Finished before it was started (marked finished from outside).
      auto w = std::find_if(state->waiting.begin(), state->waiting.end(),
                            [&](const auto& op) { return op.get() == operation; });
      if (w != state->waiting.end()) {
        keep = std::move(*w);
        state->waiting.erase(w);
      }
    }
    while (!state->waiting.empty() && state->running.size() < state->width) {
      auto op = std::move(state->waiting.front());
      state->waiting.pop_front();
      state->running.push_back(op);
      toStart.push_back(std::move(op));
    }
    if (state->waiting.empty() && state->running.empty()) state->idle.signalAll();
  }
  for (auto& op : toStart) {
    GlobalQueue::get().async([op] { op->start(); });
  }
}

void OperationQueue::cancelAllOperations() {
  // The waiting ones are marked first: cancelling a running one frees its
  // slot, and whatever starts in that slot must already carry the mark.
  std::vector<std::shared_ptr<Operation>> running;
  std::vector<std::shared_ptr<Operation>> waiting;
  {
    kx::MutexLock lock(state_->mu);
    running.assign(state_->running.begin(), state_->running.end());
    waiting.assign(state_->waiting.begin(), state_->waiting.end());
  }
  for (auto& op : waiting) op->cancel();
  for (auto& op : running) op->cancel();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  kx::MutexLock lock(state_->mu);
  std::vector<std::shared_ptr<Operation>> all(state_->running.begin(), state_->running.end());
  all.insert(all.end(), state_->waiting.begin(), state_->waiting.end());
  return all;
}

std::size_t OperationQueue::operationCount() const {
  kx::MutexLock lock(state_->mu);
  return state_->running.size() + state_->waiting.size();
}

std::size_t OperationQueue::runningCount() const {
  kx::MutexLock lock(state_->mu);
  return state_->running.size();
}

bool OperationQueue::waitUntilAllOperationsAreFinished(double timeoutSeconds) {
  const auto deadline =
      kx::CondVar::Clock::now() + std::chrono::duration_cast<kx::CondVar::Clock::duration>(
                                      std::chrono::duration<double>(timeoutSeconds));
  kx::MutexLock lock(state_->mu);
  while (!state_->waiting.empty() || !state_->running.empty()) {
    if (!state_->idle.waitUntil(state_->mu, deadline)) {
      return state_->waiting.empty() && state_->running.empty();
    }
  }
  return true;
}

}  // namespace kx
