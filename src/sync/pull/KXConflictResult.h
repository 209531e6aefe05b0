// KXConflictResult is the verdict on a pulled entry that also exists in the
// store: whether the remote entry is taken in ("passed") and which side wins
// ("key-policy": 0 the local entry, 1 the remote entry, 2 the remote entry is
// kept beside the local one). toDictionary() gives the dictionary form under
// those keys.
//
// Thread safety: a plain value.
#ifndef ZN_SYNC_KXCONFLICTRESULT_H_
#define ZN_SYNC_KXCONFLICTRESULT_H_

#include "platform/Value.h"

struct KXConflictResult {
  static constexpr const char* kPassedKey = "passed";
  static constexpr const char* kPolicyKey = "key-policy";
  // Keys of the same table that no policy writes.
  static constexpr const char* kOperationKey = "operation";
  static constexpr const char* kOperationDataKey = "operation-data";

  enum KeyPolicy : int { kLocalWins = 0, kRemoteWins = 1, kKeepBoth = 2 };

  bool passed = false;
  int keyPolicy = kLocalWins;

  kx::Dictionary toDictionary() const {
    return kx::Dictionary{{kPassedKey, kx::Value(passed)}, {kPolicyKey, kx::Value(keyPolicy)}};
  }
  bool operator==(const KXConflictResult&) const = default;
};

#endif  // ZN_SYNC_KXCONFLICTRESULT_H_
