// kx::SerialQueue runs its tasks one at a time, in the order they were
// queued, on the shared worker pool (WorkerPool): a queue with work borrows
// one pool thread until it is empty (handing the thread back every few dozen
// tasks so that busy queues take turns), and an idle queue costs no thread,
// so thousands of queues are cheap.
//
// sync(task) runs the task on the calling thread once every task queued
// before it has run, while the queue is held for the caller (no other task of
// the queue runs meanwhile, and current() is this queue inside it). When the
// calling thread already holds the queue (it is running one of its tasks, or
// is inside a sync() onto it further down its stack, as in A -> B -> A), the
// task runs inline at once instead of waiting for itself.
//
// after(seconds, task) queues the task when the delay has passed; a delayed
// task whose queue has been destroyed by then is dropped without running.
//
// Destruction drains the queue: the destructor waits until the queue is
// empty and idle, so every task queued before (and every task those tasks
// queue meanwhile) has run. A queue destroyed by one of its own tasks (say,
// when the task releases the last owner of the object holding the queue)
// cannot wait for itself: the tasks still queued run afterwards, in order,
// with current() == nullptr and the queue's label. Either way no worker
// touches freed memory: the queue's state is shared with the running job.
//
// Thread safety: every member may be called from any thread; the object must
// not be destroyed while another thread may still call it.
#ifndef ZN_PLATFORM_SERIALQUEUE_H_
#define ZN_PLATFORM_SERIALQUEUE_H_

#include <memory>
#include <string>

#include "platform/Queue.h"

namespace kx {

class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label = {});
  ~SerialQueue() override;

  void async(Task task) override;
  void sync(const Task& task) override;
  void after(double seconds, Task task) override;
  const std::string& label() const override;

 private:
  struct State;

  static void enqueue(const std::shared_ptr<State>& state, Task task, bool* turnGranted);
  // Blocks until the calling thread holds the queue (it then must call
  // releaseTurn()).
  static void acquireTurn(const std::shared_ptr<State>& state);
  static void releaseTurn(const std::shared_ptr<State>& state);
  static void scheduleDrain(const std::shared_ptr<State>& state);
  static void drain(const std::shared_ptr<State>& state);

  const std::shared_ptr<State> state_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_SERIALQUEUE_H_
