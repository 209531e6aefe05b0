#include "Data/KXMyshareHooks.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/Mutex.h"

namespace {

struct HookTable {
  kx::Mutex mu;
  KXMyshareHooks::IndexRequest indexForFileInfo GUARDED_BY(mu);
};

HookTable& table() {
  static HookTable* hooks = new HookTable();
  return *hooks;
}

}  // namespace

void KXMyshareHooks::install(IndexRequest indexForFileInfo) {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  t.indexForFileInfo = std::move(indexForFileInfo);
}

bool KXMyshareHooks::isInstalled() {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  return static_cast<bool>(t.indexForFileInfo);
}

void KXMyshareHooks::indexForFileInfo(const kx::Dictionary& fileInfo) {
  IndexRequest request;
  {
    HookTable& t = table();
    kx::MutexLock lock(t.mu);
    request = t.indexForFileInfo;
  }
  if (!request) {
    const kx::Value* fileId = fileInfo.find("fileId");
    KXLOG("shared entry %s left unindexed: no my-share proxy is installed",
          fileId ? fileId->stringValue().c_str() : "(no id)");
    return;
  }
  request(fileInfo);
}

void KXMyshareHooks::resetForTesting() { install(nullptr); }
