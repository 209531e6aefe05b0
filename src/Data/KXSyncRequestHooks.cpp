#include "Data/KXSyncRequestHooks.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/Mutex.h"

namespace {

struct HookTable {
  kx::Mutex mu;
  KXSyncRequestHooks::SyncRequest syncByManual GUARDED_BY(mu);
  KXSyncRequestHooks::AfterSyncRequest didAfterSync GUARDED_BY(mu);
};

HookTable& table() {
  static HookTable* hooks = new HookTable();
  return *hooks;
}

}  // namespace

void KXSyncRequestHooks::install(SyncRequest syncByManual, AfterSyncRequest didAfterSync) {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  t.syncByManual = std::move(syncByManual);
  t.didAfterSync = std::move(didAfterSync);
}

bool KXSyncRequestHooks::isInstalled() {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  return static_cast<bool>(t.syncByManual);
}

void KXSyncRequestHooks::syncByManual() {
  SyncRequest request;
  {
    HookTable& t = table();
    kx::MutexLock lock(t.mu);
    request = t.syncByManual;
  }
  if (!request) {
    KXLOG("sync asked for, but no sync engine is installed");
    return;
  }
  request();
}

void KXSyncRequestHooks::didAfterSync(std::function<void()> block) {
  if (!block) return;
  AfterSyncRequest request;
  {
    HookTable& t = table();
    kx::MutexLock lock(t.mu);
    request = t.didAfterSync;
  }
  if (!request) {
    block();
    return;
  }
  request(std::move(block));
}

void KXSyncRequestHooks::resetForTesting() { install(nullptr, nullptr); }
