// KXSyncPushProxy sends the store's local changes to the service for one sync
// cycle and reports to its delegate, the cycle.
//
// This class is the seam the push plugs into. Until it does, push() sends
// nothing and reports success at once (on the calling thread), and
// clearEnvironment() has nothing to stop. Subclasses override the methods.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCPUSHPROXY_H_
#define ZN_SYNC_KXSYNCPUSHPROXY_H_

#include <memory>
#include <mutex>

#include "sync/KXSyncPushProxyDelegate.h"

class KXSyncPushProxy {
 public:
  explicit KXSyncPushProxy(std::weak_ptr<KXSyncPushProxyDelegate> delegate);
  virtual ~KXSyncPushProxy() = default;
  KXSyncPushProxy(const KXSyncPushProxy&) = delete;
  KXSyncPushProxy& operator=(const KXSyncPushProxy&) = delete;

  virtual void push();
  // Stops the push's requests and empties its lists.
  virtual void clearEnvironment();

 protected:
  // The delegate, or nullptr when it is gone.
  std::shared_ptr<KXSyncPushProxyDelegate> delegate() const;

 private:
  mutable std::mutex mu_;
  std::weak_ptr<KXSyncPushProxyDelegate> delegate_;  // guarded by mu_
};

#endif  // ZN_SYNC_KXSYNCPUSHPROXY_H_
