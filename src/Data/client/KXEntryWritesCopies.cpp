// KXEntryWrites: copies, moves and restores of file entries. They change the
// entries in the context they work in and never save; content files are the
// helpers' business (KXFileMetaUtil, KXNormalFileUtil, KXNotebookUtil).
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXStoreError.h"
#include "platform/LocalizedStrings.h"
#include "platform/Path.h"
#include "platform/Time.h"

using namespace kx_data_client;

namespace {

constexpr const char* kRecoveryTrashOperation = "recovery";

constexpr const char* kLiveFolderCondition =
    "(del = NO) AND (title = %@) AND (parentId = %@) AND (dir = YES)";

KXResultInfo FolderAnswer(const std::string& folderId) {
  return KXResultInfo::withValue(
      kx::Value::dict({{KXEntryWrites::kNamePathParentIdKey, kx::Value(folderId)}}));
}
// NSURLErrorDomain's "file does not exist": a restore of an id that names
// no entry in the trash.
constexpr std::int64_t kNoSuchDeletedEntryCode = -1100;

void Set(const KXManagedObjectPtr& object, std::string_view key, const kx::Value& value) {
  kx::ignoreError(object->setValue(key, value));
}

kx::Value Now() { return kx::Value(static_cast<long long>(kx::Time::nowSeconds())); }

// The entity name a file entry's title check uses.
std::string ClassNameOf(const KXFileMetaPtr& entry) { return entry->entity().name(); }

}  // namespace

std::string KXEntryWrites::conflictTitle(const std::string& title, bool keepExtension) {
  const std::string mark = kx::LocalizedStrings::localized("Sync Conflicted");
  if (keepExtension) {
    const std::string extension = kx::Path::pathExtension(title);
    // Only when the extension really ends the title: a title that ends in
    // "/" has its last component's extension elsewhere.
    if (!extension.empty() && title.size() > extension.size() &&
        title.compare(title.size() - extension.size() - 1, std::string::npos, "." + extension) ==
            0) {
      const std::string stem = title.substr(0, title.size() - extension.size() - 1);
      return stem + "(" + mark + ")." + extension;
    }
  }
  return title + "(" + mark + ")";
}

// ---- Copies ---------------------------------------------------------------------------

void KXEntryWrites::copyFileParts(const kx::Dictionary& fileParts, const std::string& notebookId,
                                  KXDataCallback callback, bool isConflicted,
                                  KXManagedObjectContext* context) {
  kx::Array items;
  kx::Dictionary copies;
  const kx::Value now = Now();
  for (const auto& [sourceId, part] : fileParts) {
    KXFileMetaPtr source = client_.readsIn(context).objectForFileMetaID(sourceId);
    if (!source) continue;
    kx::Dictionary copy;
    for (const KXPropertyDescription* property : source->entity().properties()) {
      kx::Value value = source->value(property->name());
      if (!value.isNull()) copy.set(property->name(), std::move(value));
    }
    // Not indexed yet: the helper that copies the content feeds the index.
    copy.remove("hasIndex");
    if (part.isDictionary()) {
      for (const auto& [key, value] : part.dict()) copy.set(key, value);
    }
    copy.set("localModified", kx::Value(true));
    copy.set("contentChanged", kx::Value(true));
    copy.set("version", kx::Value(0));
    copy.set("parentId", kx::Value(notebookId));
    copy.set("createTime", now);
    copy.set("modifyTime", now);
    copy.set("transactionTime", now);
    copy.set("transactionId", copy["fileId"]);
    copy.set("isShared", kx::Value(false));
    copy.set("stick", kx::Value(false));
    copy.set("stickTime", kx::Value(0));
    copy.set("tags", kx::Value(""));
    if (const kx::Value* props = copy.find("entryProps"); props && props->isData()) {
      kx::Value parsed = objectFromJSONData(props->bytes());
      if (parsed.isDictionary() && parsed.dict().contains("orgEditorType")) {
        copy.set("entryProps",
                 kx::Value(JSONData(kx::Dictionary{{"orgEditorType", parsed["orgEditorType"]}})));
      }
    }
    copy.remove("shareLinkInfo");
    copy.set("entity", kx::Value(source->entity().className()));
    if (isConflicted) copy.set("title", kx::Value(conflictTitle(source->title())));
    items.push_back(kx::Value(copy));
    copies.set(sourceId, kx::Value(std::move(copy)));
  }
  addManagedObjectsSync("FileMeta", context, items,
                        [&callback, &copies](const KXResultInfo& inserted, const kx::Error& error) {
                          if (!callback) return;
                          KXResultInfo info = KXResultInfo::withValue(kx::Value(copies));
                          info.fetch = inserted.fetch;
                          callback(info, error);
                        });
}

