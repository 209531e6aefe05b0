// kx::Operation and kx::OperationQueue stand in for the platform's operation
// queue: an operation is one piece of work with ready, executing, finished
// and cancelled states; a queue runs the operations added to it, at most
// maxConcurrentOperationCount at a time, in the order they were added.
//
// A synchronous operation (the default) does its work in main(); start()
// runs main() and marks the operation finished when it returns. An
// asynchronous operation (isAsynchronous() true) overrides start() to begin
// its work and later reports the end with setFinished(true): the queue keeps
// its slot until then (finish() ends executing and marks finished in one
// step). The queue calls start() on the default global queue, so there is no
// thread per operation; an operation's main() does borrow a pool thread
// while it runs.
//
// cancelAllOperations() calls cancel() on every operation of the queue.
// Cancelling only marks an operation (and lets an asynchronous one stop its
// work); a cancelled operation that has not started is still started when a
// slot is free, and its start() must notice the mark and finish at once.
// An operation leaves the queue when it has finished.
//
// Thread safety: every member of both classes may be called from any
// thread. An operation may be in one queue, once.
#ifndef ZN_PLATFORM_OPERATIONQUEUE_H_
#define ZN_PLATFORM_OPERATIONQUEUE_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mutex.h"

namespace kx {

class OperationQueue;

class Operation : public std::enable_shared_from_this<Operation> {
 public:
  Operation() = default;
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // Runs the operation. The default: a cancelled operation finishes at once;
  // otherwise executing, main(), then finished.
  virtual void start();
  // The work of a synchronous operation. The default does nothing.
  virtual void main() {}
  // Marks the operation cancelled. Subclasses that override it call this.
  virtual void cancel();
  virtual bool isAsynchronous() const { return false; }

  bool isCancelled() const;
  bool isExecuting() const;
  bool isFinished() const;
  // Ready to start (this queue has no dependencies between operations).
  bool isReady() const { return true; }

 protected:
  // An asynchronous operation reports its state with these. Finishing is
  // reported to the queue once, the first time the operation is marked
  // finished.
  void setExecuting(bool executing);
  void setFinished(bool finished);
  // Ends the work in one step: no longer executing and finished, so that
  // nobody who looks at the state sees an operation that has done its work
  // as one still waiting to start.
  void finish();

 private:
  friend class OperationQueue;

  mutable kx::Mutex stateMu_;
  bool cancelled_ GUARDED_BY(stateMu_) = false;
  bool executing_ GUARDED_BY(stateMu_) = false;
  bool finished_ GUARDED_BY(stateMu_) = false;
  bool queued_ GUARDED_BY(stateMu_) = false;
  // Told once when the operation is marked finished.
  std::function<void()> onFinished_ GUARDED_BY(stateMu_);
};

class OperationQueue {
 public:
  explicit OperationQueue(std::string name = {}, std::size_t maxConcurrentOperationCount = 1);
  // Waits until every operation added has finished.
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  const std::string& name() const { return name_; }
  std::size_t maxConcurrentOperationCount() const;
  // Widening starts waiting operations at once.
  void setMaxConcurrentOperationCount(std::size_t count);

  // Adds the operation; false (and nothing done) when it is null, finished,
  // or was added to a queue before.
  bool addOperation(std::shared_ptr<Operation> operation);
  // Calls cancel() on every operation of the queue: the waiting ones first,
  // so none of them starts unmarked in a slot a cancelled one freed.
  void cancelAllOperations();

  // Operations added and not finished: the running ones, then the waiting
  // ones in the order they were added.
  std::vector<std::shared_ptr<Operation>> operations() const;
  std::size_t operationCount() const;
  // Operations started and not finished.
  std::size_t runningCount() const;

  // Blocks until the queue holds no operation; false when `timeoutSeconds`
  // passed first.
  bool waitUntilAllOperationsAreFinished(double timeoutSeconds);

 private:
  struct State;
  void startWaiting();
  static void operationFinished(const std::shared_ptr<State>& state, Operation* operation);

  const std::string name_;
  std::shared_ptr<State> state_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_OPERATIONQUEUE_H_
