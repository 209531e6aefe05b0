#include "platform/MainQueue.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace kx {

namespace {
// How often runUntil() looks at its condition while no task arrives: the
// condition may be made true by another thread without queuing anything.
constexpr std::chrono::milliseconds kConditionPoll{1};
}  // namespace

MainQueue::MainQueue() : label_("kx.main") {}

MainQueue& MainQueue::shared() {
  static MainQueue* queue = new MainQueue;
  return *queue;
}

bool MainQueue::isMainThread() {
  thread_local const bool isMain = gettid() == getpid();
  return isMain;
}

void MainQueue::async(Task task) {
  {
    MutexLock lock(mu_);
    items_.push_back(Item{std::move(task)});
    workCv_.signalAll();
  }
  wake();
}

void MainQueue::setWakeHook(WakeHook hook) {
  std::shared_ptr<const WakeHook> shared;
  if (hook) shared = std::make_shared<const WakeHook>(std::move(hook));
  MutexLock lock(mu_);
  wakeHook_ = std::move(shared);
}

void MainQueue::wake() {
  std::shared_ptr<const WakeHook> hook;
  {
    MutexLock lock(mu_);
    hook = wakeHook_;
  }
  if (hook) (*hook)();
}

void MainQueue::sync(const Task& task) {
  if (isMainThread() || isCurrent()) {
    Scope scope(this, &label_);
    invokeGuarded(task, label_);
    return;
  }
  bool done = false;
  {
    MutexLock lock(mu_);
    items_.push_back(Item{nullptr, &task, &done});
    workCv_.signalAll();
  }
  wake();
  MutexLock lock(mu_);
  while (!done) doneCv_.wait(mu_);
}

void MainQueue::after(double seconds, Task task) {
  TaskTimer::shared().schedule(
      seconds, [this, task = std::move(task)]() mutable { async(std::move(task)); });
}

bool MainQueue::runOne() {
  Item item;
  {
    MutexLock lock(mu_);
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
  }
  {
    Scope scope(this, &label_);
    invokeGuarded(item.waiting ? *item.waiting : item.task, label_);
    item.task = nullptr;  // release the captures while the queue is current
  }
  if (item.done) {
    MutexLock lock(mu_);
    *item.done = true;
    doneCv_.signalAll();
  }
  return true;
}

std::size_t MainQueue::drain() {
  std::size_t count = 0;
  while (runOne()) ++count;
  return count;
}

void MainQueue::waitForWork(TaskTimer::Clock::time_point deadline) {
  MutexLock lock(mu_);
  while (items_.empty()) {
    if (!workCv_.waitUntil(mu_, deadline)) return;
  }
}

bool MainQueue::runUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  TaskTimer::Clock::time_point deadline = TaskTimer::deadlineAfter(timeoutSeconds);
  for (;;) {
    if (condition()) return true;
    TaskTimer::Clock::time_point now = TaskTimer::Clock::now();
    if (now >= deadline) return false;
    if (runOne()) continue;
    waitForWork(std::min(deadline, now + kConditionPoll));
  }
}

void MainQueue::runFor(double seconds) {
  TaskTimer::Clock::time_point deadline = TaskTimer::deadlineAfter(seconds);
  for (;;) {
    if (TaskTimer::Clock::now() >= deadline) return;
    if (runOne()) continue;
    waitForWork(deadline);
  }
}

}  // namespace kx
