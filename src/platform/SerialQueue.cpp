#include "platform/SerialQueue.h"

#include <deque>
#include <utility>

#include "platform/Mutex.h"
#include "platform/TaskTimer.h"
#include "platform/WorkerPool.h"

namespace kx {

namespace {
// Tasks one drain job runs before it hands its thread back to the pool.
constexpr int kBatch = 32;
}  // namespace

// The part of a queue that a running job may need after the SerialQueue
// object is gone.
struct SerialQueue::State {
  // A queued task, or (turnGranted != nullptr) a sync caller waiting for the
  // queue: the drain sets *turnGranted and hands the queue over.
  struct Item {
    Task task;
    bool* turnGranted = nullptr;
  };

  State(std::string l, Queue* o) : label(std::move(l)), owner(o) {}

  const std::string label;
  Mutex mu;
  CondVar turnCv;  // sync callers wait here for their turn
  std::deque<Item> items GUARDED_BY(mu);
  // Guarded by mu: a drain job or a sync caller holds the queue. Invariant:
  // items is empty or held is true.
  bool held GUARDED_BY(mu) = false;
  bool closed GUARDED_BY(mu) = false;  // the SerialQueue is destroyed
  Queue* owner GUARDED_BY(mu);         // nullptr once destroyed
};

SerialQueue::SerialQueue(std::string label)
    : state_(std::make_shared<State>(std::move(label), this)) {}

SerialQueue::~SerialQueue() {
  if (isCurrent()) {
    // Destroyed by one of its own tasks: the rest of the queue runs later.
    forgetOnThisThread(this);
    MutexLock lock(state_->mu);
    state_->closed = true;
    state_->owner = nullptr;
    return;
  }
  for (;;) {
    acquireTurn(state_);
    {
      MutexLock lock(state_->mu);
      if (state_->items.empty()) {
        state_->closed = true;
        state_->owner = nullptr;
        state_->held = false;
        return;
      }
    }
    releaseTurn(state_);
  }
}

void SerialQueue::async(Task task) { enqueue(state_, std::move(task), nullptr); }

void SerialQueue::sync(const Task& task) {
  if (isCurrent()) {
    Scope scope(this, &state_->label);
    invokeGuarded(task, state_->label);
    return;
  }
  // Only locals below: the task may destroy this queue.
  std::shared_ptr<State> state = state_;
  acquireTurn(state);
  {
    Scope scope(this, &state->label);
    invokeGuarded(task, state->label);
  }
  releaseTurn(state);
}

void SerialQueue::after(double seconds, Task task) {
  std::weak_ptr<State> weak = state_;
  TaskTimer::shared().schedule(seconds, [weak, task = std::move(task)]() mutable {
    if (std::shared_ptr<State> state = weak.lock()) enqueue(state, std::move(task), nullptr);
  });
}

const std::string& SerialQueue::label() const { return state_->label; }

void SerialQueue::enqueue(const std::shared_ptr<State>& state, Task task, bool* turnGranted) {
  bool start = false;
  Task dropped;
  {
    MutexLock lock(state->mu);
    if (state->closed) {
      dropped = std::move(task);  // a delayed task that outlived its queue
    } else {
      state->items.push_back(State::Item{std::move(task), turnGranted});
      if (!state->held) {
        state->held = true;
        start = true;
      }
    }
  }
  if (start) scheduleDrain(state);
}

void SerialQueue::acquireTurn(const std::shared_ptr<State>& state) {
  MutexLock lock(state->mu);
  if (!state->held) {
    state->held = true;
    return;
  }
  bool granted = false;
  state->items.push_back(State::Item{nullptr, &granted});
  while (!granted) state->turnCv.wait(state->mu);
}

void SerialQueue::releaseTurn(const std::shared_ptr<State>& state) {
  {
    MutexLock lock(state->mu);
    if (state->items.empty()) {
      state->held = false;
      return;
    }
  }
  scheduleDrain(state);
}

void SerialQueue::scheduleDrain(const std::shared_ptr<State>& state) {
  WorkerPool::shared().submit([state] { drain(state); });
}

void SerialQueue::drain(const std::shared_ptr<State>& state) {
  for (int n = 0;; ++n) {
    State::Item item;
    Queue* owner;
    {
      MutexLock lock(state->mu);
      if (state->items.empty()) {
        state->held = false;
        return;
      }
      if (n == kBatch) {
        lock.unlock();
        scheduleDrain(state);  // still held: the next job goes on
        return;
      }
      item = std::move(state->items.front());
      state->items.pop_front();
      if (item.turnGranted) {
        *item.turnGranted = true;  // the waiting sync caller now holds the queue
        state->turnCv.signalAll();
        return;
      }
      owner = state->owner;
    }
    Scope scope(owner, &state->label);
    invokeGuarded(item.task, state->label);
    item.task = nullptr;  // release the captures while the queue is still current
  }
}

}  // namespace kx
