#include "Data/client/KXMyshareHooks.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/HookTable.h"

namespace {

auto& hooks() { return kx::hookTableOf<KXMyshareHooks, KXMyshareHooks::IndexRequest>(); }

}  // namespace

void KXMyshareHooks::install(IndexRequest indexForFileInfo) {
  hooks().install(std::move(indexForFileInfo));
}

bool KXMyshareHooks::isInstalled() { return hooks().has<0>(); }

void KXMyshareHooks::indexForFileInfo(const kx::Dictionary& fileInfo) {
  IndexRequest request = hooks().get<0>();
  if (!request) {
    const kx::Value* fileId = fileInfo.find("fileId");
    KXLOG("shared entry %s left unindexed: no my-share proxy is installed",
          fileId ? fileId->stringValue().c_str() : "(no id)");
    return;
  }
  request(fileInfo);
}

void KXMyshareHooks::resetForTesting() { hooks().reset(); }
