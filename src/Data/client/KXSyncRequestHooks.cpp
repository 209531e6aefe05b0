#include "Data/client/KXSyncRequestHooks.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/HookTable.h"

namespace {

enum Hook { kSyncByManual, kDidAfterSync };

auto& hooks() {
  return kx::hookTableOf<KXSyncRequestHooks, KXSyncRequestHooks::SyncRequest,
                         KXSyncRequestHooks::AfterSyncRequest>();
}

}  // namespace

void KXSyncRequestHooks::install(SyncRequest syncByManual, AfterSyncRequest didAfterSync) {
  hooks().install(std::move(syncByManual), std::move(didAfterSync));
}

bool KXSyncRequestHooks::isInstalled() { return hooks().has<kSyncByManual>(); }

void KXSyncRequestHooks::syncByManual() {
  SyncRequest request = hooks().get<kSyncByManual>();
  if (!request) {
    KXLOG("sync asked for, but no sync engine is installed");
    return;
  }
  request();
}

void KXSyncRequestHooks::didAfterSync(std::function<void()> block) {
  if (!block) return;
  AfterSyncRequest request = hooks().get<kDidAfterSync>();
  if (!request) {
    block();
    return;
  }
  request(std::move(block));
}

void KXSyncRequestHooks::resetForTesting() { hooks().reset(); }
