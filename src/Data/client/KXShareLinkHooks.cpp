#include "Data/client/KXShareLinkHooks.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/HookTable.h"

namespace {

auto& hooks() { return kx::hookTableOf<KXShareLinkHooks, KXShareLinkHooks::Handler>(); }

}  // namespace

void KXShareLinkHooks::install(Handler handler) { hooks().install(std::move(handler)); }

bool KXShareLinkHooks::isInstalled() { return hooks().has<0>(); }

void KXShareLinkHooks::handleShareLink(KXDataClient& client, const kx::Dictionary& answer,
                                       const std::shared_ptr<FileMeta>& localMeta) {
  Handler handler = hooks().get<0>();
  if (!handler) {
    KXLOG("share state of a pushed entry not copied: no sync engine is installed");
    return;
  }
  handler(client, answer, localMeta);
}

void KXShareLinkHooks::resetForTesting() { hooks().reset(); }