void KXEntryWrites::copyFileParts(const kx::Dictionary& fileParts, const std::string& notebookId,
                                  KXDataCallback callback, bool isConflicted) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, fileParts, notebookId, callback = std::move(callback),
                           isConflicted](KXManagedObjectContext& context) {
    copyFileParts(fileParts, notebookId, callback, isConflicted, &context);
  });
}

namespace {

// The copies of pairs as insert items of one kind, into the target folder.
// The generic insert skips an id that is stored already, gives a title
// that a sibling carries a new number, and indexes each title.
kx::Array PairItems(KXDataClient& client, KXManagedObjectContext& context,
                    const KXEntryWrites::KXCopyPairs& pairs, const KXFileMetaPtr& target,
                    bool notebooks, bool isConflicted) {
  // The folder path the copies remember, as deletion stores it.
  std::string path;
  if (!target->isKindOfEntity("Root")) path = target->namePath() + "/" + target->title();
  const std::int64_t version = client.readsIn(&context).baseVersion();
  const kx::Value now = Now();
  kx::Array items;
  for (const auto& [sourceId, newId] : pairs) {
    KXFileMetaPtr source = client.readsIn(&context).objectForFileMetaID(sourceId);
    if (!source) {
      KXLOG("copy of %s skipped: no such entry", sourceId.c_str());
      continue;
    }
    kx::Dictionary item;
    item.set("parentId", kx::Value(target->fileId()));
    if (!notebooks) item.set("namePath", kx::Value(path));
    std::string title = source->title();
    if (isConflicted) title = KXEntryWrites::conflictTitle(title, /*keepExtension=*/!notebooks);
    item.set("title", kx::Value(title));
    if (!notebooks) item.set("contentChanged", kx::Value(true));
    item.set("createTime", now);
    item.set("modifyTime", now);
    if (!notebooks) item.set("author", source->value("author"));
    item.set("del", kx::Value(source->del()));
    item.set("fileId", kx::Value(newId));
    item.set("localModified", kx::Value(true));
    if (!notebooks) item.set("size", kx::Value(static_cast<long long>(source->size())));
    item.set("version", kx::Value(static_cast<long long>(version)));
    item.set("dir", kx::Value(notebooks));
    item.set("domain", kx::Value(1));
    item.set("entryType", kx::Value(0));
    item.set("transactionId", kx::Value(newId));
    item.set("transactionTime", now);
    item.set("favorited", kx::Value(source->favorited()));
    item.set("noteType", source->value("noteType"));
    items.push_back(kx::Value(std::move(item)));
  }
  return items;
}

}  // namespace

void KXEntryWrites::copyNormalFiles(const KXCopyPairs& pairs, const std::string& notebookId,
                                    bool isConflicted) {
  copyPairs("NormalFile", pairs, notebookId, isConflicted);
}

void KXEntryWrites::copyNotebooks(const KXCopyPairs& pairs, const std::string& notebookId,
                                  bool isConflicted) {
  copyPairs("Notebook", pairs, notebookId, isConflicted);
}

void KXEntryWrites::copyPairs(const std::string& entityName, const KXCopyPairs& pairs,
                              const std::string& notebookId, bool isConflicted) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, entityName, pairs, notebookId,
                           isConflicted](KXManagedObjectContext& context) {
    KXFileMetaPtr target = client_.readsIn(&context).objectForFileMetaID(notebookId);
    if (!target) {
      KXLOG("copy into %s skipped: no such folder", notebookId.c_str());
      return;
    }
    const bool dir = entityName == "Notebook";
    addManagedObjectsSync(entityName, &context,
                          PairItems(client_, context, pairs, target, dir, isConflicted), nullptr);
  });
}

// ---- Moves ----------------------------------------------------------------------------

