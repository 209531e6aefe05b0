// What the push (KXSyncPushProxy) reports to the sync cycle. Every method is
// optional and does nothing by default; they may be called on any thread.
#ifndef ZN_SYNC_KXSYNCPUSHPROXYDELEGATE_H_
#define ZN_SYNC_KXSYNCPUSHPROXYDELEGATE_H_

#include "platform/Error.h"

class KXSyncPushProxyDelegate {
 public:
  virtual ~KXSyncPushProxyDelegate() = default;

  virtual void didPushSuccess() {}
  virtual void didPushFail(const kx::Error& error) {}
};

#endif  // ZN_SYNC_KXSYNCPUSHPROXYDELEGATE_H_
