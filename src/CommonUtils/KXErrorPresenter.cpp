#include "CommonUtils/KXErrorPresenter.h"

#include <utility>

#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "platform/HookTable.h"

namespace {

auto& slot() { return kx::hookTableOf<KXErrorPresenter, std::shared_ptr<KXErrorPresenter>>(); }

}  // namespace

void KXErrorPresenter::install(std::shared_ptr<KXErrorPresenter> presenter) {
  if (!presenter) presenter = std::make_shared<KXHeadlessErrorPresenter>();
  slot().install(std::move(presenter));
}

std::shared_ptr<KXErrorPresenter> KXErrorPresenter::installed() {
  return slot().getOrInstall<0>([] { return std::make_shared<KXHeadlessErrorPresenter>(); });
}
