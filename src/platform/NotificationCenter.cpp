#include "platform/NotificationCenter.h"

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Mutex.h"

namespace kx {

struct NotificationCenter::Observer {
  Observer(std::string n, const void* o, Queue* q, Callback c)
      : name(std::move(n)), object(o), queue(q), callback(std::move(c)) {}

  bool matches(const Notification& notification) const {
    return (name.empty() || name == notification.name) &&
           (object == nullptr || object == notification.object);
  }

  const std::string name;
  const void* const object;
  Queue* const queue;
  // Written only by retire(), with mu held, while no call runs; read by
  // deliver() only while its thread is listed in `running`.
  Callback callback;

  Mutex mu;
  CondVar idleCv;  // retire() waits here for calls to end
  bool removed GUARDED_BY(mu) = false;
  std::vector<std::thread::id> running GUARDED_BY(mu);  // one entry per running call
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

NotificationCenter::NotificationCenter() = default;

NotificationCenter::~NotificationCenter() {
  std::map<Token, std::shared_ptr<Observer>> observers;
  {
    MutexLock lock(mu_);
    observers.swap(observers_);
  }
  for (auto& [token, observer] : observers) retire(observer, false);
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object,
                                                          Queue* queue, Callback callback) {
  auto observer = std::make_shared<Observer>(std::move(name), object, queue, std::move(callback));
  MutexLock lock(mu_);
  Token token = nextToken_++;
  observers_.emplace(token, std::move(observer));
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::shared_ptr<Observer> observer;
  {
    MutexLock lock(mu_);
    auto it = observers_.find(token);
    if (it == observers_.end()) return;
    observer = std::move(it->second);
    observers_.erase(it);
  }
  retire(observer, true);
}

void NotificationCenter::retire(const std::shared_ptr<Observer>& observer, bool wait) {
  Callback released;
  MutexLock lock(observer->mu);
  observer->removed = true;
  const std::thread::id self = std::this_thread::get_id();
  if (wait) {
    // Calls on this thread (an observer removing itself) are not waited for.
    while (!std::all_of(observer->running.begin(), observer->running.end(),
                        [&](const std::thread::id& id) { return id == self; })) {
      observer->idleCv.wait(observer->mu);
    }
  }
  if (observer->running.empty()) released = std::move(observer->callback);
  lock.unlock();
  // `released` is destroyed here, outside every lock.
}

void NotificationCenter::post(std::string name, const void* object, Value userInfo) {
  post(Notification{std::move(name), object, std::move(userInfo)});
}

void NotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Observer>> matching;
  {
    MutexLock lock(mu_);
    for (const auto& [token, observer] : observers_) {
      if (observer->matches(notification)) matching.push_back(observer);
    }
  }
  for (const std::shared_ptr<Observer>& observer : matching) {
    if (observer->queue) {
      observer->queue->async([observer, notification] { deliver(observer, notification); });
    } else {
      deliver(observer, notification);
    }
  }
}

void NotificationCenter::deliver(const std::shared_ptr<Observer>& observer,
                                 const Notification& notification) {
  const std::thread::id self = std::this_thread::get_id();
  {
    MutexLock lock(observer->mu);
    if (observer->removed) return;
    observer->running.push_back(self);
  }
  Queue::invokeGuarded([&] { observer->callback(notification); }, notification.name);
  Callback released;
  {
    MutexLock lock(observer->mu);
    observer->running.erase(std::find(observer->running.begin(), observer->running.end(), self));
    if (observer->removed) {
      if (observer->running.empty()) released = std::move(observer->callback);
      observer->idleCv.signalAll();
    }
  }
}

}  // namespace kx
