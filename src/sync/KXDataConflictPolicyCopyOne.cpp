#include "sync/KXDataConflictPolicyCopyOne.h"

KXConflictResult KXDataConflictPolicyCopyOne::handleConflictMeta(const kx::Dictionary&) const {
  return KXConflictResult{true, KXConflictResult::kKeepBoth};
}
