// KXEntryReads: name paths ("/folder/sub") resolved to folder ids, and the
// name path of a folder.
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryReadsInternal.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Root.h"
#include "Data/store/KXStoreError.h"

using namespace kx_data_client;

namespace {

constexpr const char* kLiveFolderCondition =
    "(del = NO) AND (title = %@) AND (parentId = %@) AND (dir = YES)";

}  // namespace

KXEntryReads::NamePathResolution KXEntryReads::lastParentIdFromNamePath(
    const std::string& namePath) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).lastParentIdFromNamePath(namePath);
    });
  }
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
    std::optional<KXFetchResult> found = executeSyncQuery("FileMeta", query, nullptr);
    if (!found || found->objects.empty()) break;
    resolution.lastParentId = found->objects.front()->stringValue("fileId");
    ++resolution.found;
  }
  return resolution;
}

std::string KXEntryReads::namePathFromNotebookId(const std::optional<std::string>& notebookId) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).namePathFromNotebookId(notebookId);
    });
  }
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
    KXFileMetaPtr entry = objectForFileMetaID(current);
    if (!entry || entry->isNil("parentId") || entry->parentId() == KXDataClient::kAboveRootParentId)
      break;
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
