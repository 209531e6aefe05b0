// KXDataConflictPolicyLocal: the local entry wins; nothing of the remote entry is taken in.
//
// Thread safety: stateless; any thread.
#ifndef ZN_SYNC_KXDATACONFLICTPOLICYLOCAL_H_
#define ZN_SYNC_KXDATACONFLICTPOLICYLOCAL_H_

#include "sync/pull/KXDataConflictPolicy.h"

class KXDataConflictPolicyLocal final : public KXDataConflictPolicy {
 public:
  KXConflictResult handleConflictMeta(const kx::Dictionary& item) const override;
};

#endif  // ZN_SYNC_KXDATACONFLICTPOLICYLOCAL_H_
