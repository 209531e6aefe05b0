// KXEntryReads answers every read of entries the store offers: queries,
// single entries and values, the lists the sync engine pushes, folders and
// subtrees, tags, shares and encrypted folders, name paths, duplicate titles
// and note lists. Each read is written once and runs in the context the
// object is bound to:
//  - KXDataClient::reads() is bound to the read queue: every member hops to
//    the read queue, reads in the read context and waits for the answer
//    (inline when already on the read queue). Objects it answers belong to
//    the read context: read their values (any thread may) or hand their
//    object IDs to writes.
//  - KXDataClient::readsIn(context) is bound to one managed object context:
//    every member runs on the caller's queue in that context, which must be
//    the queue that owns it (the write queue inside a write block, where the
//    write context also sees the block's unsaved changes). A null context
//    gives the read-queue binding.
// After closeDB every read answers nothing (empty, nullptr, 0 or nullopt);
// fetches fail with kKXStoreUnavailableError.
//
// Fetches are described by query records (KXQueryInfo) and answer in the
// store's order: there is no ordering key, and callers that need an order
// sort the answer.
//
// Tree walks keep track of what they visited: parent ids that form a cycle
// (a bad move, bad service data) end the walk with a log line instead of
// looping on a store queue.
//
// Thread safety: a reads object holds no state of its own beyond its
// binding; any thread may call a read-queue binding; a context binding is
// called on the queue that owns its context. None holds a lock while it
// waits on a queue.
#ifndef ZN_DATA_KXENTRYREADS_H_
#define ZN_DATA_KXENTRYREADS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Data/client/KXDataClientTypes.h"
#include "Data/store/KXFetchRequest.h"
#include "Data/store/KXManagedObject.h"
#include "platform/Error.h"
#include "platform/Value.h"

class KXDataClient;
class KXManagedObjectContext;
class DbState;
class FileMeta;
class Notebook;
class Resource;
class ResourceEntry;
class Root;
class Tag;
class User;

class KXEntryReads {
 public:
  // Most numbered titles the title check tries.
  static constexpr int kMaxDupTitleTries = 20000;
  // Kinds of filter(): live entries only, all entries, deleted entries only.
  static constexpr int kFilterLive = 0;
  static constexpr int kFilterAll = 1;
  static constexpr int kFilterDeleted = 2;

  // Reads of the client's store, bound to `context` (nullptr: the read
  // queue). The client must outlive the object.
  KXEntryReads(KXDataClient& client, KXManagedObjectContext* context);

  // ---- Queries --------------------------------------------------------------

  // The fetch a query record describes: the entity, limit, offset,
  // condition formatted with the arguments, prefetch key paths, result type
  // and distinct flag. nullopt without "entity", or when the condition does
  // not parse (*error then says why). The model is the program's one model.
  static std::optional<KXFetchRequest> buildQuery(const kx::Dictionary& queryInfo,
                                                  kx::Error* error = nullptr);
  // Runs the query record with `entityName` as its entity. nullopt on
  // failure; when `error` is given it is set and "Query Database Fail" is
  // presented to the user.
  std::optional<KXFetchResult> executeSyncQuery(const std::string& entityName,
                                                const kx::Dictionary& queryInfo, kx::Error* error);
  // Queues the query on the read queue (whatever the binding) and calls
  // back there with the fetch as "result" (none when it failed) and the
  // error. `type` has no effect.
  void executeAsyncQueryForType(int type, const std::string& entityName,
                                const kx::Dictionary& queryInfo, KXDataCallback callback);
  // Runs the block on the read queue and waits; inline when already there.
  // Use it to read values of read-context objects safely.
  void performSyncReadBlock(const std::function<void()>& block);

