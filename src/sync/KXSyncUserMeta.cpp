#include "sync/KXSyncUserMeta.h"

std::shared_ptr<KXSyncUserMetaDelegate> KXSyncUserMeta::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void KXSyncUserMeta::setDelegate(std::weak_ptr<KXSyncUserMetaDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mu_);
  delegate_ = std::move(delegate);
}

void KXSyncUserMeta::pull(bool withSelf) {}

void KXSyncUserMeta::clearEnvironment() {}
