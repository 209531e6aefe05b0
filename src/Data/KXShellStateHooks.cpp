#include "Data/KXShellStateHooks.h"

#include <utility>

#include "platform/Mutex.h"

namespace {

struct HookTable {
  kx::Mutex mu;
  KXShellStateHooks::CurrentFileId currentFileId GUARDED_BY(mu);
  KXShellStateHooks::ChangeCurrentBgImageId changeCurrentBgImageId GUARDED_BY(mu);
};

HookTable& table() {
  static HookTable* hooks = new HookTable();
  return *hooks;
}

}  // namespace

void KXShellStateHooks::install(CurrentFileId currentFileId,
                                ChangeCurrentBgImageId changeCurrentBgImageId) {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  t.currentFileId = std::move(currentFileId);
  t.changeCurrentBgImageId = std::move(changeCurrentBgImageId);
}

bool KXShellStateHooks::isInstalled() {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  return t.currentFileId && t.changeCurrentBgImageId;
}

std::optional<std::string> KXShellStateHooks::currentFileId() {
  CurrentFileId hook;
  {
    HookTable& t = table();
    kx::MutexLock lock(t.mu);
    hook = t.currentFileId;
  }
  if (!hook) return std::nullopt;
  return hook();
}

void KXShellStateHooks::changeCurrentBgImageId(const std::string& bgImageId) {
  ChangeCurrentBgImageId hook;
  {
    HookTable& t = table();
    kx::MutexLock lock(t.mu);
    hook = t.changeCurrentBgImageId;
  }
  if (hook) hook(bgImageId);
}

void KXShellStateHooks::resetForTesting() { install(nullptr, nullptr); }
