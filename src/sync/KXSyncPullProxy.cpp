#include "sync/KXSyncPullProxy.h"

#include "CommonUtils/KXLogger.h"

KXSyncPullProxy::KXSyncPullProxy(std::weak_ptr<KXSyncPullProxyDelegate> delegate)
    : delegate_(std::move(delegate)) {}

std::shared_ptr<KXSyncPullProxyDelegate> KXSyncPullProxy::delegate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return delegate_.lock();
}

void KXSyncPullProxy::pull() {
  if (auto d = delegate()) d->didPullSuccess();
}

void KXSyncPullProxy::pullAfterPush() {
  if (auto d = delegate()) d->didPullSuccess();
}

void KXSyncPullProxy::pullMyshares() {}

void KXSyncPullProxy::pullPen() { KXLOG("pull pen"); }

void KXSyncPullProxy::clearEnvironment() {}
