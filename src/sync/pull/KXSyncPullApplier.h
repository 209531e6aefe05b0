// KXSyncPullApplier is where a metadata pull's batch meets the store: the
// store-side handling of the six lists against the local entries with the
// conflict manager's verdicts, the root entry, and the object pulls the
// batch calls for. The pull (KXSyncPullProxy) pages, collects, orders and
// sorts; the applier writes.
//
// apply() is called once per pull, after the last page, with the lists in
// the order they must be applied; it answers the object pulls to start and
// the pulled root notebook held back until the end ("rootInfo": the item
// for a new root entry, or {"identity", "fields"} for an existing one with
// rootInfoIsModify set). addRoot() stores a new root entry (the item without
// "version", "del", "encrypted", "parentId" and "remoteRemoved") before the
// downloads start; updateRootVersion() sets the root entry's version once
// every download has ended.
//
// Thread safety: the pull calls these on its own threads, one call at a
// time per pull.
#ifndef ZN_SYNC_KXSYNCPULLAPPLIER_H_
#define ZN_SYNC_KXSYNCPULLAPPLIER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Value.h"
#include "sync/pull/KXSyncObjectPull.h"
#include "sync/pull/KXSyncPullBatch.h"

struct KXSyncPullApplication {
  std::vector<std::shared_ptr<KXSyncObjectPull>> pullers;
  std::optional<kx::Dictionary> rootInfo;
  bool rootInfoIsModify = false;
};

class KXSyncPullApplier {
 public:
  virtual ~KXSyncPullApplier() = default;

  virtual KXSyncPullApplication apply(KXSyncPullBatch& batch) = 0;
  virtual void addRoot(const kx::Dictionary& rootInfo) = 0;
  virtual void updateRootVersion(std::int64_t version) = 0;
};

#endif  // ZN_SYNC_KXSYNCPULLAPPLIER_H_
