// KXEntryReads: listings of entries (children, subtrees, tags, shares,
// encrypted folders, recent entries) and the filters over search results.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryReadsInternal.h"
#include "Data/entities/Notebook.h"
#include "Data/entities/Root.h"
#include "platform/Text.h"

using namespace kx_data_client;

namespace {

// Conditions of the listings, as the rest of the system writes them.
constexpr const char* kChildrenCondition = "parentId = %@ && remoteRemoved = NO";
constexpr const char* kChildrenOfManyCondition = "parentId IN %@ && remoteRemoved = NO";
constexpr const char* kWholeTreeCondition = "remoteRemoved = NO && del = NO && parentId <> '-2'";
// Entries inside, and entries outside, a set of folders ("%@" is their ids).
constexpr const char* kInsideCondition = "parentId IN %@";
constexpr const char* kOutsideCondition = "NOT (parentId IN %@)";

// Parent ids handed to one fetch of a level walk. The condition layer writes
// one "?" per id and SQLite caps the "?" of a statement (32766 by default),
// so a wider level is fetched in parts.
constexpr std::size_t kParentIdsPerFetch = 10000;

// The recent list that folder filtering compares virtual folders with.
constexpr std::int64_t kRecentFilterLimit = 1000;

std::unordered_set<std::string> FileIdsOf(const KXFileMetaArray& entries) {
  std::unordered_set<std::string> ids;
  ids.reserve(entries.size());
  for (const KXFileMetaPtr& entry : entries) {
    if (!entry->isNil("fileId")) ids.insert(entry->fileId());
  }
  return ids;
}

// Whether the entry's comma-separated tag ids hold tagId as one element.
bool HasTag(const FileMeta& entry, const std::string& tagId) {
  if (entry.isNil("tags")) return false;
  const std::string tags = entry.stringValue("tags");
  std::size_t start = 0;
  while (start <= tags.size()) {
    std::size_t comma = tags.find(',', start);
    if (comma == std::string::npos) comma = tags.size();
    if (tags.compare(start, comma - start, tagId) == 0) return true;
    start = comma + 1;
  }
  return false;
}

KXFileMetaArray Cut(KXFileMetaArray entries, std::int64_t limit) {
  if (limit >= 0 && static_cast<std::uint64_t>(limit) < entries.size()) {
    entries.resize(static_cast<std::size_t>(limit));
  }
  return entries;
}

}  // namespace

// ---------------------------------------------------------------------------
// Folders and subtrees
// ---------------------------------------------------------------------------

KXFileMetaArray KXEntryReads::objectsForParentId(const std::string& parentId,
                                                 const std::string& entityName,
                                                 const std::optional<std::string>& predicate,
                                                 const kx::Array& options) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).objectsForParentId(parentId, entityName, predicate, options);
    });
  }
  KXManagedObjectContext* context = bound_;
  if (parentId.empty()) return {};
  KXManagedObjectContext* target = context;
  return CastAll<FileMeta>(Fetch(*target, entityName, JoinCondition(kChildrenCondition, predicate),
                                 WithArguments(kx::Value(parentId), options)));
}

KXFileMetaArray KXEntryReads::objectsForParentIds(const std::vector<std::string>& parentIds,
                                                  const std::string& entityName,
                                                  const std::optional<std::string>& predicate,
                                                  const kx::Array& options) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).objectsForParentIds(parentIds, entityName, predicate, options);
    });
  }
  KXManagedObjectContext* context = bound_;
  if (parentIds.empty()) return {};
  KXManagedObjectContext* target = context;
  const std::string condition = JoinCondition(kChildrenOfManyCondition, predicate);
  std::vector<KXManagedObjectPtr> objects;
  for (std::size_t start = 0; start < parentIds.size(); start += kParentIdsPerFetch) {
    const std::size_t end = std::min(parentIds.size(), start + kParentIdsPerFetch);
    kx::Array ids(parentIds.begin() + static_cast<std::ptrdiff_t>(start),
                  parentIds.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<KXManagedObjectPtr> part =
        Fetch(*target, entityName, condition, WithArguments(kx::Value(std::move(ids)), options));
    if (objects.empty()) {
      objects = std::move(part);
    } else {
      objects.insert(objects.end(), std::make_move_iterator(part.begin()),
                     std::make_move_iterator(part.end()));
    }
  }
  if (parentIds.size() > kParentIdsPerFetch) {
    // Each chunk answers in store order; together they must too.
    std::sort(objects.begin(), objects.end(),
              [](const KXManagedObjectPtr& a, const KXManagedObjectPtr& b) {
                return a->objectID().primaryKey() < b->objectID().primaryKey();
              });
  }
  return CastAll<FileMeta>(objects);
}

