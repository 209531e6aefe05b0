// What the metadata pull (KXSyncPullProxy) reports to the sync cycle. Every
// method is optional and does nothing by default; they may be called on any
// thread.
#ifndef ZN_SYNC_KXSYNCPULLPROXYDELEGATE_H_
#define ZN_SYNC_KXSYNCPULLPROXYDELEGATE_H_

#include "platform/Error.h"

class KXSyncPullProxyDelegate {
 public:
  virtual ~KXSyncPullProxyDelegate() = default;

  virtual void didPullSuccess() {}
  virtual void didPullFail(const kx::Error& error) {}
  // The metadata of the pull is applied and saved, before the item downloads.
  virtual void didPullFileMetaDone() {}
};

#endif  // ZN_SYNC_KXSYNCPULLPROXYDELEGATE_H_
