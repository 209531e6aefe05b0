// What the user-meta puller (KXSyncUserMeta) reports to its delegate, the sync
// cycle. Every method is optional and does nothing by default. Methods are
// called on the puller's network threads; a delegate hops where it needs to.
#ifndef ZN_SYNC_KXSYNCUSERMETADELEGATE_H_
#define ZN_SYNC_KXSYNCUSERMETADELEGATE_H_

#include "platform/Error.h"
#include "platform/Value.h"

class KXSyncUserMetaDelegate {
 public:
  virtual ~KXSyncUserMetaDelegate() = default;

  // The user meta reply (the raw dictionary) of a successful pull.
  virtual void didPullUserMetaSuccess(const kx::Value& reply) {}
  virtual void didPullUserMetaFail(const kx::Error& error) {}
  virtual void didPullSelfMetaSuccess(const kx::Value& reply) {}
  virtual void didPullSelfMetaFail(const kx::Error& error) {}
  virtual void didChangeDefaultNotebookSuccess(const kx::Value& reply) {}
  virtual void didChangeDefaultNotebookFail(const kx::Error& error) {}
  virtual void didPushReadPasswdSuccess(const kx::Value& reply) {}
  virtual void didPushReadPasswdFail(const kx::Error& error) {}
  // The session's automatic login after an expired login has completed.
  virtual void autoLoginSucceedAfterAuthFailed() {}
};

#endif  // ZN_SYNC_KXSYNCUSERMETADELEGATE_H_
