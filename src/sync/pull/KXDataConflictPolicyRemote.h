// KXDataConflictPolicyRemote: the remote entry wins and replaces the local state.
//
// Thread safety: stateless; any thread.
#ifndef ZN_SYNC_KXDATACONFLICTPOLICYREMOTE_H_
#define ZN_SYNC_KXDATACONFLICTPOLICYREMOTE_H_

#include "sync/pull/KXDataConflictPolicy.h"

class KXDataConflictPolicyRemote final : public KXDataConflictPolicy {
 public:
  KXConflictResult handleConflictMeta(const kx::Dictionary& item) const override;
};

#endif  // ZN_SYNC_KXDATACONFLICTPOLICYREMOTE_H_
