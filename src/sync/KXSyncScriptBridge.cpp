#include "sync/KXSyncScriptBridge.h"

#include <utility>

#include "platform/Mutex.h"

namespace {

struct Slot {
  kx::Mutex mu;
  std::shared_ptr<KXSyncScriptBridge> bridge GUARDED_BY(mu);
};

Slot& slot() {
  static Slot* s = new Slot();
  return *s;
}

}  // namespace

void KXSyncScriptBridge::install(std::shared_ptr<KXSyncScriptBridge> bridge) {
  Slot& s = slot();
  kx::MutexLock lock(s.mu);
  s.bridge = std::move(bridge);
}

std::shared_ptr<KXSyncScriptBridge> KXSyncScriptBridge::installed() {
  Slot& s = slot();
  kx::MutexLock lock(s.mu);
  if (!s.bridge) s.bridge = std::make_shared<KXSyncScriptBridge>();
  return s.bridge;
}