namespace {

// Whether `folderId` is `entryId` or lies below it: walks up from the
// folder through the parent ids (trashed folders keep theirs). A cycle
// of parent ids ends the walk with a log line.
bool LiesWithin(KXDataClient& client, KXManagedObjectContext* context, const std::string& folderId,
                const std::string& entryId) {
  std::unordered_set<std::string> visited;
  std::string current = folderId;
  while (!current.empty()) {
    if (current == entryId) return true;
    if (!visited.insert(current).second) {
      KXLOG("folder %s lies in a cycle of parent ids", current.c_str());
      return false;
    }
    KXFileMetaPtr folder = client.readsIn(context).objectForFileMetaID(current);
    if (!folder || folder->isNil("parentId")) return false;
    current = folder->parentId();
    if (current == KXDataClient::kAboveRootParentId || current == KXDataClient::kTrashParentId) {
      return false;
    }
  }
  return false;
}

}  // namespace

void KXEntryWrites::moveFileMetas(const std::vector<std::string>& fileIds,
                                  const std::string& notebookId, KXManagedObjectContext* context) {
  for (const std::string& fileId : fileIds) {
    KXFileMetaPtr entry = client_.readsIn(context).objectForFileMetaID(fileId);
    if (!entry) continue;
    // A folder put into itself or below itself would leave the tree and
    // take its subtree along into a cycle.
    if (entry->fileId() == notebookId ||
        (entry->isKindOfEntity("Notebook") &&
         LiesWithin(client_, context, notebookId, entry->fileId()))) {
      KXLOG("move of %s into %s skipped: the target lies within the entry", fileId.c_str(),
            notebookId.c_str());
      continue;
    }
    if (entry->parentId() != notebookId) {
      Set(entry, "localModified", kx::Value(true));
      Set(entry, "parentId", kx::Value(notebookId));
    }
    if (entry->del()) {
      Set(entry, "parentId", kx::Value(notebookId));
      Set(entry, "del", kx::Value(false));
      Set(entry, "trashModifyData", kx::Value(kRecoveryTrashOperation));
      Set(entry, "localTrashOp", kx::Value(true));
      Set(entry, "localModified", kx::Value(true));
      if (entry->isKindOfEntity("Notebook")) {
        for (const KXFileMetaPtr& below :
             client_.readsIn(context).objectsUnderFileId(entry->fileId())) {
          if (!below->del()) continue;
          Set(below, "del", kx::Value(false));
          Set(below, "localModified", kx::Value(true));
        }
      }
    }
    kx::Dictionary dup = client_.reads().titleOfDuplicateTitle(entry->title(), entry->parentId(),
                                                               entry->fileId(), ClassNameOf(entry));
    if (dup[kKXDupTitleIsDupKey].boolValue()) Set(entry, "title", dup[kKXDupTitleNewTitleKey]);
  }
}

namespace {

void QueueMove(KXDataClient* client, const std::vector<std::string>& fileIds,
               const std::string& notebookId) {
  std::shared_ptr<KXDataContext> data = client->dataContext();
  if (!data) return;
  data->performWriteBlock([client, fileIds, notebookId](KXManagedObjectContext& context) {
    client->writes().moveFileMetas(fileIds, notebookId, &context);
  });
}

}  // namespace

void KXEntryWrites::moveFileMetas(const std::vector<std::string>& fileIds,
                                  const std::string& notebookId) {
  QueueMove(&client_, fileIds, notebookId);
}

void KXEntryWrites::moveNotes(const std::vector<std::string>& fileIds,
                              const std::string& notebookId) {
  QueueMove(&client_, fileIds, notebookId);
}

void KXEntryWrites::moveNormalFiles(const std::vector<std::string>& fileIds,
                                    const std::string& notebookId) {
  QueueMove(&client_, fileIds, notebookId);
}

void KXEntryWrites::moveNotebooks(const std::vector<std::string>& fileIds,
                                  const std::string& notebookId) {
  QueueMove(&client_, fileIds, notebookId);
}

// ---- Restores -------------------------------------------------------------------------

