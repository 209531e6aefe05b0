#include "sync/pull/KXDataConflictPolicyLocal.h"

KXConflictResult KXDataConflictPolicyLocal::handleConflictMeta(const kx::Dictionary&) const {
  return KXConflictResult{false, KXConflictResult::kLocalWins};
}