KXFileMetaArray KXEntryReads::objectsForParentId(const std::string& parentId,
                                                 const std::string& entityName) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).objectsForParentId(parentId, entityName);
    });
  }
  return objectsForParentId(parentId, entityName, std::nullopt, {});
}

std::vector<KXStoredRow> KXEntryReads::rowsForParentId(const std::string& parentId) {
  if (!bound_) {
    return onReadQueue(
        [&](KXManagedObjectContext* context) { return in(context).rowsForParentId(parentId); });
  }
  if (parentId.empty()) return {};
  KXManagedObjectContext& context = *bound_;
  std::vector<KXStoredRow> rows;
  if (!context.fetchRows("FileMeta", kChildrenCondition, {kx::Value(parentId)}, &rows)) return {};
  for (KXStoredRow& row : rows) {
    if (!row.isKindOfEntity("Root")) continue;
    if (KXManagedObjectPtr root =
            context.existingObject(KXObjectID(&row.entity->rootEntity(), row.key))) {
      row = root->storedRow();
    }
  }
  return rows;
}

KXFileMetaArray KXEntryReads::objectsUnderParent(const KXManagedObjectPtr& parent,
                                                 const std::string& entityName,
                                                 const std::optional<std::string>& predicate,
                                                 const kx::Array& options) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).objectsUnderParent(parent, entityName, predicate, options);
    });
  }
  KXManagedObjectContext* context = bound_;
  if (!parent || !parent->isKindOfEntity("Notebook")) return {};
  KXManagedObjectContext* target = context;

  if (parent->isKindOfEntity("Root")) {
    return CastAll<FileMeta>(
        Fetch(*target, entityName, JoinCondition(kWholeTreeCondition, predicate), options));
  }

  // Level by level. Rows already listed (the start among them) are not
  // listed again and folder ids already walked are not walked again, so
  // parent ids that form a cycle end the walk.
  const std::string startId = parent->stringValue("fileId");
  std::unordered_set<std::int64_t> listedRows{parent->objectID().primaryKey()};
  std::unordered_set<std::string> walkedIds{startId};
  std::vector<std::string> ids{startId};
  KXFileMetaArray result;
  while (!ids.empty()) {
    KXFileMetaArray level = objectsForParentIds(ids, entityName, predicate, options);
    ids.clear();
    result.reserve(result.size() + level.size());
    for (KXFileMetaPtr& entry : level) {
      if (!listedRows.insert(entry->objectID().primaryKey()).second) {
        KXLOG("subtree of %s: %s is reached again, the parent ids form a cycle", startId.c_str(),
              entry->fileId().c_str());
        continue;
      }
      if (entry->isKindOfEntity("Notebook")) {
        std::string fileId = entry->fileId();
        if (walkedIds.insert(fileId).second) ids.push_back(std::move(fileId));
      }
      result.push_back(std::move(entry));
    }
  }
  return result;
}

KXFileMetaArray KXEntryReads::objectsUnderFileId(const std::string& fileId) {
  if (!bound_) {
    return onReadQueue(
        [&](KXManagedObjectContext* context) { return in(context).objectsUnderFileId(fileId); });
  }
  KXFileMetaPtr folder = objectForFileMetaID(fileId);
  return objectsUnderParent(folder, "FileMeta", std::nullopt, {});
}

// ---------------------------------------------------------------------------
// Tags, shares, encrypted folders, names
// ---------------------------------------------------------------------------

KXFileMetaArray KXEntryReads::objectsWithTagId(const std::string& tagId, bool includeEncrypted) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).objectsWithTagId(tagId, includeEncrypted);
    });
  }
  KXManagedObjectContext* context = bound_;
  if (tagId.empty()) return {};
  KXManagedObjectContext* target = context;
  // The fetch narrows by text; membership is then decided per element, as
  // the tag removal does, so tag "12" never lists the entries of tag "123".
  KXFileMetaArray tagged = CastAll<FileMeta>(
      Fetch(*target, "FileMeta", "dir = NO && remoteRemoved = NO && del = NO && tags CONTAINS %@",
            {kx::Value(tagId)}));
  std::erase_if(tagged, [&](const KXFileMetaPtr& entry) { return !HasTag(*entry, tagId); });
  if (includeEncrypted || tagged.empty()) return tagged;
  kx::Array encrypted = FileIdArrayOf(encryptedDirsInContext(target));
  if (encrypted.empty()) return tagged;
  return Where(tagged, kOutsideCondition, {kx::Value(std::move(encrypted))});
}

KXFileMetaArray KXEntryReads::myshareFilemetasWithContext(KXManagedObjectContext* context) {
  if (!context) context = bound_;
  if (!context) {
    return onReadQueue(
        [&](KXManagedObjectContext* reader) { return myshareFilemetasWithContext(reader); });
  }
  KXManagedObjectContext* target = context;
  return CastAll<FileMeta>(Fetch(*target, "FileMeta", "shareType > 0 && del != true", {}));
}

