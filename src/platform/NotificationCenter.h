// kx::NotificationCenter broadcasts named notifications inside the process.
// An observer gives a name (empty: every name), an object (nullptr: any
// object; otherwise only posts with that very object pointer), an optional
// queue and a callback, and gets back a token to remove itself with.
//
// post() delivers to the matching observers in the order they were added:
// synchronously on the posting thread for observers without a queue (post()
// returns after they have run), and as a task queued on the observer's queue
// for the others. Observers see the observers list as it was when the post
// began: one added during a delivery does not receive that post; one removed
// during a delivery is not called afterwards.
//
// removeObserver(token): once it returns, the observer's callback is never
// started again (deliveries already queued on its queue are skipped). When
// the callback is running on another thread at that moment, removal waits
// for it to return; when it is called from inside the callback itself (on
// the same thread), it returns at once and the running call finishes
// normally. The callback object is released on removal when no call of it
// is running, else when the last running call returns.
//
// Callbacks run guarded: an exception that leaves one is reported through
// kx::Queue's exception handler and the next observer is still called.
// A queue given to addObserver() must outlive the registration.
//
// Thread safety: every member may be called from any thread, including from
// inside a callback.
#ifndef ZN_PLATFORM_NOTIFICATIONCENTER_H_
#define ZN_PLATFORM_NOTIFICATIONCENTER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/Mutex.h"
#include "platform/Queue.h"
#include "platform/Value.h"

namespace kx {

struct Notification {
  std::string name;
  const void* object = nullptr;
  Value userInfo;
};

class NotificationCenter {
 public:
  using Callback = std::function<void(const Notification&)>;
  // 0 is never handed out, so it can stand for "no observer".
  using Token = std::uint64_t;

  // The process-wide centre, created on first use and never freed.
  static NotificationCenter& defaultCenter();

  NotificationCenter();
  // Removes every observer that is still registered (without waiting).
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  Token addObserver(std::string name, const void* object, Queue* queue, Callback callback);
  // Unknown and already removed tokens are ignored.
  void removeObserver(Token token);

  void post(std::string name, const void* object = nullptr, Value userInfo = {});
  void post(const Notification& notification);

 private:
  struct Observer;

  static void deliver(const std::shared_ptr<Observer>& observer, const Notification& notification);
  // Marks the observer removed; waits for its calls on other threads when
  // `wait` is true.
  static void retire(const std::shared_ptr<Observer>& observer, bool wait);

  Mutex mu_;
  std::map<Token, std::shared_ptr<Observer>> observers_ GUARDED_BY(mu_);  // by token = add order
  Token nextToken_ GUARDED_BY(mu_) = 1;
};

}  // namespace kx

#endif  // ZN_PLATFORM_NOTIFICATIONCENTER_H_
