#include "sync/pull/KXDataConflictPolicyCopyOne.h"

KXConflictResult KXDataConflictPolicyCopyOne::handleConflictMeta(const kx::Dictionary&) const {
  return KXConflictResult{true, KXConflictResult::kKeepBoth};
}
