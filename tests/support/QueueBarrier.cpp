#include "support/QueueBarrier.h"

#include <atomic>
#include <memory>

#include "platform/GlobalQueue.h"
#include "platform/MainQueue.h"
#include "platform/Semaphore.h"

namespace kxtest {

bool waitForQueue(kx::Queue& queue, double timeoutSeconds) {
  if (auto* global = dynamic_cast<kx::GlobalQueue*>(&queue)) {
    return global->waitForEarlierTasks(timeoutSeconds);
  }
  kx::MainQueue& main = kx::MainQueue::shared();
  if (&queue == &main && kx::MainQueue::isMainThread()) {
    auto reached = std::make_shared<std::atomic<bool>>(false);
    main.async([reached] { reached->store(true); });
    return main.runUntil([&] { return reached->load(); }, timeoutSeconds);
  }
  // Shared with the marker: it may run after a timed-out wait has returned.
  auto marker = std::make_shared<kx::Semaphore>();
  queue.async([marker] { marker->signal(); });
  return marker->wait(timeoutSeconds);
}

bool pumpMainUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  return kx::MainQueue::shared().runUntil(condition, timeoutSeconds);
}

}  // namespace kxtest
