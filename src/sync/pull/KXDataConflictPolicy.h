// KXDataConflictPolicy is one way of settling a conflict between a pulled
// entry and its local counterpart; each policy always gives the same
// verdict. The three policies are numbered:
//
//   1 KXDataConflictPolicyLocal    passed NO,  key-policy 0 (local wins)
//   2 KXDataConflictPolicyCopyOne  passed YES, key-policy 2 (keep both)
//   3 KXDataConflictPolicyRemote   passed YES, key-policy 1 (remote wins)
//
// KXDataConflictPolicyForType (its own header) gives the shared policies.
//
// Thread safety: policies hold no state; any thread.
#ifndef ZN_SYNC_KXDATACONFLICTPOLICY_H_
#define ZN_SYNC_KXDATACONFLICTPOLICY_H_

#include "platform/Value.h"
#include "sync/pull/KXConflictResult.h"

class KXDataConflictPolicy {
 public:
  static constexpr const char* kConfigurationKey = "data-conflict";
  static constexpr int kFirstNumber = 1;
  static constexpr int kLastNumber = 3;

  virtual ~KXDataConflictPolicy() = default;
  // The verdict; the item is not read.
  virtual KXConflictResult handleConflictMeta(const kx::Dictionary& item) const = 0;
};

#endif  // ZN_SYNC_KXDATACONFLICTPOLICY_H_
