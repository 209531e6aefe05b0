#include "Data/DataUtil/KXNormalFileUtil.h"

#include <memory>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXStoreError.h"
#include "platform/LocalizedStrings.h"
#include "platform/Time.h"

KXNormalFileUtil& KXNormalFileUtil::sharedUtil() {
  static KXNormalFileUtil* util = new KXNormalFileUtil(KXDataClient::defaultDataClient());
  return *util;
}

kx::Dictionary KXNormalFileUtil::normalFileEntryInfo(const kx::Dictionary& info,
                                                     const std::string& parentId) {
  kx::Dictionary entry = KXFileMetaUtil::newEntryDefaults(
      KXFileMetaUtil::requiredFileId(info), "New NormalFile", kx::Value(parentId), false, 1,
      /*asFile=*/true);
  for (const auto& [key, value] : info) entry.set(key, value);
  return entry;
}

void KXNormalFileUtil::addNormalFile(const kx::Dictionary& info, KXDataCallback callback) {
  KXFileMetaUtil::requiredFileId(info);
  const std::string parentId = info["parentId"].stringValue();
  KXFileMetaPtr parent = client_->reads().objectForFileMetaID(parentId);
  if (!parent) {
    // A caller waiting for the answer must hear of it.
    if (callback) {
      callback(KXResultInfo::none(),
               KXStoreMakeError(kKXStoreObjectNotFoundError, "no parent folder " + parentId));
    }
    return;
  }
  client_->writes().addNormalFiles({kx::Value(normalFileEntryInfo(info, parent->fileId()))}, true,
                                   nullptr);
  if (callback) callback(KXResultInfo::none(), kx::Error());
}

void KXNormalFileUtil::moveNormalFiles(const std::vector<std::string>& fileIds,
                                       const std::string& notebookId, KXDataCallback callback) {
  if (notebookId.empty() || fileIds.empty()) {
    if (callback) callback(KXResultInfo::none(), KXFileMetaUtil::moveArgumentsError(fileIds));
    return;
  }
  client_->writes().moveNormalFiles(fileIds, notebookId);
  if (callback) callback(KXResultInfo::none(), kx::Error());
}

void KXNormalFileUtil::copyNormalFiles(const std::vector<std::string>& fileIds,
                                       const std::string& notebookId, KXDataCallback callback,
                                       bool isConflicted) {
  KXEntryWrites::KXCopyPairs pairs;
  KXFileManager& files = KXFileManager::defaultManauger();
  for (const std::string& sourceId : fileIds) {
    KXFileMetaPtr source = client_->reads().objectForFileMetaID(sourceId);
    if (!source) {
      KXLOG("copy of %s skipped: no such file", sourceId.c_str());
      continue;
    }
    std::string newId = FileMeta::idForFileMeta();
    kx::Error failure;
    if (!files.copyContentFile(sourceId, newId, source->parentId(), notebookId, source->title(),
                               &failure)) {
      KXLOG("stored file of copy %s not copied: %s", newId.c_str(),
            failure.localizedDescription().c_str());
    }
    pairs.emplace_back(sourceId, std::move(newId));
  }
  client_->writes().copyNormalFiles(pairs, notebookId, isConflicted);
  if (callback) callback(KXResultInfo::none(), kx::Error());
}

void KXNormalFileUtil::deleteNormalFiles(const std::vector<std::string>& fileIds,
                                         KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_->dataContext();
  if (!data) return;
  KXDataClient* client = client_;
  data->performWriteBlock([client, fileIds,
                           callback = std::move(callback)](KXManagedObjectContext& context) {
    std::vector<KXObjectID> objectIDs;
    std::vector<std::string> purged;
    for (const std::string& fileId : fileIds) {
      KXFileMetaPtr entry = client->readsIn(&context).objectForFileMetaID(fileId);
      if (!entry) continue;
      objectIDs.push_back(entry->objectID());
      // Already in the trash: this delete purges it, content and all.
      if (entry->del()) purged.push_back(fileId);
    }
    client->writes().deleteManagedObjectSync("NormalFile", &context, objectIDs, nullptr);
    // A content file goes only once no saved row needs it: were the
    // save to fail, the rows would come back and would have to find
    // their files.
    kx::Error saveError;
    client->state().performSave(
        [&saveError](const KXResultInfo&, const kx::Error& error) { saveError = error; }, &context);
    if (!saveError && !purged.empty()) {
      KXFileManager& files = KXFileManager::defaultManauger();
      for (const std::string& fileId : purged) files.removeContentFile(fileId);
      // The write queue may wait for the content queue, never the
      // other way round.
      files.queueForContent().sync([] {});
    }
    if (callback) callback(KXResultInfo::none(), saveError);
  });
}
