// kx::Queue is the common face of the dispatch queues that stand in for the
// platform's dispatch library: serial queues (SerialQueue), the global
// concurrent queues (GlobalQueue) and the main queue (MainQueue).
//
// A task is a std::function<void()>. Every task runs inside a guard: an
// exception that leaves it is caught and reported through the exception
// handler (by default a line on stderr) and the queue goes on with the next
// task. No exception ever leaves a queue.
//
// Each thread keeps a stack of the queues whose tasks it is running: a task
// pushes its queue, and sync() onto another queue pushes that queue while the
// task given to sync() runs. current() and currentLabel() read the top of that
// stack; isCurrent() asks whether a queue is anywhere on it, which is also the
// test sync() uses to run inline instead of waiting for itself.
//
// Once-only initialisation needs no helper here: use function-local statics
// or std::call_once.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_PLATFORM_QUEUE_H_
#define ZN_PLATFORM_QUEUE_H_

#include <functional>
#include <string>
#include <string_view>

namespace kx {

class Queue {
 public:
  using Task = std::function<void()>;
  // Receives the label of the queue (or the place) where the exception was
  // caught and a description of it.
  using ExceptionHandler =
      std::function<void(const std::string& where, const std::string& description)>;

  Queue() = default;
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
  virtual ~Queue();

  // Queues the task and returns at once.
  virtual void async(Task task) = 0;
  // Runs the task and returns when it has finished. See the subclass for
  // where it runs and what it waits for.
  virtual void sync(const Task& task) = 0;
  // Queues the task after `seconds` (measured on a monotonic clock; negative
  // means now). The delay is served by one timer thread shared by all queues.
  virtual void after(double seconds, Task task) = 0;
  virtual const std::string& label() const = 0;

  // True when the calling thread is running a task of this queue, directly or
  // through nested sync() calls.
  bool isCurrent() const;

  // The queue whose task the calling thread runs (the innermost one), or
  // nullptr on a thread that runs no queue's task.
  static Queue* current();
  // The label of current(); "" on a thread that runs no queue's task.
  static std::string currentLabel();

  // Replaces the handler of exceptions caught in tasks and callbacks; an
  // empty handler restores the default (one line on stderr). The handler is
  // called on the thread that caught the exception and must not throw.
  static void setExceptionHandler(ExceptionHandler handler);
  // Reports an exception through the handler.
  static void reportException(const std::string& where, const std::string& description);
  // Runs fn, catching every exception and reporting it with `where`; returns
  // false when fn threw. Library code uses it around callbacks it calls.
  static bool invokeGuarded(const std::function<void()>& fn, const std::string& where);

 protected:
  // Pushes a queue (which may be nullptr for a queue that is gone but still
  // runs its last tasks) and its label on the calling thread's stack for the
  // lifetime of the scope. `label` must outlive the scope.
  class Scope {
   public:
    Scope(Queue* queue, const std::string* label);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
  };
  // Makes every entry of `queue` on the calling thread's stack anonymous
  // (current() gives nullptr there, the label stays). A queue destroyed by one
  // of its own tasks calls this so that no stale pointer is handed out.
  static void forgetOnThisThread(const Queue* queue);
};

}  // namespace kx

#endif  // ZN_PLATFORM_QUEUE_H_