KXFileMetaArray KXEntryReads::myshareFilemetas() { return myshareFilemetasWithContext(nullptr); }

KXFileMetaArray KXEntryReads::encryptedDirsInContext(KXManagedObjectContext* context) {
  if (!context) context = bound_;
  if (!context) {
    return onReadQueue(
        [&](KXManagedObjectContext* reader) { return in(reader).encryptedDirsInContext(reader); });
  }
  if (context != bound_) return in(context).encryptedDirsInContext(context);
  std::shared_ptr<Root> root = rootEntryWithContext(context);
  if (!root) return {};
  KXFileMetaArray encrypted =
      objectsUnderParent(root, "Notebook", std::string("encrypted = YES"), {});
  KXFileMetaArray result = encrypted;
  for (const KXFileMetaPtr& folder : encrypted) {
    KXFileMetaArray below = objectsUnderParent(folder, "Notebook", std::nullopt, {});
    result.insert(result.end(), below.begin(), below.end());
  }
  return result;
}

void KXEntryReads::setParentNameForResult(const KXFileMetaArray& entries) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).setParentNameForResult(entries);
    });
  }
  KXManagedObjectContext* context = bound_;
  // Reserved parent ids ("0", "1", "-2") are shorter than any folder id.
  auto hasFolderParent = [](const FileMeta& entry, std::string* parentId) {
    if (entry.isNil("parentId")) return false;
    *parentId = entry.parentId();
    return kx::Text::utf16Length(*parentId) >= 3;
  };
  kx::Array parentIds;
  std::unordered_set<std::string> seen;
  std::string parentId;
  for (const KXFileMetaPtr& entry : entries) {
    if (hasFolderParent(*entry, &parentId) && seen.insert(parentId).second) {
      parentIds.emplace_back(parentId);
    }
  }
  std::unordered_map<std::string, std::string> titles;
  if (!parentIds.empty()) {
    std::shared_ptr<Root> root = rootEntryWithContext(context);
    for (const KXFileMetaPtr& folder : objectsUnderParent(
             root, "Notebook", std::string("fileId IN %@"), {kx::Value(std::move(parentIds))})) {
      titles.emplace(folder->fileId(), folder->title());
    }
  }
  for (const KXFileMetaPtr& entry : entries) {
    if (!hasFolderParent(*entry, &parentId)) continue;
    auto found = titles.find(parentId);
    if (found != titles.end()) {
      entry->setParentName(found->second);
    } else {
      KXLOG("meta %s parent %s not exist", entry->fileId().c_str(), parentId.c_str());
    }
  }
}

std::pair<KXFileMetaArray, KXFileMetaArray> KXEntryReads::objectsFilteredUnderFileId(
    const std::string& folderId, const KXFileMetaArray& originObjects) {
  KXFileMetaArray kept;
  KXFileMetaPtr folder = objectForFileMetaID(folderId);
  if (folder) {
    if (folder->isKindOfEntity("Root")) {
      kept = originObjects;
    } else {
      KXFileMetaArray notebooks = onReadQueue([&](KXManagedObjectContext* context) {
        return objectsUnderParent(folder, "Notebook", std::nullopt, {});
      });
      kx::Array folders = FileIdArrayOf(notebooks);
      folders.emplace_back(folder->fileId());
      kept = Where(originObjects, kInsideCondition, {kx::Value(std::move(folders))});
    }
    kept = Where(kept, kWholeTreeCondition);
  } else if (folderId.empty()) {
    return {};
  } else if (folderId == KXDataClient::kHiddenParentId) {
    for (const KXFileMetaPtr& entry : originObjects) {
      if (!entry->isNil("parentId") && entry->parentId() == KXDataClient::kHiddenParentId)
        kept.push_back(entry);
    }
    return {std::move(kept), {}};
  } else {
    // A virtual folder (the recent list): the hits among the most recent
    // entries.
    const std::unordered_set<std::string> recent =
        FileIdsOf(recentObjectsWithLimit(kRecentFilterLimit, false));
    for (const KXFileMetaPtr& entry : originObjects) {
      if (!entry->isNil("fileId") && recent.count(entry->fileId())) kept.push_back(entry);
    }
  }

  kx::Array encrypted = FileIdArrayOf(onReadQueue(
      [&](KXManagedObjectContext* context) { return encryptedDirsInContext(context); }));
  KXFileMetaArray inEncrypted = Where(kept, kInsideCondition, {kx::Value(std::move(encrypted))});
  return {std::move(kept), std::move(inEncrypted)};
}

