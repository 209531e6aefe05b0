#include "sync/push/KXSyncPushTagStep.h"

#include <utility>

#include "platform/HookTable.h"

namespace {

auto& slot() { return kx::hookTableOf<KXSyncPushTagStep, std::shared_ptr<KXSyncPushTagStep>>(); }

}  // namespace

void KXSyncPushTagStep::install(std::shared_ptr<KXSyncPushTagStep> step) {
  slot().install(std::move(step));
}

std::shared_ptr<KXSyncPushTagStep> KXSyncPushTagStep::installed() {
  return slot().getOrInstall<0>([] { return std::make_shared<KXSyncPushTagStep>(); });
}
