#include "sync/pull/KXConflictManager.h"

#include "Data/entities/FileMeta.h"
#include "sync/pull/KXDataConflictPolicyForType.h"

KXConflictManager& KXConflictManager::sharedManager() {
  static KXConflictManager* manager = new KXConflictManager();
  return *manager;
}

int KXConflictManager::policyNumberFor(const KXConflictFlags& f) {
  constexpr int kLocal = 1, kCopyOne = 2, kRemote = 3;
  if (f.fullPulling) return kRemote;
  if (!f.localModified) return kRemote;
  if (f.remoteRemoved && f.localRemoteRemoved) return kRemote;
  if (f.remoteRemoved && f.localDeleted) return kLocal;
  if (f.remoteRemoved) return kCopyOne;
  if (f.remoteDeleted && f.localRemoteRemoved) return kLocal;
  if (f.remoteDeleted && !f.localDeleted) return kLocal;
  if (f.remoteDeleted && f.localParentIsTrash) return kCopyOne;
  if (f.remoteDeleted) return kRemote;
  if (f.localRemoteRemoved) return kRemote;
  if (!f.localDeleted) return kCopyOne;
  if (f.localParentIsTrash) return kCopyOne;
  return kRemote;
}

KXConflictFlags KXConflictManager::flagsFor(const kx::Dictionary& pulled, const FileMeta* local,
                                            bool fullPulling) {
  KXConflictFlags flags;
  flags.fullPulling = fullPulling;
  flags.localModified = local != nullptr && local->localModified() != 0;
  flags.localRemoteRemoved = local == nullptr || local->remoteRemoved();
  const kx::Value* removed = pulled.find("remoteRemoved");
  flags.remoteRemoved = removed != nullptr && removed->intValue() == 1;
  const kx::Value* deleted = pulled.find("deleted");
  flags.remoteDeleted = deleted != nullptr && deleted->boolValue();
  flags.localDeleted = local != nullptr && local->del();
  flags.localParentIsTrash = local != nullptr && local->parentId() == "1";
  return flags;
}

KXConflictResult KXConflictManager::passConflictData(const kx::Dictionary& pulled,
                                                     const FileMeta* local, int /*type*/,
                                                     bool fullPulling) const {
  // The number is always 1 to 3, so the factory always answers.
  const KXDataConflictPolicy* policy =
      KXDataConflictPolicyForType(policyNumberFor(flagsFor(pulled, local, fullPulling)));
  return policy->handleConflictMeta(pulled);
}