  // The entity's objects matching the condition (every one without a
  // condition); nullopt and *error on failure.
  std::optional<std::vector<KXManagedObjectPtr>> readFileMetasSyncForQuery(
      const std::optional<std::string>& condition, const kx::Array& arguments,
      const std::string& entityName, kx::Error* error);
  // The query record run for one entity.
  std::optional<KXFetchResult> readNotebookSyncForCondition(const kx::Dictionary& queryInfo,
                                                            kx::Error* error);
  std::optional<KXFetchResult> readNoteSyncForCondition(const kx::Dictionary& queryInfo,
                                                        kx::Error* error);
  std::optional<KXFetchResult> readNormalFileSyncForCondition(const kx::Dictionary& queryInfo,
                                                              kx::Error* error);
  std::optional<KXFetchResult> readResourceSyncForCondition(const kx::Dictionary& queryInfo,
                                                            kx::Error* error);
  // The same, asynchronously (executeAsyncQueryForType).
  void readNotebookForCondition(const kx::Dictionary& queryInfo, KXDataCallback callback);
  void readNoteForCondition(const kx::Dictionary& queryInfo, KXDataCallback callback);
  void readNormalFileForCondition(const kx::Dictionary& queryInfo, KXDataCallback callback);
  void readResourceForCondition(const kx::Dictionary& queryInfo, KXDataCallback callback);
  // Legacy: must not be called; raises NSInternalInconsistencyException.
  [[noreturn]] std::vector<KXManagedObjectPtr> readGroupSyncForCondiction(
      const kx::Dictionary& queryInfo, kx::Error* error);

  // ---- Single entries and values ------------------------------------------

  // The entry with that file id; "ROOT" gives the root entry (the first Root
  // of the store); "" gives nullptr.
  KXFileMetaPtr objectForFileMetaID(const std::string& fileId);
  // The tag with that service id; "" gives nullptr.
  std::shared_ptr<Tag> objectForTagID(const std::string& tagId);
  // The first notebook with that title, in any folder; "" gives nullptr.
  std::shared_ptr<Notebook> objectForBookName(const std::string& name);
  // The resource with that id; "" gives nullptr.
  std::shared_ptr<Resource> objectForResourceID(const std::string& resourceId);
  // The first Root entry of the store, or nullptr; the form with a context
  // reads in that context (nullptr: this binding).
  std::shared_ptr<Root> rootEntry();
  std::shared_ptr<Root> rootEntryWithContext(KXManagedObjectContext* context);
  // The user row (the store holds one); nullptr when none or the fetch
  // failed.
  std::shared_ptr<User> user();
  // The store state row of the key; nullptr for no key, a failed fetch or
  // no row.
  std::shared_ptr<DbState> dbStateObjectWithKey(const std::optional<std::string>& key);

  // The first resource entry with the data hash; nullptr for no hash.
  std::shared_ptr<ResourceEntry> resourceEntryForHashCode(const std::optional<std::string>& hash);

  // The root entry's version; -1 without a root entry.
  std::int64_t baseVersion();
  // Notes in the trash not removed for good (notebooks and files are not
  // counted); 0 when the count fails.
  std::int64_t countOfTrash();
  // The later of the entry's modifyTime and stickTime, each brought to
  // seconds (NSNumberBoolString::dateNumber).
  static std::int64_t getMaxTime(const FileMeta& entry);

  // ---- Lists for the sync engine -----------------------------------------

  // Entries changed here that lie in the user's tree (parent neither "0"
  // nor "-2").
  KXFileMetaArray readForUnpushedFilemeta();
  // Resources changed here that a note holds.
  std::vector<std::shared_ptr<Resource>> readForUnpushedResources();
  // Notes whose trash operation waits to be pushed.
  KXFileMetaArray readForUnpushedTrashOperation();

  // ---- Folders and subtrees ------------------------------------------------

