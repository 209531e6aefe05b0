// KXSyncState: the sync engine's flags of the run in progress.
#include "sync/cycle/KXSyncState.h"

#include <utility>

KXSyncState& KXSyncState::shared() {
  static KXSyncState* state = new KXSyncState();
  return *state;
}

kx::Value KXSyncState::currentSessionVersion() const {
  kx::MutexLock lock(mu_);
  return currentSessionVersion_;
}

void KXSyncState::setCurrentSessionVersion(kx::Value version) {
  kx::MutexLock lock(mu_);
  currentSessionVersion_ = std::move(version);
}

std::int64_t KXSyncState::versionForNewEntryWithoutRoot() const {
  return isFirstLoginDownloading() ? tempVersionForFirstDownLoading() : -1;
}
