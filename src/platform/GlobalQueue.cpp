#include "platform/GlobalQueue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
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
// How long a pool thread that ran out of tasks keeps looking before it
// sleeps, and how many look at once. A task queued meanwhile is taken without
// a wake-up through the kernel, which on a loaded or virtual machine costs
// tens of microseconds to the waker and the woken alike.
constexpr std::chrono::microseconds kSpinWindow{50};
constexpr int kMostSpinners = 2;

void relax(int round) {
#if defined(__x86_64__) || defined(__i386__)
  if (round % 8 != 7) {
    __builtin_ia32_pause();
    return;
  }
#else
  (void)round;
#endif
  std::this_thread::yield();
}
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
  // Tasks queued of every priority; `queuedHint` mirrors it for the threads
  // that look for work without the lock.
  std::size_t queued GUARDED_BY(mu) = 0;
  std::atomic<std::size_t> queuedHint{0};
  // Threads asleep on workCv, and threads looking for work without the lock.
  // A spinner always takes the lock and looks again before it sleeps, so a
  // task it was counted on for is never left behind.
  std::size_t sleeping GUARDED_BY(mu) = 0;
  std::atomic<int> spinning{0};
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
  p.queuedHint.store(++p.queued, std::memory_order_relaxed);
  // A sleeper is woken only for a task no spinning thread will take. Read
  // under the lock: a spinner that gives up lowers the count before it takes
  // the lock to look again, so either it sees this task or this sees it gone.
  const bool wake = p.sleeping > 0 && p.queued > static_cast<std::size_t>(p.spinning.load());
  // Signalled after the lock is let go, so the thread it wakes does not
  // wake only to wait for the lock.
  lock.unlock();
  if (wake) p.workCv.signal();
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
  // A thread looks for work without sleeping once after each task it ran.
  bool maySpin = false;
  for (;;) {
    int index = kPriorities - 1;
    while (index >= 0 && p.pending[index].empty()) --index;
    if (index < 0) {
      if (maySpin && p.spinning.load() < kMostSpinners) {
        maySpin = false;
        p.spinning.fetch_add(1);
        lock.unlock();
        const auto deadline = std::chrono::steady_clock::now() + kSpinWindow;
        for (int round = 0; p.queuedHint.load(std::memory_order_relaxed) == 0; ++round) {
          if (round % 16 == 15 && std::chrono::steady_clock::now() >= deadline) break;
          relax(round);
        }
        p.spinning.fetch_sub(1);
        lock.lock();
        continue;
      }
      ++p.sleeping;
      p.workCv.wait(p.mu);
      --p.sleeping;
      continue;
    }
    Pool::Entry entry = std::move(p.pending[index].front());
    p.pending[index].pop_front();
    p.queuedHint.store(--p.queued, std::memory_order_relaxed);
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
    maySpin = true;
  }
}

}  // namespace kx