  // Direct children of the parent that are not removed for good, in store
  // order. A predicate is joined to that condition with AND (the predicate
  // in brackets); `options` are the arguments of its %@. "" (or no ids)
  // answers an empty array.
  KXFileMetaArray objectsForParentId(const std::string& parentId, const std::string& entityName,
                                     const std::optional<std::string>& predicate,
                                     const kx::Array& options);
  KXFileMetaArray objectsForParentIds(const std::vector<std::string>& parentIds,
                                      const std::string& entityName,
                                      const std::optional<std::string>& predicate,
                                      const kx::Array& options);
  KXFileMetaArray objectsForParentId(const std::string& parentId, const std::string& entityName);
  // The rows of objectsForParentId(parentId, "FileMeta"): the same entries
  // in the same order, read as plain values without making an object per
  // child (KXManagedObjectContext::fetchRows); the root, whose object fixes
  // some of its values when loaded, is answered by its object.
  std::vector<KXStoredRow> rowsForParentId(const std::string& parentId);
  // Every entry below a notebook. Under the Root entry: one fetch of the
  // whole store without trashed entries and entries whose parent is "-2"
  // (the Root entry itself is among the answers, in store order).
  // Under another notebook: breadth first, level by level (each level in
  // store order), with only the removed-for-good entries left out, so a
  // trashed notebook still lists its trashed children; the walk goes on
  // through the notebooks it finds (none when the entity or predicate leaves
  // notebooks out). Empty for nullptr or a parent that is not a notebook.
  KXFileMetaArray objectsUnderParent(const KXManagedObjectPtr& parent,
                                     const std::string& entityName,
                                     const std::optional<std::string>& predicate,
                                     const kx::Array& options);
  // The FileMeta subtree of the notebook with that file id; empty when the
  // id is not a stored notebook.
  KXFileMetaArray objectsUnderFileId(const std::string& fileId);
  // The number of notebooks whose parent is the notebook with that file id,
  // deleted ones included. A failed count is presented ("Query Database
  // Fail") and answers 0.
  std::uint64_t getSubNotebookNumOfNotebook(const std::string& fileId);

  // ---- Tags, shares, encrypted folders, names -------------------------------

  // Live entries that are not folders whose comma-separated tags hold the id
  // as one element ("12" does not find "123"); without includeEncrypted the
  // entries of encrypted folders are left out. "" answers an empty array.
  KXFileMetaArray objectsWithTagId(const std::string& tagId, bool includeEncrypted);
  // Entries the user shares (shareType above 0, not in the trash); the form
  // with a context reads in that context (nullptr: this binding).
  KXFileMetaArray myshareFilemetas();
  KXFileMetaArray myshareFilemetasWithContext(KXManagedObjectContext* context);
  // The encrypted notebooks of the root's tree and every notebook beneath
  // each of them (a notebook beneath two of them is listed twice), read in
  // the context (nullptr: this binding).
  KXFileMetaArray encryptedDirsInContext(KXManagedObjectContext* context);
  // Sets each entry's parent name to its parent notebook's title (entries
  // whose parent id is shorter than 3 characters are skipped; a parent not
  // found in the root's tree is logged).
  void setParentNameForResult(const KXFileMetaArray& entries);
  // Of the given entries (search hits): first, those that lie in the folder
  // (the Root: all of them; a notebook: its subtree; "-2": those with that
  // parent id; another id: those among the 1000 most recent entries),
  // without trashed ones and those under "-2"; second, those of the first
  // that lie in encrypted folders.
  std::pair<KXFileMetaArray, KXFileMetaArray> objectsFilteredUnderFileId(
      const std::string& folderId, const KXFileMetaArray& originObjects);
  // With deleted NO the recent list, with YES the trash (store order, no
  // parent names), cut to `limit` entries; a negative limit means no limit.
  KXFileMetaArray recentObjectsWithLimit(std::int64_t limit, bool deleted);
  // The recent list before cutting: live entries with a transaction,
  // pinned first (latest getMaxTime first), then by transactionTime
  // (latest first, then the greater fileId), without entries of encrypted
  // folders, from a window of the sorted list that doubles from 2 x limit
  // until `limit` entries remain or the window covers the list; parent names
  // set. May hold more than `limit` entries.
  KXFileMetaArray recentObjectsNotDeletedWithLimit(std::int64_t limit);
  // Whether the entry is the folder or lies below it through live entries
  // (an entry in the trash lies in no folder).
  bool fileMeta(const KXFileMetaPtr& entry, const std::string& notebookId);
  // Whether the entry or a live folder above it is encrypted.
  bool encryptedStateForMeta(const KXFileMetaPtr& entry);

  // ---- Name paths -----------------------------------------------------------

  // The folder path of a folder id ("/A/B" for B in A under the root): ""
  // for nullopt or "", "/" for "/", the root, an unknown id.
  std::string namePathFromNotebookId(const std::optional<std::string>& notebookId);
  // How far a name path ("/A/B", titles of folders below the root) leads
  // from the root through live folders: the id of the deepest folder found
  // (the root's for "", "/" or when the first title is not found; "" without
  // a root entry), how many titles were found, and the path's titles.
  struct NamePathResolution {
    std::string lastParentId;
    std::int64_t found = 0;
    std::vector<std::string> components;
  };
  NamePathResolution lastParentIdFromNamePath(const std::string& namePath);

