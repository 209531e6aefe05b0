// kx::GlobalQueue is one of the three process-wide concurrent queues, of
// background, default and high priority. They share one fixed pool of
// max(2, hardware threads) threads, started on first use; a free thread
// always takes the oldest task of the highest priority that has one, so a
// task never overtakes an older task of its own priority, but tasks of one
// queue may run at the same time on several threads.
//
// A pool thread that has run a task looks for the next one for a short while
// (50 microseconds, at most two threads at once) before it sleeps; a task queued
// meanwhile wakes no thread through the kernel. A sleeping thread is woken
// only for a task that no looking thread is counted on to take.
//
// sync(task) runs the task on the calling thread at once (a concurrent queue
// has nothing to wait for), with this queue current inside it.
//
// The pool is fixed: a task must not block waiting for a later global task,
// or it may wait for ever once every pool thread does the same. Work that
// blocks belongs on a serial queue.
//
// Thread safety: every member may be called from any thread. The queues are
// created on first use and never freed.
#ifndef ZN_PLATFORM_GLOBALQUEUE_H_
#define ZN_PLATFORM_GLOBALQUEUE_H_

#include <string>

#include "platform/Queue.h"

namespace kx {

enum class QueuePriority { Background = 0, Default = 1, High = 2 };

class GlobalQueue final : public Queue {
 public:
  static GlobalQueue& get(QueuePriority priority = QueuePriority::Default);

  void async(Task task) override;
  void sync(const Task& task) override;
  void after(double seconds, Task task) override;
  // "kx.global.background", "kx.global.default" or "kx.global.high".
  const std::string& label() const override { return label_; }
  QueuePriority priority() const { return priority_; }

  // Blocks until every task queued on this queue before the call has
  // finished (tasks queued later do not hold it up); returns false when
  // `timeoutSeconds` passed first. Test barriers use it.
  bool waitForEarlierTasks(double timeoutSeconds);

  // Threads of the shared pool.
  static std::size_t poolSize();

 private:
  class Pool;

  GlobalQueue(QueuePriority priority, std::string label);
  ~GlobalQueue() override = default;
  static Pool& pool();
  static void workerLoop(Pool& pool, std::size_t slot);

  const QueuePriority priority_;
  const std::string label_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_GLOBALQUEUE_H_
