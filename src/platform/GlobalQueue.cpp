#include "platform/GlobalQueue.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Mutex.h"
#include "platform/TaskTimer.h"

namespace kx {

namespace {
constexpr int kPriorities = 3;
}  // namespace

class GlobalQueue::Pool {
 public:
  struct Entry {
    Task task;
    std::uint64_t seq;
  };
  // What one pool thread is running: priority -1 when it runs nothing.
  struct Slot {
    int priority = -1;
    std::uint64_t seq = 0;
  };

  explicit Pool(std::size_t n) : size(n), slots(n) {}

  // The sequence number of the oldest task of priority p that is queued or
  // running; UINT64_MAX when there is none.
  std::uint64_t oldestLocked(int p) const REQUIRES(mu) {
    std::uint64_t oldest = std::numeric_limits<std::uint64_t>::max();
    if (!pending[p].empty()) oldest = pending[p].front().seq;
    for (const Slot& slot : slots) {
      if (slot.priority == p) oldest = std::min(oldest, slot.seq);
    }
    return oldest;
  }

  const std::size_t size;
  Mutex mu;
  CondVar workCv;  // pool threads wait here for tasks
  CondVar doneCv;  // waitForEarlierTasks() waits here
  std::deque<Entry> pending[kPriorities] GUARDED_BY(mu);
  std::uint64_t nextSeq[kPriorities] GUARDED_BY(mu) = {1, 1, 1};
  std::vector<Slot> slots GUARDED_BY(mu);
  int doneWaiters GUARDED_BY(mu) = 0;
  bool started GUARDED_BY(mu) = false;
};

GlobalQueue::GlobalQueue(QueuePriority priority, std::string label)
    : priority_(priority), label_(std::move(label)) {}

GlobalQueue& GlobalQueue::get(QueuePriority priority) {
  static GlobalQueue* const queues[kPriorities] = {
      new GlobalQueue(QueuePriority::Background, "kx.global.background"),
      new GlobalQueue(QueuePriority::Default, "kx.global.default"),
      new GlobalQueue(QueuePriority::High, "kx.global.high"),
  };
  int index = std::clamp(static_cast<int>(priority), 0, kPriorities - 1);
  return *queues[index];
}

GlobalQueue::Pool& GlobalQueue::pool() {
  static Pool* p = new Pool(poolSize());
  return *p;
}

std::size_t GlobalQueue::poolSize() {
  return std::max<std::size_t>(2, std::thread::hardware_concurrency());
}

void GlobalQueue::async(Task task) {
  Pool& p = pool();
  int index = static_cast<int>(priority_);
  MutexLock lock(p.mu);
  if (!p.started) {
    for (std::size_t i = 0; i < p.size; ++i) {
      std::thread([&p, i] { workerLoop(p, i); }).detach();
    }
    p.started = true;
  }
  p.pending[index].push_back(Pool::Entry{std::move(task), p.nextSeq[index]++});
  // Signalled after the lock is let go, so the thread it wakes does not
  // wake only to wait for the lock.
  lock.unlock();
  p.workCv.signal();
}

void GlobalQueue::sync(const Task& task) {
  Scope scope(this, &label_);
  invokeGuarded(task, label_);
}

void GlobalQueue::after(double seconds, Task task) {
  TaskTimer::shared().schedule(
      seconds, [this, task = std::move(task)]() mutable { async(std::move(task)); });
}

bool GlobalQueue::waitForEarlierTasks(double timeoutSeconds) {
  Pool& p = pool();
  int index = static_cast<int>(priority_);
  TaskTimer::Clock::time_point deadline = TaskTimer::deadlineAfter(timeoutSeconds);
  MutexLock lock(p.mu);
  std::uint64_t limit = p.nextSeq[index];
  ++p.doneWaiters;
  bool done = p.oldestLocked(index) >= limit;
  while (!done) {
    bool signalled = p.doneCv.waitUntil(p.mu, deadline);
    done = p.oldestLocked(index) >= limit;
    if (!signalled) break;
  }
  --p.doneWaiters;
  return done;
}

void GlobalQueue::workerLoop(Pool& p, std::size_t slot) {
  MutexLock lock(p.mu);
  for (;;) {
    int index = kPriorities - 1;
    while (index >= 0 && p.pending[index].empty()) --index;
    if (index < 0) {
      p.workCv.wait(p.mu);
      continue;
    }
    Pool::Entry entry = std::move(p.pending[index].front());
    p.pending[index].pop_front();
    p.slots[slot] = Pool::Slot{index, entry.seq};
    lock.unlock();
    {
      GlobalQueue& queue = get(static_cast<QueuePriority>(index));
      Scope scope(&queue, &queue.label_);
      invokeGuarded(entry.task, queue.label_);
      entry.task = nullptr;  // release the captures while the queue is current
    }
    lock.lock();
    p.slots[slot] = Pool::Slot{};
    if (p.doneWaiters > 0) p.doneCv.signalAll();
  }
}

}  // namespace kx
