// KXDataConflictPolicyCopyOne: the remote entry is taken in beside the local one, which survives as
// a copy.
//
// Thread safety: stateless; any thread.
#ifndef ZN_SYNC_KXDATACONFLICTPOLICYCOPYONE_H_
#define ZN_SYNC_KXDATACONFLICTPOLICYCOPYONE_H_

#include "sync/pull/KXDataConflictPolicy.h"

class KXDataConflictPolicyCopyOne final : public KXDataConflictPolicy {
 public:
  KXConflictResult handleConflictMeta(const kx::Dictionary& item) const override;
};

#endif  // ZN_SYNC_KXDATACONFLICTPOLICYCOPYONE_H_
