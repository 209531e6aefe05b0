#include "Data/KXShareLinkHooks.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/Mutex.h"

namespace {

struct HookTable {
  kx::Mutex mu;
  KXShareLinkHooks::Handler handler GUARDED_BY(mu);
};

HookTable& table() {
  static HookTable* hooks = new HookTable();
  return *hooks;
}

KXShareLinkHooks::Handler installed() {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  return t.handler;
}

}  // namespace

void KXShareLinkHooks::install(Handler handler) {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  t.handler = std::move(handler);
}

bool KXShareLinkHooks::isInstalled() { return static_cast<bool>(installed()); }

void KXShareLinkHooks::handleShareLink(KXDataClient& client, const kx::Dictionary& answer,
                                       const std::shared_ptr<FileMeta>& localMeta) {
  Handler handler = installed();
  if (!handler) {
    KXLOG("share state of a pushed entry not copied: no sync engine is installed");
    return;
  }
  handler(client, answer, localMeta);
}

void KXShareLinkHooks::resetForTesting() { install(nullptr); }
