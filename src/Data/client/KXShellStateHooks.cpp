#include "Data/client/KXShellStateHooks.h"

#include <utility>

#include "platform/HookTable.h"

namespace {

enum Hook { kCurrentFileId, kChangeCurrentBgImageId };

auto& hooks() {
  return kx::hookTableOf<KXShellStateHooks, KXShellStateHooks::CurrentFileId,
                         KXShellStateHooks::ChangeCurrentBgImageId>();
}

}  // namespace

void KXShellStateHooks::install(CurrentFileId currentFileId,
                                ChangeCurrentBgImageId changeCurrentBgImageId) {
  hooks().install(std::move(currentFileId), std::move(changeCurrentBgImageId));
}

bool KXShellStateHooks::isInstalled() { return hooks().hasAll(); }

std::optional<std::string> KXShellStateHooks::currentFileId() {
  CurrentFileId hook = hooks().get<kCurrentFileId>();
  if (!hook) return std::nullopt;
  return hook();
}

void KXShellStateHooks::changeCurrentBgImageId(const std::string& bgImageId) {
  ChangeCurrentBgImageId hook = hooks().get<kChangeCurrentBgImageId>();
  if (hook) hook(bgImageId);
}

void KXShellStateHooks::resetForTesting() { hooks().reset(); }