KXFileMetaArray KXEntryReads::recentObjectsWithLimit(std::int64_t limit, bool deleted) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).recentObjectsWithLimit(limit, deleted);
    });
  }
  KXManagedObjectContext* context = bound_;
  if (!deleted) return Cut(recentObjectsNotDeletedWithLimit(limit), limit);
  KXManagedObjectContext* target = context;
  return Cut(CastAll<FileMeta>(Fetch(*target, "FileMeta", "parentId = %@ AND remoteRemoved = %@",
                                     {kx::Value(KXDataClient::kTrashParentId), kx::Value(false)})),
             limit);
}

KXFileMetaArray KXEntryReads::recentObjectsNotDeletedWithLimit(std::int64_t limit) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).recentObjectsNotDeletedWithLimit(limit);
    });
  }
  KXManagedObjectContext* context = bound_;
  KXManagedObjectContext* target = context;
  if (limit == 0) return {};
  KXFileMetaArray candidates = CastAll<FileMeta>(
      Fetch(*target, "FileMeta",
            "transactionTime > 0 && transactionId != nil && remoteRemoved = NO && del = NO", {}));
  if (candidates.empty()) return {};

  // The sort keys, read once per entry.
  struct Keyed {
    bool stick;
    std::int64_t time;  // getMaxTime when pinned, else transactionTime
    std::string fileId;
    KXFileMetaPtr entry;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(candidates.size());
  for (KXFileMetaPtr& entry : candidates) {
    const bool stick = entry->stick();
    keyed.push_back(Keyed{stick, stick ? getMaxTime(*entry) : entry->transactionTime(),
                          stick ? std::string() : entry->fileId(), std::move(entry)});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.stick != b.stick) return a.stick;
    if (a.time != b.time) return a.time > b.time;
    return !a.stick && a.fileId > b.fileId;
  });

  const KXPredicatePtr outside = KXPredicate::withFormat(
      kOutsideCondition, {kx::Value(FileIdArrayOf(encryptedDirsInContext(target)))});
  if (!outside) return {};
  const std::size_t total = keyed.size();
  // The window starts at twice the limit and doubles while too few entries
  // remain; a negative limit takes the whole list at once. Sizes are
  // compared without multiplying past the list's length.
  std::size_t window = total;
  if (limit > 0 && static_cast<std::uint64_t>(limit) <= total / 2) {
    window = static_cast<std::size_t>(limit) * 2;
  }
  KXFileMetaArray kept;
  std::size_t scanned = 0;
  for (;;) {
    for (; scanned < window; ++scanned) {
      if (outside->evaluate(*keyed[scanned].entry)) kept.push_back(keyed[scanned].entry);
    }
    if (window >= total || limit < 0 || kept.size() >= static_cast<std::uint64_t>(limit)) break;
    window = window <= total / 2 ? window * 2 : total;
  }
  setParentNameForResult(kept);
  return kept;
}

std::uint64_t KXEntryReads::getSubNotebookNumOfNotebook(const std::string& fileId) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).getSubNotebookNumOfNotebook(fileId);
    });
  }
  kx::Dictionary query{{kKXQueryConditionKey, "parentId = %@"},
                       {kKXQueryArgumentsKey, kx::Value::array({fileId})},
                       {kKXQueryRetTypeKey, 4}};
  kx::Error error;
  std::optional<KXFetchResult> result = executeSyncQuery("Notebook", query, &error);
  if (!result || result->count < 0) return 0;
  return static_cast<std::uint64_t>(result->count);
}

bool KXEntryReads::fileMeta(const KXFileMetaPtr& entry, const std::string& notebookId) {
  if (!entry) return false;
  if (entry->fileId() == notebookId) return true;
  std::unordered_set<std::string> visited;
  KXFileMetaPtr current = entry;
  while (current) {
    if (current->del() || current->isKindOfEntity("Root")) return false;
    if (current->parentId() == notebookId) return true;
    if (!visited.insert(current->fileId()).second) {
      KXLOG("entry %s lies in a cycle of parent ids", current->fileId().c_str());
      return false;
    }
    current = objectForFileMetaID(current->parentId());
  }
  return false;
}

bool KXEntryReads::encryptedStateForMeta(const KXFileMetaPtr& entry) {
  if (!entry) return false;
  if (entry->encrypted()) return true;
  std::unordered_set<std::string> visited;
  KXFileMetaPtr current = entry;
  while (current) {
    if (current->del() || current->isKindOfEntity("Root")) return false;
    if (current->encrypted()) return true;
    if (!visited.insert(current->fileId()).second) {
      KXLOG("entry %s lies in a cycle of parent ids", current->fileId().c_str());
      return false;
    }
    current = objectForFileMetaID(current->parentId());
  }
  return false;
}
