#include "Data/DataUtil/KXFileMetaUtil.h"

#include <cstdlib>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/entities/FileMeta.h"
#include "platform/LocalizedStrings.h"
#include "platform/Path.h"
#include "platform/Time.h"

namespace {

// The title without its extension ("Plan.note" -> "Plan"); a title whose
// last "." is not followed by its extension to the end stays whole.
std::string WithoutExtension(const std::string& title) {
  const std::string extension = kx::Path::pathExtension(title);
  if (extension.empty() || title.size() <= extension.size() ||
      title.compare(title.size() - extension.size() - 1, std::string::npos, "." + extension) != 0) {
    return title;
  }
  return title.substr(0, title.size() - extension.size() - 1);
}

// The entry type a new file entry takes from its info: 7 when the info's
// value, read as text and then as an integer, is 7; else 0.
int EntryTypeOf(const kx::Dictionary& info) {
  const kx::Value* given = info.find("entryType");
  if (!given || given->isNull()) return 0;
  const std::string text = given->stringValue();
  return std::strtoll(text.c_str(), nullptr, 10) == 7 ? 7 : 0;
}

}  // namespace

KXFileMetaUtil& KXFileMetaUtil::sharedUtil() {
  static KXFileMetaUtil* util = new KXFileMetaUtil(KXDataClient::defaultDataClient());
  return *util;
}

const kx::Value& KXFileMetaUtil::requiredFileId(const kx::Dictionary& info) {
  const kx::Value* fileId = info.find("fileId");
  if (!fileId || fileId->isNull()) throw kx::Exception(kArgumentsInvalid, kArgumentsInvalidReason);
  return *fileId;
}

kx::Dictionary KXFileMetaUtil::newEntryDefaults(const kx::Value& fileId,
                                                const std::string& titleKey,
                                                const kx::Value& parentId, bool dir, int domain,
                                                bool asFile) {
  const kx::Value now(static_cast<long long>(kx::Time::nowSeconds()));
  kx::Dictionary entry{
      {"title", kx::Value(kx::LocalizedStrings::localized(titleKey))},
      {"fileId", fileId},
      {"modifyTime", now},
      {"createTime", now},
      {"version", kx::Value(0)},
      {"localModified", kx::Value(true)},
      {"del", kx::Value(false)},
      {"encrypted", kx::Value(false)},
      {"parentId", parentId},
      {"dir", kx::Value(dir)},
      {"domain", kx::Value(domain)},
      {"entryType", kx::Value(0)},
      {"namePath", kx::Value("")},
      {"dirNum", kx::Value(0)},
      {"fileNum", kx::Value(0)},
      {"subTreeDirNum", kx::Value(0)},
      {"subTreeFileNum", kx::Value(0)},
      {"noteType", kx::Value(0)},
      {"favorited", kx::Value(false)},
  };
  if (asFile) {
    entry.set("transactionId", fileId);
    entry.set("transactionTime", now);
    entry.set("author", kx::Value(""));
    entry.set("size", kx::Value(0));
    entry.set("contentChanged", kx::Value(true));
  }
  return entry;
}

kx::Dictionary KXFileMetaUtil::fileEntryInfo(const kx::Dictionary& info) {
  kx::Dictionary entry = newEntryDefaults(requiredFileId(info), "Empty Title.note",
                                          info["parentId"], false, 0, /*asFile=*/true);
  // A folder is no transaction of its own.
  if (info["dir"].boolValue()) entry.remove("transactionId");
  for (const auto& [key, value] : info) entry.set(key, value);
  // The entry type is the one value the caller's info does not set as it
  // is: only a note-like 7 is kept.
  entry.set("entryType", kx::Value(EntryTypeOf(info)));
  return entry;
}

kx::Error KXFileMetaUtil::moveArgumentsError(const std::vector<std::string>& fileIds) {
  kx::Array ids(fileIds.begin(), fileIds.end());
  return kx::Error(kx::kCocoaErrorDomain, kMoveArgumentsErrorCode,
                   kx::Value::dict({{kErrorPathKey, kx::Value(std::move(ids))}}));
}

