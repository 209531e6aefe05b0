#include "sync/KXSyncPushProxy.h"

KXSyncPushProxy::KXSyncPushProxy(std::weak_ptr<KXSyncPushProxyDelegate> delegate)
    : delegate_(std::move(delegate)) {}

std::shared_ptr<KXSyncPushProxyDelegate> KXSyncPushProxy::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void KXSyncPushProxy::push() {
  if (auto d = delegate()) d->didPushSuccess();
}

void KXSyncPushProxy::clearEnvironment() {}
