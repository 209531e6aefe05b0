#include "sync/pull/KXDataConflictPolicyRemote.h"

KXConflictResult KXDataConflictPolicyRemote::handleConflictMeta(const kx::Dictionary&) const {
  return KXConflictResult{true, KXConflictResult::kRemoteWins};
}