void KXFileMetaUtil::addFileInfos(const kx::Array& infos, KXDataCallback callback) {
  kx::Array entries;
  entries.reserve(infos.size());
  for (const kx::Value& info : infos) {
    entries.push_back(
        kx::Value(fileEntryInfo(info.isDictionary() ? info.dict() : kx::Dictionary())));
  }
  client_->writes().addFileMetas(
      entries, true,
      [callback = std::move(callback)](const KXResultInfo& result, const kx::Error& error) {
        if (callback) callback(result, error);
      });
}

void KXFileMetaUtil::movefileIds(const std::vector<std::string>& fileIds,
                                 const std::string& notebookId, KXDataCallback callback) {
  if (notebookId.empty() || fileIds.empty()) {
    if (callback) callback(KXResultInfo::none(), moveArgumentsError(fileIds));
    return;
  }
  client_->writes().moveFileMetas(fileIds, notebookId);
  if (callback) callback(KXResultInfo::none(), kx::Error());
}

std::vector<std::string> KXFileMetaUtil::copyFileIds(const std::vector<std::string>& fileIds,
                                                     const std::string& notebookId,
                                                     KXDataCallback callback, bool isConflicted) {
  std::vector<std::string> newIds;
  kx::Dictionary fileParts;
  for (const std::string& sourceId : fileIds) {
    newIds.push_back(FileMeta::idForFileMeta());
    fileParts.set(sourceId, kx::Value::dict({{"fileId", kx::Value(newIds.back())}}));
  }
  copyFileInfos(fileParts, notebookId, std::move(callback), isConflicted);
  return newIds;
}

void KXFileMetaUtil::copyFileInfos(const kx::Dictionary& fileParts, const std::string& notebookId,
                                   KXDataCallback callback, bool isConflicted) {
  KXDataClient* client = client_;
  auto copied = [client, notebookId, callback = std::move(callback)](const KXResultInfo& info,
                                                                     const kx::Error& error) {
    if (error) {
      // The store refused the copies: no content file is copied.
      if (callback) callback(info, error);
      return;
    }
    // The copies the store made, by their new ids, with the titles they
    // were stored with (the insert may have numbered a taken title).
    std::unordered_map<std::string, KXManagedObjectPtr> made;
    for (const KXManagedObjectPtr& object : info.fetch.objects) {
      made.emplace(object->stringValue("fileId"), object);
    }
    KXFileManager& files = KXFileManager::defaultManauger();
    kx::Array documents;
    if (info.value.isDictionary()) {
      for (const auto& [sourceId, copyValue] : info.value.dict()) {
        const std::string newId = copyValue["fileId"].stringValue();
        auto found = made.find(newId);
        if (found == made.end()) continue;  // no new entry: nothing to fill
        const KXManagedObjectPtr& copy = found->second;
        const std::string title = copy->stringValue("title");
        kx::Error failure;
        if (!files.copyContentFile(sourceId, newId, notebookId, copy->stringValue("parentId"),
                                   title, &failure)) {
          KXLOG("content of copy %s not copied: %s", newId.c_str(),
                failure.localizedDescription().c_str());
        }
        const std::string entity = copyValue["entity"].stringValue();
        const bool markdown = entity == "NormalFile" && kx::Path::pathExtension(title) == "md";
        if (entity != "Note" && !markdown) continue;
        // Missing content is indexed as no text: the placeholder the
        // reader shows in its place is no part of the copy.
        std::string text;
        if (markdown) {
          text = files.originStringContentFileSync(newId, false, title).value_or(std::string());
        } else {
          text = NSStringDupTitle::plainText(
              files.originStringContentFileSync(newId, false).value_or(std::string()));
        }
        const std::string head = markdown ? title : WithoutExtension(title);
        documents.push_back(kx::Value::dict(
            {{"docID", kx::Value(newId)}, {"docContent", kx::Value(head + " " + text)}}));
      }
    }
    if (!documents.empty()) client->indexing().indexNotes(documents);
    if (callback) callback(info, error);
  };
  client_->writes().copyFileParts(fileParts, notebookId, std::move(copied), isConflicted);
}
