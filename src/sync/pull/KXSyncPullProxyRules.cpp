// The rules of the metadata pull that the store's applier follows.
#include <set>
#include <utility>

#include "platform/LocalizedStrings.h"
#include "sync/pull/KXSyncPullProxy.h"

namespace {

bool isSpecialParent(const std::string& parentId) {
  return parentId.empty() || parentId == "1" || parentId == "0";
}

}  // namespace

bool KXSyncPullProxy::ringAppear(const kx::Dictionary& idDict, const std::string& fileId) {
  std::set<std::string> passed{fileId};
  const kx::Value* item = idDict.find(fileId);
  while (item != nullptr) {
    const kx::Value* parent = item->find("parentId");
    if (parent == nullptr || !parent->isString() || isSpecialParent(parent->string())) return false;
    if (!passed.insert(parent->string()).second) return true;
    item = idDict.find(parent->string());
  }
  return false;
}

void KXSyncPullProxy::normalizeParent(kx::Dictionary& item, kx::Dictionary& idDict, bool notebook) {
  const kx::Value* parentId = item.find("parentId");
  if (parentId == nullptr || isSpecialParent(parentId->stringValue())) return;
  const std::string fileId = item["fileId"].stringValue();
  const kx::Value* parent = idDict.find(parentId->stringValue());
  kx::Value* own = idDict.find(fileId);
  const bool parentInTrash = parent != nullptr && (*parent)["del"].boolValue();
  const bool parentRemoved = parent != nullptr && (*parent)["remoteRemoved"].boolValue();
  if (!parentInTrash) {
    item.set("del", kx::Value(false));
    if (own != nullptr) own->mutableDict().set("del", kx::Value(false));
  }
  if (notebook && parentRemoved) {
    item.set("remoteRemoved", kx::Value(true));
    item.set("localModified", kx::Value(true));
    if (own != nullptr) own->mutableDict().set("remoteRemoved", kx::Value(true));
  }
}

kx::Dictionary KXSyncPullProxy::mergeMeta(const KXManagedObject& local, kx::Dictionary item,
                                          bool storedParentDeleted) {
  if (local.integerValue("localModified") == 0) return item;
  if (const kx::Value* modified = item.find("modifyTime");
      modified != nullptr && local.integerValue("modifyTime") >= modified->intValue()) {
    item.remove("modifyTime");
  }
  if (local.boolValue("del")) {
    const std::string localParent = local.stringValue("parentId");
    if (!local.boolValue("remoteRemoved") && !item["del"].boolValue() &&
        item["parentId"].stringValue() == localParent && !isSpecialParent(localParent) &&
        storedParentDeleted) {
      item.remove("del");
    }
    return item;
  }
  for (const char* key : {"title", "author", "sourceURL"}) {
    if (!local.stringValue(key).empty()) item.remove(key);
  }
  for (const char* key : {"parentId", "del", "remoteRemoved"}) item.remove(key);
  return item;
}

bool KXSyncPullProxy::isContentConflict(const kx::Dictionary& item, const KXManagedObject& local,
                                        const std::string& editingFileId) {
  const std::string fileId = local.stringValue("fileId");
  if (!editingFileId.empty() && editingFileId == fileId) return true;
  return item["checksum"].stringValue() != local.stringValue("checksum") &&
         local.boolValue("contentChanged");
}

std::string KXSyncPullProxy::conflictTitle(const std::optional<std::string>& title) {
  const std::string mark = kx::LocalizedStrings::localized("Sync Conflicted");
  if (!title) return "(" + mark + ")";
  const std::string& t = *title;
  std::size_t dot = t.rfind('.');
  std::size_t slash = t.rfind('/');
  bool hasExtension = dot != std::string::npos && dot != 0 &&
                      (slash == std::string::npos || dot > slash + 1) && dot + 1 < t.size();
  if (!hasExtension) return t + "(" + mark + ").";
  return t.substr(0, dot) + "(" + mark + ")." + t.substr(dot + 1);
}

bool KXSyncPullProxy::skipByVersion(std::int64_t localVersion, std::int64_t remoteVersion,
                                    bool fullPulling) {
  return !fullPulling && localVersion >= remoteVersion;
}

std::vector<std::string> KXSyncPullProxy::subTreeModifiedMetaUnderNotebook(
    const std::string& notebookId,
    const std::function<std::vector<StoredChild>(const std::string&)>& childrenOf) {
  std::vector<std::string> paths;
  std::set<std::string> walked;
  std::function<void(const std::string&, const std::string&)> walk =
      [&](const std::string& id, const std::string& prefix) {
        if (!walked.insert(id).second) return;
        for (const StoredChild& child : childrenOf(id)) {
          const std::string path = prefix + "/" + child.fileId;
          if (child.localModified) {
            paths.push_back(path);
          } else if (child.isNotebook) {
            walk(child.fileId, path);
          }
        }
      };
  walk(notebookId, notebookId);
  return paths;
}
