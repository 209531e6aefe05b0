// kx::MainQueue is the queue of the main thread, where interface work and
// results for the interface run. Tasks queued from any thread run only when
// a thread pumps the queue with drain(), runUntil() or runFor(): the
// program's loop does so, and so do tests. Tasks run one at a time, in the
// order they were queued.
//
// The main thread is the process's first thread (the one that runs main());
// the program and the tests pump from it. sync(task) called on the main
// thread, or on a thread that is running a main-queue task, runs the task
// inline at once; from any other thread it queues the task and waits until
// the pumping thread has run it. (So a thread must not sync() onto the main
// queue while the main thread waits for that thread.)
//
// Pumping may nest: a main-queue task may itself call runUntil(), as a modal
// wait does, and the queue's tasks then run inside it.
//
// A program whose main thread sleeps in another event loop (GLib's) sets a
// wake hook: it is called, on the posting thread and outside the queue's
// lock, each time a task is queued (async(), a timer's task coming due, a
// sync() from another thread), so that loop can wake and drain() without
// polling.
//
// Thread safety: every member may be called from any thread. The queue is
// created on first use and never freed.
#ifndef ZN_PLATFORM_MAINQUEUE_H_
#define ZN_PLATFORM_MAINQUEUE_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/Mutex.h"
#include "platform/Queue.h"
#include "platform/TaskTimer.h"

namespace kx {

class MainQueue final : public Queue {
 public:
  static MainQueue& shared();
  // True on the process's first thread.
  static bool isMainThread();

  void async(Task task) override;
  void sync(const Task& task) override;
  void after(double seconds, Task task) override;
  // "kx.main".
  const std::string& label() const override { return label_; }

  // Runs the queued tasks, and those they queue, until the queue is empty.
  // Returns the number of tasks run.
  std::size_t drain();
  // Runs tasks as they come until condition() is true (checked before the
  // first task, after each task, and at least every millisecond while
  // waiting) or `timeoutSeconds` have passed. Returns whether the condition
  // became true.
  bool runUntil(const std::function<bool()>& condition, double timeoutSeconds);
  // Runs tasks as they come for `seconds`.
  void runFor(double seconds);

  using WakeHook = std::function<void()>;
  // Installs the hook called after each task is queued; nullptr removes it.
  // The hook must be cheap and safe to call from any thread.
  void setWakeHook(WakeHook hook);

 private:
  // A queued task; for a sync() from another thread, `waiting` points at the
  // caller's task and `done` at its flag instead.
  struct Item {
    Task task;
    const Task* waiting = nullptr;
    bool* done = nullptr;
  };

  MainQueue();
  ~MainQueue() override = default;
  // Runs the oldest queued task, if any; returns whether it ran one.
  bool runOne();
  // Waits until a task is queued or `deadline` passes.
  void waitForWork(TaskTimer::Clock::time_point deadline);
  // Calls the wake hook, if any; the lock must not be held.
  void wake() EXCLUDES(mu_);

  const std::string label_;
  Mutex mu_;
  CondVar workCv_;  // pumping threads wait here for tasks
  CondVar doneCv_;  // sync() callers wait here for their task to run
  std::deque<Item> items_ GUARDED_BY(mu_);
  std::shared_ptr<const WakeHook> wakeHook_ GUARDED_BY(mu_);
};

}  // namespace kx

#endif  // ZN_PLATFORM_MAINQUEUE_H_
