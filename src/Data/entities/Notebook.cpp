#include "Data/entities/Notebook.h"

#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/store/KXModel.h"

bool Notebook::isRoot() const { return !isNil("parentId") && parentId() == "0"; }

std::int64_t Notebook::noteCount() const { return integerValue("noteCount"); }

kx::Dictionary Notebook::paramsForNetworkRequest() const {
  kx::Dictionary params;
  const std::optional<kx::Dictionary>& reversed = KXNameDict::table(true);
  const kx::Value* names = reversed ? reversed->find(KXNameDict::kEntryNamespace)
                                    : static_cast<const kx::Value*>(nullptr);
  for (const char* key : {"entryPath", "version", "createTime", "modifyTime", "title"}) {
    if (entity().attribute(key) == nullptr) {
      KXLOG("paramsForNetworkRequest: a notebook has no %s", key);
      continue;
    }
    const kx::Value* remote =
        names != nullptr && names->isDictionary() ? names->find(key) : nullptr;
    if (remote == nullptr || !remote->isString()) {
      KXLOG("paramsForNetworkRequest: the service has no name for %s", key);
      continue;
    }
    params.set(remote->string(), value(key));
  }
  return params;
}
