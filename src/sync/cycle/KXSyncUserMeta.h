// KXSyncUserMeta asks the note service for the user's meta record at the
// start of every sync cycle (and again after its push), and for the user's
// own profile ("self info") with its photo. It reports to its delegate, the
// cycle (KXSyncUserMetaDelegate).
//
// pull(withSelf) GETs "/qrt/mapi/user?method=get" ("multilevelEnable" says
// whether the self info is wanted). A reply with a non-empty "uid" is stored
// (the User row, the session version "rv") and reported; one without fails
// the cycle. A failed request is decided by handlePullError:
//   error 422  the service upgrades the user's data: the first-download window
//              shows the upgrade text and the request repeats every 2 seconds
//              (on the injected clock) without reporting anything;
//   error 207  the login cookie expired: the session logs in again, and the
//              delegate hears autoLoginSucceedAfterAuthFailed when that
//              completes (an alert and sign-out when it cannot);
//   ecode 2060 / 2061 (signed in): an alert, then sign-out (2060) or a wipe
//              of the user's data and sign-out (2061); the cycle fails, so the
//              width-1 sync queue never waits on an alert;
//   ecode 2061 (not signed in): the named user's data is wiped, that user
//              becomes current and the pull starts again;
//   anything else fails the cycle.
// With withSelf, a successful pull is followed by the self info
// ("/qrt/api/self?method=get", stored raw as "selfInfo") and the photo, which
// is downloaded only when its cache file does not exist yet. Self-info and
// photo failures are silent.
//
// Every request is answered at most once, and not at all once the puller is
// cancelled (setIsCancelled) or cleared: nothing reaches the store or the
// delegate after that. Alerts and window changes run on the main queue.
//
// Create with std::make_shared. Thread safety: every member may be called
// from any thread; mu_ guards the delegate and the running requests.
#ifndef ZN_SYNC_KXSYNCUSERMETA_H_
#define ZN_SYNC_KXSYNCUSERMETA_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "platform/Mutex.h"
#include "sync/cycle/KXDeleteAllDataProxy.h"
#include "sync/cycle/KXSyncUserMetaDelegate.h"
#include "sync/cycle/KXSyncUserMetaEnvironment.h"

class KXSyncUserMeta : public std::enable_shared_from_this<KXSyncUserMeta> {
 public:
  static constexpr const char* kUserMetaPath = "/qrt/mapi/user?method=get";
  static constexpr const char* kSelfInfoPath = "/qrt/api/self?method=get";
  static constexpr double kUpgradeRetrySeconds = 2;
  static constexpr const char* kErrorDomain = "com.zarvel.note.Error";
  static constexpr std::int64_t kErrorCode = 0x400000002;

  // The shared puller (the manager's), created once, never freed.
  static KXSyncUserMeta& defaultProxy();

  // The default environment.
  KXSyncUserMeta();
  explicit KXSyncUserMeta(std::shared_ptr<KXSyncUserMetaEnvironment> environment);
  virtual ~KXSyncUserMeta();
  KXSyncUserMeta(const KXSyncUserMeta&) = delete;
  KXSyncUserMeta& operator=(const KXSyncUserMeta&) = delete;

  virtual void pull(bool withSelf);
  void pullself();
  void pullSelfImage(const std::string& photo, const kx::Value& selfInfo);
  void handlePullError(const kx::Error& error, const kx::Value& result,
                       const KXNetworkOperation* operation);
  // Stops the running requests (their answers are dropped) and forgets an
  // upgrade in progress.
  virtual void clearEnvironment();

  bool isCancelled() const { return isCancelled_.load(); }
  void setIsCancelled(bool cancelled) { isCancelled_.store(cancelled); }
  bool upgrading() const { return upgrading_.load(); }
  std::shared_ptr<KXSyncUserMetaDelegate> delegate() const;
  void setDelegate(std::weak_ptr<KXSyncUserMetaDelegate> delegate);

 private:
  // A fresh operation for `options`, kept until it has finished (a running
  // request holds its operation only weakly) or clearEnvironment.
  std::shared_ptr<KXNetworkOperation> makeOperation(KXNetworkOperationOptions options);
  // Whether answers of requests made in `generation` still count.
  bool current(std::uint64_t generation) const;
  void handleReply(const kx::Value& result, bool withSelf);
  void handleSelfInfo(const kx::Value& data);
  void showAlertThen(std::string message, std::string informative, std::vector<std::string> buttons,
                     std::function<void()> then);

  const std::shared_ptr<KXSyncUserMetaEnvironment> environment_;
  // Wipes at the service's order, with this puller's environment.
  const std::shared_ptr<KXDeleteAllDataProxy> deleteProxy_;
  std::atomic<bool> upgrading_{false};
  std::atomic<bool> isCancelled_{false};
  std::atomic<std::uint64_t> generation_{0};

  mutable kx::Mutex mu_;
  std::weak_ptr<KXSyncUserMetaDelegate> delegate_ GUARDED_BY(mu_);
  std::vector<std::shared_ptr<KXNetworkOperation>> operations_ GUARDED_BY(mu_);
};

#endif  // ZN_SYNC_KXSYNCUSERMETA_H_