  // ---- Duplicate titles ------------------------------------------------------

  // Whether a live entry of the class (entity "Note", "NormalFile",
  // "Notebook") other than `overLookFileId` already carries the title in the
  // folder, and if so the first free numbered title: "Plan.note" ->
  // "Plan(1).note" for notes and files (the number goes before the
  // extension; "README" -> "README(1)."), "Travel" -> "Travel(1)" for
  // notebooks; a title that carries a number continues from it ("Plan(7)"
  // -> "Plan(8)"). The stem is cut so that stem and number take at most 80
  // UTF-16 units. At most kMaxDupTitleTries titles are tried. A missing
  // title is "emptyTitle"; a negative parent id (hidden folders) is never
  // looked up; a missing parent id is a caller's mistake (logged, answered
  // as free). The read-queue binding is callable from the write queue; bound
  // to the write context inside a write block, a title taken earlier in the
  // same unit counts as taken. Answers a KXDupTitleInfo.
  kx::Dictionary titleOfDuplicateTitle(const std::optional<std::string>& title,
                                       const std::optional<std::string>& parentId,
                                       const std::optional<std::string>& overLookFileId,
                                       const std::string& className);
  // The square-bracket scheme over the live notebooks of every folder whose
  // title is the title, alone or followed by "[n]".
  std::string titleOfDuplicateNotebookTitle(const std::string& title);
  // The square-bracket scheme: the title itself for no titles; the title
  // followed by "[max + 1]" when any of them lacks a "[n]"; else the title
  // cut before its first "[".
  static std::string title(const std::string& title, const std::vector<std::string>& titles);
  // Legacy: must not be called; raises NSInternalInconsistencyException.
  [[noreturn]] std::string titleOfDuplicateNoteGroupTitle(const std::string& title);

  // ---- Note lists and search -------------------------------------------------

  // Asks the searcher for the keyword; the hits (file ids in relevance
  // order) are looked up on the read queue, entries missing or deleted left
  // out, each kept entry given its parent's name (setParentNameForResult).
  // The callback gets the entries as the fetch's objects (objects of the
  // read context), with no error, on the default-priority global queue; no
  // hits give an empty array. A failed search is logged and answers an empty
  // array too.
  void searchNotesWithKeyword(const std::string& keyword, KXDataCallback callback);
  // Whether a list of that kind shows an entry with that deleted flag.
  static bool filter(int kind, bool deleted);
  // The notes the filter keeps (and not removed for good), grouped by the
  // month of their modifyTime ("2019-03", local time), groups in ascending
  // month order, notes in input order: [{"content": {"title": "<month>-<n>",
  // "sort": month}, "children": [{"content": note item}, ...]}, ...]. Reads
  // on the caller's queue: the notes must belong to its context.
  kx::Array formatNoteList(const KXFileMetaArray& notes, int kind);
  // The metas whose parent folder is not encrypted (a parent not found
  // counts as not encrypted), in order.
  KXFileMetaArray filterEncryptedNotebook(const KXFileMetaArray& metas);
  // Kept for its callers: does nothing and never calls back.
  void contentForNotebookList(const std::string& folderId, KXDataCallback callback) {
    (void)folderId;
    (void)callback;
  }

 private:
  // fn(context) in the bound context, or on the read queue with the read
  // context; a default answer after closeDB.
  template <class Fn>
  auto onReadQueue(Fn&& fn) -> decltype(fn(static_cast<KXManagedObjectContext*>(nullptr)));
  // The same reads bound to `context`.
  KXEntryReads in(KXManagedObjectContext* context) const { return KXEntryReads(*client_, context); }
  std::optional<KXFetchResult> readSyncForEntity(const char* entityName,
                                                 const kx::Dictionary& queryInfo, kx::Error* error);

  KXDataClient* client_;
  KXManagedObjectContext* bound_;  // nullptr: the read queue
};

#endif  // ZN_DATA_KXENTRYREADS_H_
