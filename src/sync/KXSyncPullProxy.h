// KXSyncPullProxy brings the service's changes into the store for one sync
// cycle: the metadata pull, the pull after the push, and the hand-offs to the
// my-share and pen-note pulls. It reports to its delegate, the cycle.
//
// This class is the seam the metadata pull plugs into. Until it does, pull()
// and pullAfterPush() find nothing to apply and report success at once (on the
// calling thread), pullMyshares() and pullPen() do nothing, and
// clearEnvironment() has nothing to stop. Subclasses override the methods.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCPULLPROXY_H_
#define ZN_SYNC_KXSYNCPULLPROXY_H_

#include <memory>
#include <mutex>

#include "sync/KXSyncPullProxyDelegate.h"

class KXSyncPullProxy {
 public:
  explicit KXSyncPullProxy(std::weak_ptr<KXSyncPullProxyDelegate> delegate);
  virtual ~KXSyncPullProxy() = default;
  KXSyncPullProxy(const KXSyncPullProxy&) = delete;
  KXSyncPullProxy& operator=(const KXSyncPullProxy&) = delete;

  virtual void pull();
  virtual void pullAfterPush();
  virtual void pullMyshares();
  virtual void pullPen();
  // Stops the pull's requests and empties its lists.
  virtual void clearEnvironment();

 protected:
  // The delegate, or nullptr when it is gone.
  std::shared_ptr<KXSyncPullProxyDelegate> delegate() const;

 private:
  mutable std::mutex mu_;
  std::weak_ptr<KXSyncPullProxyDelegate> delegate_;  // guarded by mu_
};

#endif  // ZN_SYNC_KXSYNCPULLPROXY_H_
