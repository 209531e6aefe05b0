#include "CommonUtils/NSMutableArrayQueue.h"

#include <mutex>

namespace {

std::mutex& queueLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}

}  // namespace

void NSMutableArrayQueue::queueIn(kx::Array& queue, const kx::Value& object) {
  std::lock_guard<std::mutex> lock(queueLock());
  if (object.isArray()) {
    const kx::Array& items = object.array();
    queue.insert(queue.end(), items.begin(), items.end());
  } else {
    queue.push_back(object);
  }
}

void NSMutableArrayQueue::queueInTheFirstIndex(kx::Array& queue, const kx::Value& object) {
  std::lock_guard<std::mutex> lock(queueLock());
  queue.insert(queue.begin(), object);
}

std::optional<kx::Value> NSMutableArrayQueue::queueOut(kx::Array& queue) {
  std::lock_guard<std::mutex> lock(queueLock());
  if (queue.empty()) return std::nullopt;
  kx::Value first = std::move(queue.front());
  queue.erase(queue.begin());
  return first;
}

std::size_t NSMutableArrayQueue::queueCount(const kx::Array& queue) {
  std::lock_guard<std::mutex> lock(queueLock());
  return queue.size();
}
