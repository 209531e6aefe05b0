#include "CommonUtils/NSMutableArrayQueue.h"

#include "platform/Mutex.h"

namespace {

kx::Mutex& queueLock() {
  static kx::Mutex* lock = new kx::Mutex();
  return *lock;
}

}  // namespace

void NSMutableArrayQueue::queueIn(kx::Array& queue, const kx::Value& object) {
  kx::MutexLock lock(queueLock());
  if (object.isArray()) {
    const kx::Array& items = object.array();
    queue.insert(queue.end(), items.begin(), items.end());
  } else {
    queue.push_back(object);
  }
}

void NSMutableArrayQueue::queueInTheFirstIndex(kx::Array& queue, const kx::Value& object) {
  kx::MutexLock lock(queueLock());
  queue.insert(queue.begin(), object);
}

std::optional<kx::Value> NSMutableArrayQueue::queueOut(kx::Array& queue) {
  kx::MutexLock lock(queueLock());
  if (queue.empty()) return std::nullopt;
  kx::Value first = std::move(queue.front());
  queue.erase(queue.begin());
  return first;
}

std::size_t NSMutableArrayQueue::queueCount(const kx::Array& queue) {
  kx::MutexLock lock(queueLock());
  return queue.size();
}
