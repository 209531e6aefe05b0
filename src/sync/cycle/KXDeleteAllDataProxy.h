// KXDeleteAllDataProxy wipes one user's local data at the note service's
// order and then confirms the wipe to the service
// ("/qrt/device_open/delete" with the device id and the user).
//
// The user's folder is removed and made anew only inside the application
// data folder (a user id that cannot name a folder there is refused, and
// nothing is confirmed); the store is rebuilt empty. The block learns, once,
// whether the confirmation succeeded (a 200 answer, whatever its body); a
// refused answer gives NSCocoaErrorDomain 400 with the reply as user info
// when the reply is a dictionary.
//
// One confirmation is in flight at a time: a confirmation asked for while
// another is still running is asked again 3 seconds later on the main queue
// (through the environment's clock), as often as needed. Each wipe keeps
// its own user and block, so every block is answered once, by its own
// confirmation.
//
// Create with std::make_shared. Thread safety: every member may be called
// from any thread; mu_ guards the in-flight flag.
#ifndef ZN_SYNC_KXDELETEALLDATAPROXY_H_
#define ZN_SYNC_KXDELETEALLDATAPROXY_H_

#include <functional>
#include <memory>
#include <string>

#include "platform/Error.h"
#include "platform/Mutex.h"
#include "sync/cycle/KXSyncUserMetaEnvironment.h"

class KXDeleteAllDataProxy : public std::enable_shared_from_this<KXDeleteAllDataProxy> {
 public:
  using Callback = std::function<void(bool success, const kx::Error& error)>;
  static constexpr const char* kDeletePath = "/qrt/device_open/delete";
  static constexpr double kBusyRetrySeconds = 3;

  // The shared proxy with the default environment, created once, never freed.
  static KXDeleteAllDataProxy& defaultProxy();

  explicit KXDeleteAllDataProxy(std::shared_ptr<KXSyncUserMetaEnvironment> environment);

  // Wipes `userId`'s data (none when empty) and confirms for that user, or
  // the session's current user when `userId` is empty.
  void deleteAllDataWithUserId(const std::string& userId, Callback callback);
  // Sends the confirmation for `userId`, or arms its retry while another
  // confirmation runs.
  void finishDelete(const std::string& userId, Callback callback);

 private:
  void retryLater(const std::string& userId, Callback callback);

  const std::shared_ptr<KXSyncUserMetaEnvironment> environment_;
  kx::Mutex mu_;
  bool busy_ GUARDED_BY(mu_) = false;
};

#endif  // ZN_SYNC_KXDELETEALLDATAPROXY_H_
