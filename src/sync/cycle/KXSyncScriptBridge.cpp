#include "sync/cycle/KXSyncScriptBridge.h"

#include <utility>

#include "platform/HookTable.h"

namespace {

auto& slot() { return kx::hookTableOf<KXSyncScriptBridge, std::shared_ptr<KXSyncScriptBridge>>(); }

}  // namespace

void KXSyncScriptBridge::install(std::shared_ptr<KXSyncScriptBridge> bridge) {
  slot().install(std::move(bridge));
}

std::shared_ptr<KXSyncScriptBridge> KXSyncScriptBridge::installed() {
  return slot().getOrInstall<0>([] { return std::make_shared<KXSyncScriptBridge>(); });
}