void KXEntryWrites::recoverFileMetas(const std::vector<std::string>& fileIds,
                                     KXManagedObjectContext* context, KXDataCallback callback) {
  if (!context) {
    KXLOG("restore skipped: no context to restore in");
    return;
  }
  // The restore of an entry from the trash may finish in a later block of
  // the write queue, once its folders are made; it holds on to the context.
  std::shared_ptr<KXManagedObjectContext> holder = context->shared_from_this();
  for (const std::string& fileId : fileIds) {
    KXFileMetaPtr entry = client_.readsIn(context).objectForFileMetaID(fileId);
    if (!entry || !entry->del()) {
      if (callback) {
        callback(KXResultInfo::none(), kx::Error(kx::kURLErrorDomain, kNoSuchDeletedEntryCode));
      }
      return;
    }
    if (entry->parentId() == KXDataClient::kTrashParentId) {
      // In the trash itself: back to the folder of its name path, made
      // again when it is gone.
      auto restore = [this, holder, entry, callback](const KXResultInfo& info,
                                                     const kx::Error& error) {
        if (error) {
          if (callback) callback(KXResultInfo::none(), error);
          return;
        }
        const kx::Value now = Now();
        Set(entry, "parentId", info.value[kNamePathParentIdKey]);
        Set(entry, "del", kx::Value(false));
        Set(entry, "trashModifyData", kx::Value(kRecoveryTrashOperation));
        Set(entry, "localTrashOp", kx::Value(true));
        Set(entry, "remoteRemoved", kx::Value(false));
        Set(entry, "modifyTime", now);
        Set(entry, "transactionTime", now);
        Set(entry, "transactionId", kx::Value(entry->fileId()));
        Set(entry, "localModified", kx::Value(true));
        Set(entry, "namePath", kx::Value(""));
        if (entry->isKindOfEntity("Notebook")) {
          for (const KXFileMetaPtr& below :
               client_.readsIn(holder.get()).objectsUnderFileId(entry->fileId())) {
            Set(below, "del", kx::Value(false));
            Set(below, "modifyTime", now);
            Set(below, "transactionTime", now);
          }
        }
        kx::Dictionary dup = client_.reads().titleOfDuplicateTitle(
            entry->title(), entry->parentId(), entry->fileId(), ClassNameOf(entry));
        if (dup[kKXDupTitleIsDupKey].boolValue()) Set(entry, "title", dup[kKXDupTitleNewTitleKey]);
        if (callback) callback(KXResultInfo::none(), kx::Error());
      };
      NotebookIdFromNamePath(entry->namePath(), context, std::move(restore));
      continue;
    }
    // Inside a deleted folder: the entry and every deleted folder above it
    // up to the first live one come back where they are.
    const kx::Value now = Now();
    Set(entry, "del", kx::Value(false));
    Set(entry, "modifyTime", now);
    Set(entry, "transactionTime", now);
    Set(entry, "localModified", kx::Value(true));
    std::unordered_set<std::string> visited{entry->fileId()};
    std::string parentId = entry->parentId();
    while (true) {
      KXFileMetaPtr parent = client_.readsIn(context).objectForFileMetaID(parentId);
      if (!parent || !parent->del()) break;
      if (!visited.insert(parent->fileId()).second) {
        KXLOG("entry %s lies in a cycle of parent ids", parent->fileId().c_str());
        break;
      }
      Set(parent, "del", kx::Value(false));
      Set(parent, "modifyTime", now);
      Set(parent, "transactionTime", now);
      Set(parent, "localModified", kx::Value(true));
      parentId = parent->parentId();
    }
    if (callback) callback(KXResultInfo::none(), kx::Error());
  }
}

void KXEntryWrites::recoverFileMetas(const std::vector<std::string>& fileIds,
                                     KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock(
      [this, fileIds, callback = std::move(callback)](KXManagedObjectContext& context) {
        recoverFileMetas(fileIds, &context, callback);
      });
}

// ---- Ancestry ---------------------------------------------------------------------------

void KXEntryWrites::addGroupSync(const kx::Value& /*group*/, const kx::Array& /*fromNotebooks*/,
                                 KXManagedObjectContext* /*context*/) {
  throw kx::Exception(kInternalInconsistency, kShouldNotBeCalled);
}

std::string KXEntryWrites::NotebookIdFromNamePath(const std::string& namePath,
                                                  KXManagedObjectContext* context,
                                                  KXDataCallback callback) {
  KXEntryReads::NamePathResolution resolution =
      client_.readsIn(context).lastParentIdFromNamePath(namePath);
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

void KXEntryWrites::completeNamePath(const std::string& parentId,
                                     const std::vector<std::string>& fileIds,
                                     const std::vector<std::string>& names,
                                     KXDataCallback callback) {
  if (names.empty()) {
    if (callback) callback(FolderAnswer(parentId), kx::Error());
    return;
  }
  std::shared_ptr<KXDataContext> data = client_.dataContext();
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
