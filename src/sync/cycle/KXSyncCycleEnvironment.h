// KXSyncCycleEnvironment is everything a sync cycle (KXSyncOperation) asks of
// the rest of the client: whether the service can be reached, the store's
// versions and flags, the per-cycle workers (user-meta puller, metadata pull,
// push), and the hand-offs that run on their own (tag pull, index rebuild).
//
// The defaults are the program's: reachability from KXSysUtil, versions and
// flags from the store through KXDataClient, the user-meta puller that talks
// to the service, the metadata pull (KXSyncPullProxy with the program's pull
// environment), the push (KXSyncPushProxy) and the shared tag sync
// (KXSyncTagProxy). The index rebuild is the store's KXRecreateIndexProxy.
// Tests override what they need.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCCYCLEENVIRONMENT_H_
#define ZN_SYNC_KXSYNCCYCLEENVIRONMENT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "sync/cycle/KXSyncUserMeta.h"
#include "sync/pull/KXSyncPullProxy.h"
#include "sync/push/KXSyncPushProxy.h"

class KXSyncCycleEnvironment {
 public:
  // The content version a store reaches after its one full pull.
  static constexpr std::int64_t kContentVersion = 10;

  virtual ~KXSyncCycleEnvironment() = default;

  virtual bool canConnect();
  // The version of the store's root entry; 0 without one.
  virtual std::int64_t rootVersion();
  // Integer values of the store's DbState items; 0 when missing.
  virtual std::int64_t dbStateInteger(const std::string& key);
  virtual void setDbStateInteger(const std::string& key, std::int64_t value);
  virtual bool isFullPulling();
  virtual void setIsFullPulling(bool value);

  virtual std::shared_ptr<KXSyncUserMeta> makeUserMeta(
      std::weak_ptr<KXSyncUserMetaDelegate> delegate);
  virtual std::shared_ptr<KXSyncPullProxy> makePullProxy(
      std::weak_ptr<KXSyncPullProxyDelegate> delegate);
  virtual std::shared_ptr<KXSyncPushProxy> makePushProxy(
      std::weak_ptr<KXSyncPushProxyDelegate> delegate);

  // The shared tag sync's pull; the cycle does not wait for it.
  virtual void pullTags();
  // Asks the store's index rebuild (KXRecreateIndexProxy) for a run.
  virtual void startRecreateIndex();
  // Tells the index rebuild whether the network is up.
  virtual void changeNetWorkStatus(bool reachable);
};

#endif  // ZN_SYNC_KXSYNCCYCLEENVIRONMENT_H_
