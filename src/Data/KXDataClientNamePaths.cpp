// KXDataClient: name paths ("/folder/sub") resolved to folder ids, and the
// folders of a path made again when they are gone.
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/FileMeta.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataClientInternal.h"
#include "Data/KXStoreError.h"
#include "Data/Root.h"

using namespace kx_data_client;

namespace {

constexpr const char* kLiveFolderCondition =
    "(del = NO) AND (title = %@) AND (parentId = %@) AND (dir = YES)";

KXResultInfo FolderAnswer(const std::string& folderId) {
  return KXResultInfo::withValue(
      kx::Value::dict({{KXDataClient::kNamePathParentIdKey, kx::Value(folderId)}}));
}

}  // namespace

KXDataClient::NamePathResolution KXDataClient::lastParentIdFromNamePath(
    const std::string& namePath, KXManagedObjectContext* context) {
  NamePathResolution resolution;
  std::shared_ptr<Root> root = rootEntry();
  resolution.lastParentId = root ? root->fileId() : std::string();
  if (namePath.empty() || namePath == "/") return resolution;

  std::string rest = namePath.substr(1);
  std::size_t start = 0;
  while (true) {
    std::size_t slash = rest.find('/', start);
    resolution.components.push_back(rest.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  for (const std::string& title : resolution.components) {
    kx::Dictionary query{{kKXQueryConditionKey, kLiveFolderCondition},
                         {kKXQueryArgumentsKey, kx::Value::array({title, resolution.lastParentId})},
                         {kKXQueryLimitKey, 1}};
    std::optional<KXFetchResult> found = executeSyncQuery("FileMeta", query, context, nullptr);
    if (!found || found->objects.empty()) break;
    resolution.lastParentId = found->objects.front()->stringValue("fileId");
    ++resolution.found;
  }
  return resolution;
}

KXDataClient::NamePathResolution KXDataClient::lastParentIdFromNamePath(
    const std::string& namePath) {
  NamePathResolution resolution;
  performSyncReadBlock([&] { resolution = lastParentIdFromNamePath(namePath, nullptr); });
  return resolution;
}

std::string KXDataClient::namePathFromNotebookId(const std::optional<std::string>& notebookId,
                                                 KXManagedObjectContext* context) {
  if (!notebookId || notebookId->empty()) return {};
  if (*notebookId == "/") return "/";
  std::vector<std::string> titles;
  std::unordered_set<std::string> visited;
  std::string current = *notebookId;
  while (true) {
    if (!visited.insert(current).second) {
      KXLOG("folder %s lies in a cycle of parent ids", current.c_str());
      break;
    }
    KXFileMetaPtr entry = objectForFileMetaID(current, context);
    if (!entry || entry->isNil("parentId") || entry->parentId() == kAboveRootParentId) break;
    titles.insert(titles.begin(), entry->title());
    current = entry->parentId();
  }
  std::string path = "/";
  for (std::size_t i = 0; i < titles.size(); ++i) {
    if (i > 0) path += "/";
    path += titles[i];
  }
  return path;
}

std::string KXDataClient::NotebookIdFromNamePath(const std::string& namePath,
                                                 KXManagedObjectContext* context,
                                                 KXDataCallback callback) {
  NamePathResolution resolution = lastParentIdFromNamePath(namePath, context);
  const auto found = static_cast<std::size_t>(resolution.found);
  if (found >= resolution.components.size()) {
    if (callback) callback(FolderAnswer(resolution.lastParentId), kx::Error());
    return resolution.lastParentId;
  }
  std::vector<std::string> ids;
  std::vector<std::string> names(resolution.components.begin() + static_cast<std::ptrdiff_t>(found),
                                 resolution.components.end());
  for (std::size_t i = 0; i < names.size(); ++i) ids.push_back(FileMeta::idForFileMeta());
  std::string last = ids.back();
  completeNamePath(resolution.lastParentId, ids, names, std::move(callback));
  return last;
}

void KXDataClient::completeNamePath(const std::string& parentId,
                                    const std::vector<std::string>& fileIds,
                                    const std::vector<std::string>& names,
                                    KXDataCallback callback) {
  if (names.empty()) {
    if (callback) callback(FolderAnswer(parentId), kx::Error());
    return;
  }
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock([this, parentId, fileIds, names,
                           callback = std::move(callback)](KXManagedObjectContext& context) {
    std::string parent = parentId;
    for (std::size_t i = 0; i < names.size(); ++i) {
      // Looked up again here, on the write queue, where the folders made by
      // an earlier block are seen before they are saved: two restores into
      // the same vanished folder make it once.
      KXManagedObjectPtr existing =
          FetchFirst(context, "FileMeta", kLiveFolderCondition, {names[i], parent});
      if (existing) {
        parent = existing->stringValue("fileId");
        continue;
      }
      if (i >= fileIds.size()) {
        if (callback) {
          callback(KXResultInfo::none(),
                   KXStoreMakeError(kKXStoreTypeError, "a folder of a name path has no id"));
        }
        return;
      }
      kx::Dictionary folder =
          KXFileMetaUtil::fileEntryInfo(kx::Dictionary{{"fileId", kx::Value(fileIds[i])},
                                                       {"parentId", kx::Value(parent)},
                                                       {"title", kx::Value(names[i])},
                                                       {"dir", kx::Value(1)},
                                                       {"domain", kx::Value(1)}});
      kx::Error failure;
      std::vector<KXManagedObjectPtr> made = addManagedObjectsSync(
          "FileMeta", &context, {kx::Value(std::move(folder))},
          [&failure](const KXResultInfo&, const kx::Error& error) { failure = error; });
      if (!failure && made.empty()) {
        failure = KXStoreMakeError(kKXStoreTypeError, "folder " + names[i] + " was not made");
      }
      if (failure) {
        KXLOG("folder %s of a name path not made: %s", names[i].c_str(),
              failure.localizedDescription().c_str());
        if (callback) callback(KXResultInfo::none(), failure);
        return;
      }
      parent = fileIds[i];
    }
    if (callback) callback(FolderAnswer(parent), kx::Error());
  });
}
