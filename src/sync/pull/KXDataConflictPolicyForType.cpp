#include "sync/pull/KXDataConflictPolicyForType.h"

#include "CommonUtils/KXConfiguration.h"
#include "CommonUtils/KXLogger.h"
#include "sync/pull/KXDataConflictPolicyCopyOne.h"
#include "sync/pull/KXDataConflictPolicyLocal.h"
#include "sync/pull/KXDataConflictPolicyRemote.h"

namespace {

int configuredNumber(const KXConfiguration* configuration) {
  const KXConfiguration& config =
      configuration != nullptr ? *configuration : KXConfiguration::sharedConfiguration();
  kx::Value item = config.itemForKey(KXDataConflictPolicy::kConfigurationKey);
  if (item.isNull()) return KXDataConflictPolicy::kFirstNumber;
  return static_cast<int>(item.intValue());
}

}  // namespace

const KXDataConflictPolicy* KXDataConflictPolicyForType(int type,
                                                        const KXConfiguration* configuration) {
  // Never freed: a pull may still hold one while the program ends.
  static const KXDataConflictPolicy* const local = new KXDataConflictPolicyLocal();
  static const KXDataConflictPolicy* const copyOne = new KXDataConflictPolicyCopyOne();
  static const KXDataConflictPolicy* const remote = new KXDataConflictPolicyRemote();
  int number = type == 0 ? configuredNumber(configuration) : type;
  switch (number) {
    case 1: return local;
    case 2: return copyOne;
    case 3: return remote;
    default:
      KXLOG("conflict policy %d refused (%s): only %d to %d exist", number,
            type == 0 ? "configured \"data-conflict\"" : "asked for",
            KXDataConflictPolicy::kFirstNumber, KXDataConflictPolicy::kLastNumber);
      return nullptr;
  }
}
