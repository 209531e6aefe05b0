// KXDataConflictPolicy is one way of settling a conflict between a pulled
// entry and its local counterpart; each policy always gives the same
// verdict. The three policies are numbered:
//
//   1 KXDataConflictPolicyLocal    passed NO,  key-policy 0 (local wins)
//   2 KXDataConflictPolicyCopyOne  passed YES, key-policy 2 (keep both)
//   3 KXDataConflictPolicyRemote   passed YES, key-policy 1 (remote wins)
//
// KXDataConflictPolicyForType(n) gives the shared policy of number n (made
// once, never freed); 0 asks for the configured number, the integer of the
// configuration item "data-conflict" ("1" when missing). A number outside
// 1..3, given or configured, is refused with a log line and nullptr: the
// caller's choice or a hand-edited configuration file must not stop the
// program.
//
// Thread safety: policies hold no state; the factory may be called from any
// thread.
#ifndef ZN_SYNC_KXDATACONFLICTPOLICY_H_
#define ZN_SYNC_KXDATACONFLICTPOLICY_H_

#include "platform/Value.h"
#include "sync/KXConflictResult.h"

class KXConfiguration;

class KXDataConflictPolicy {
 public:
  static constexpr const char* kConfigurationKey = "data-conflict";
  static constexpr int kFirstNumber = 1;
  static constexpr int kLastNumber = 3;

  virtual ~KXDataConflictPolicy() = default;
  // The verdict; the item is not read.
  virtual KXConflictResult handleConflictMeta(const kx::Dictionary& item) const = 0;
};

// The shared policy of `type` (0: the configured number read from
// `configuration`, the shared configuration when nullptr); nullptr with a
// log line for a number outside 1..3.
const KXDataConflictPolicy* KXDataConflictPolicyForType(int type,
                                                        const KXConfiguration* configuration = nullptr);

#endif  // ZN_SYNC_KXDATACONFLICTPOLICY_H_
