#include "CommonUtils/KXURLOpener.h"

#include <utility>

#include "platform/HookTable.h"

namespace {

auto& slot() { return kx::hookTableOf<KXURLOpener, std::shared_ptr<KXURLOpener>>(); }

}  // namespace

void KXURLOpener::install(std::shared_ptr<KXURLOpener> opener) {
  slot().install(std::move(opener));
}

std::shared_ptr<KXURLOpener> KXURLOpener::installed() { return slot().get<0>(); }
