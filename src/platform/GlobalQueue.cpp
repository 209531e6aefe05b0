#include "platform/GlobalQueue.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

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
  // running; UINT64_MAX when there is none. mu held.
  std::uint64_t oldestLocked(int p) const {
    std::uint64_t oldest = std::numeric_limits<std::uint64_t>::max();
    if (!pending[p].empty()) oldest = pending[p].front().seq;
    for (const Slot& slot : slots) {
      if (slot.priority == p) oldest = std::min(oldest, slot.seq);
    }
    return oldest;
  }

  const std::size_t size;
  std::mutex mu;
  std::condition_variable workCv;   // pool threads wait here for tasks
  std::condition_variable doneCv;   // waitForEarlierTasks() waits here
  std::deque<Entry> pending[kPriorities];             // guarded by mu
  std::uint64_t nextSeq[kPriorities] = {1, 1, 1};     // guarded by mu
  std::vector<Slot> slots;                            // guarded by mu
  int doneWaiters = 0;                                // guarded by mu
  bool started = false;                               // guarded by mu
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
  std::lock_guard<std::mutex> lock(p.mu);
  if (!p.started) {
    for (std::size_t i = 0; i < p.size; ++i) {
      std::thread([&p, i] { workerLoop(p, i); }).detach();
    }
    p.started = true;
  }
  p.pending[index].push_back(Pool::Entry{std::move(task), p.nextSeq[index]++});
  p.workCv.notify_one();
}

void GlobalQueue::sync(const Task& task) {
  Scope scope(this, &label_);
  invokeGuarded(task, label_);
}

void GlobalQueue::after(double seconds, Task task) {
  TaskTimer::shared().schedule(seconds,
                               [this, task = std::move(task)]() mutable { async(std::move(task)); });
}

bool GlobalQueue::waitForEarlierTasks(double timeoutSeconds) {
  Pool& p = pool();
  int index = static_cast<int>(priority_);
  TaskTimer::Clock::time_point deadline = TaskTimer::deadlineAfter(timeoutSeconds);
  std::unique_lock<std::mutex> lock(p.mu);
  std::uint64_t limit = p.nextSeq[index];
  ++p.doneWaiters;
  bool done = p.doneCv.wait_until(lock, deadline,
                                  [&] { return p.oldestLocked(index) >= limit; });
  --p.doneWaiters;
  return done;
}

void GlobalQueue::workerLoop(Pool& p, std::size_t slot) {
  std::unique_lock<std::mutex> lock(p.mu);
  for (;;) {
    int index = kPriorities - 1;
    while (index >= 0 && p.pending[index].empty()) --index;
    if (index < 0) {
      p.workCv.wait(lock);
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
    if (p.doneWaiters > 0) p.doneCv.notify_all();
  }
}

}  // namespace kx
