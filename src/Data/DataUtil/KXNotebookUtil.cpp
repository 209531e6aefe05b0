#include "Data/DataUtil/KXNotebookUtil.h"

#include <utility>

#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXStoreError.h"
#include "platform/LocalizedStrings.h"
#include "platform/Time.h"

KXNotebookUtil& KXNotebookUtil::sharedUtil() {
  static KXNotebookUtil* util = new KXNotebookUtil();
  return *util;
}

KXDataClient& KXNotebookUtil::client() const {
  return client_ ? *client_ : KXDataClient::defaultDataClient();
}

kx::Dictionary KXNotebookUtil::notebookEntryInfo(const kx::Dictionary& info,
                                                 const std::string& parentId) {
  kx::Dictionary entry = KXFileMetaUtil::newEntryDefaults(
      KXFileMetaUtil::requiredFileId(info), "New Notebook", kx::Value(parentId), true, 1,
      /*asFile=*/false);
  for (const auto& [key, value] : info) entry.set(key, value);
  return entry;
}

void KXNotebookUtil::addNotebook(const kx::Dictionary& info, KXDataCallback callback) {
  KXFileMetaUtil::requiredFileId(info);
  KXDataClient& store = client();
  const std::string parentId = info["parentId"].stringValue();
  KXFileMetaPtr parent = store.reads().objectForFileMetaID(parentId);
  if (!parent) {
    // A caller waiting for the answer must hear of it.
    if (callback) {
      callback(KXResultInfo::none(),
               KXStoreMakeError(kKXStoreObjectNotFoundError, "no parent folder " + parentId));
    }
    return;
  }
  store.writes().addNotebooks({kx::Value(notebookEntryInfo(info, parent->fileId()))}, true,
                              nullptr);
  if (callback) callback(KXResultInfo::none(), kx::Error());
}

std::vector<std::string> KXNotebookUtil::copyNotebooks(const std::vector<std::string>& fileIds,
                                                       const std::string& notebookId,
                                                       KXDataCallback /*callback*/,
                                                       bool isConflicted) {
  KXEntryWrites::KXCopyPairs pairs;
  std::vector<std::string> newIds;
  for (const std::string& sourceId : fileIds) {
    newIds.push_back(FileMeta::idForFileMeta());
    pairs.emplace_back(sourceId, newIds.back());
  }
  client().writes().copyNotebooks(pairs, notebookId, isConflicted);
  return newIds;
}

void KXNotebookUtil::moveNotebooks(const std::vector<std::string>& fileIds,
                                   const std::string& notebookId, KXDataCallback callback) {
  if (notebookId.empty() || fileIds.empty()) {
    if (callback) callback(KXResultInfo::none(), KXFileMetaUtil::moveArgumentsError(fileIds));
    return;
  }
  client().writes().moveNotebooks(fileIds, notebookId);
  if (callback) callback(KXResultInfo::none(), kx::Error());
}

std::uint64_t KXNotebookUtil::getSubDirNumOfNotebook(const std::string& fileId) {
  return getSubDirNumOfNotebook(client(), fileId);
}

std::uint64_t KXNotebookUtil::getSubDirNumOfNotebook(KXDataClient& client,
                                                     const std::string& fileId) {
  std::uint64_t count = 0;
  client.reads().performSyncReadBlock(
      [&] { count = client.reads().getSubNotebookNumOfNotebook(fileId); });
  return count;
}

std::int64_t KXNotebookUtil::modifyType() const {
  kx::MutexLock lock(mu_);
  return modifyType_;
}

void KXNotebookUtil::setModifyType(std::int64_t modifyType) {
  kx::MutexLock lock(mu_);
  modifyType_ = modifyType;
}

std::optional<kx::Dictionary> KXNotebookUtil::uncommitData() const {
  kx::MutexLock lock(mu_);
  return uncommitData_;
}

void KXNotebookUtil::setUncommitData(std::optional<kx::Dictionary> data) {
  kx::MutexLock lock(mu_);
  uncommitData_ = std::move(data);
}

void KXNotebookUtil::rollbackChange() {
  kx::MutexLock lock(mu_);
  uncommitData_.reset();
}

void KXNotebookUtil::setTitle(const std::string& title) {
  kx::MutexLock lock(mu_);
  if (!uncommitData_) return;
  kx::Dictionary content = (*uncommitData_)["content"].isDictionary()
                               ? (*uncommitData_)["content"].dict()
                               : kx::Dictionary();
  content.set("title", kx::Value(title));
  uncommitData_->set("content", kx::Value(std::move(content)));
}

void KXNotebookUtil::setEncrypted(bool encrypted) {
  kx::MutexLock lock(mu_);
  if (!uncommitData_ || modifyType_ != 2) return;
  kx::Dictionary content = (*uncommitData_)["content"].isDictionary()
                               ? (*uncommitData_)["content"].dict()
                               : kx::Dictionary();
  content.set("encrypted", kx::Value(encrypted));
  uncommitData_->set("content", kx::Value(std::move(content)));
}
