// KXDataClient is the one door through which the sync engine, the local web
// service, the web view host and the shell read and write the note store. It
// sits over the data context (KXDataContext: a write context on the write
// queue "com.zarvel.note.db.execute", a read context on the read queue
// "com.zarvel.note.db.read") and over the full-text index and search proxies.
//
// Queues, the contract every member follows:
//  - A getter without a context argument runs on the read queue with the
//    read context and waits for the answer; called on the read queue it runs
//    inline. Objects it answers belong to the read context: read their
//    values (any thread may) or hand their object IDs to writes.
//  - Its twin that takes a `KXManagedObjectContext*` runs on the caller's
//    queue in that context (nullptr: the read context); call it on the queue
//    that owns the context (the write queue inside a write block).
//  - Writes are blocks queued on the write queue with the write context;
//    their completions run there. Nothing is saved until a caller asks.
//
// Fetches are described by query records (KXQueryInfo, a dictionary with the
// keys below) and answer in the store's order: there is no ordering key, and
// callers that need an order sort the answer.
//
// Reserved file entry values: file id "ROOT" (the account's root entry),
// parent id "0" (above the root), "1" (the trash) and "-2" (entries kept out
// of the user's tree: never pushed, left out of whole-store listings).
//
// Tree walks keep track of what they visited: parent ids that form a cycle
// (a bad move, bad service data) end the walk with a log line instead of
// looping on a store queue.
//
// Creating the client (defaultDataClient(), or the constructor in tests)
// configures the search context with this client (index folder of the
// current user, the shipped stop-word file, one thread), makes its own index
// proxy, takes the shared search proxy, installs the foundation layer's
// root-entry hook (KXHooks) and the crash logger's user record provider, and
// runs the schema conversion step (dataConvert) before it returns.
//
// Thread safety: every member may be called from any thread, within the
// queue rules above. The data context reference is guarded by mu_; the sync
// state properties are atomics or guarded by mu_. The client holds no lock
// while it waits on a queue.
#ifndef ZN_DATA_KXDATACLIENT_H_
#define ZN_DATA_KXDATACLIENT_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Data/KXFetchRequest.h"
#include "Data/KXManagedObject.h"
#include "Data/KXObjectID.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/SerialQueue.h"
#include "platform/Value.h"
#include "search/KXSContextConfigProtocol.h"

class KXDataContext;
class KXIndexFeed;
class KXManagedObjectContext;
class KXSIndexProxy;
class KXSSearchProxy;
class FailedInfo;
class FileMeta;
class Notebook;
class OperationLog;
class PenEntry;
class Resource;
class ResourceEntry;
class DbState;
class User;
class Root;
class Statistic;
class Tag;

// Keys of a query record (KXQueryInfo). Every key is optional except
// "entity".
inline constexpr const char* kKXQueryEntityKey = "entity";        // entity name
inline constexpr const char* kKXQueryConditionKey = "condition";  // condition format
inline constexpr const char* kKXQueryArgumentsKey = "arguments";  // array for its %@
inline constexpr const char* kKXQueryOffsetKey = "offset";        // number
inline constexpr const char* kKXQueryLimitKey = "limit";          // number
// 0 objects, 1 object IDs, 2 dictionaries, 4 count.
inline constexpr const char* kKXQueryRetTypeKey = "retType";
inline constexpr const char* kKXQueryPrefetchKey = "prefetch";  // array of key paths
inline constexpr const char* kKXQueryDistinctKey = "distinct";  // Bool

// Keys of a relation record (KXRelationInfo): inside an insert item, or the
// "addRelation" dictionary of an update item, they name an existing object
// to link, found by the value of one of its attributes or created.
inline constexpr const char* kKXRelationObjectKey = "relationObject";  // entity looked in
inline constexpr const char* kKXRelationNameKey = "relationName";      // attribute compared
inline constexpr const char* kKXRelationValueKey = "relationValue";    // value it must equal
inline constexpr const char* kKXRelationDefaultKey = "default";        // value tried second
// Bool; NO forbids creating the object. Absent counts as YES.
inline constexpr const char* kKXRelationAutoCreateKey = "relationAutoCreate";
// Insert item that creates the object when none is found.
inline constexpr const char* kKXRelationAutoCreateInfoKey = "relationAutoCreateInfo";
// Relationship of the inserted or updated object that receives the object.
inline constexpr const char* kKXRelationKeyKey = "relationKey";

// Keys of the title check's answer (KXDupTitleInfo).
inline constexpr const char* kKXDupTitleIsDupKey = "isDup";          // Bool
inline constexpr const char* kKXDupTitleNewTitleKey = "newTitle";    // text
inline constexpr const char* kKXDupTitleDupFileIdKey = "dupFileId";  // text, "" when free

// The key of the outcome in a result record.
inline constexpr const char* kKXResultKey = "result";

// What a completion of the client receives (KXResultInfo): the outcome that
// the design keeps under "result". hasResult is false when there is none
// (a failed read); otherwise the member that the operation names holds it:
// `fetch` for reads and inserts (objects, or the object IDs, dictionaries or
// count that the query asked for), `value` for plain outcomes (a save's
// success as a Bool).
struct KXResultInfo {
  bool hasResult = false;
  KXFetchResult fetch;
  kx::Value value;

  static KXResultInfo none() { return {}; }
  static KXResultInfo withFetch(KXFetchResult result) {
    KXResultInfo info;
    info.hasResult = true;
    info.fetch = std::move(result);
    return info;
  }
  static KXResultInfo withObjects(std::vector<KXManagedObjectPtr> objects) {
    KXFetchResult result;
    result.count = static_cast<std::int64_t>(objects.size());
    result.objects = std::move(objects);
    return withFetch(std::move(result));
  }
  static KXResultInfo withValue(kx::Value outcome) {
    KXResultInfo info;
    info.hasResult = true;
    info.value = std::move(outcome);
    return info;
  }
};

// The completion of the client's writes and asynchronous reads.
using KXDataCallback = std::function<void(const KXResultInfo& info, const kx::Error& error)>;

using KXFileMetaPtr = std::shared_ptr<FileMeta>;
using KXFileMetaArray = std::vector<KXFileMetaPtr>;

class KXDataClient : public KXSContextConfigProtocol {
 public:
  // Reserved file entry values.
  static constexpr const char* kRootFileId = "ROOT";
  static constexpr const char* kAboveRootParentId = "0";
  static constexpr const char* kTrashParentId = "1";
  static constexpr const char* kHiddenParentId = "-2";
  // Most numbered titles the title check tries.
  static constexpr int kMaxDupTitleTries = 20000;

  // ---- Frame ----------------------------------------------------------------

  // The program's client over KXDataContext::defaultContext(), created on the
  // first call (thread-safely) and never freed.
  static KXDataClient& defaultDataClient();

  // A client over the given data context (tests make their own); it does
  // the same set-up as the program's.
  explicit KXDataClient(std::shared_ptr<KXDataContext> context);
  ~KXDataClient() override;
  KXDataClient(const KXDataClient&) = delete;
  KXDataClient& operator=(const KXDataClient&) = delete;

  // The search context's configuration: the current user's "Index" folder,
  // the shipped stop-word file, one thread.
  std::optional<std::uint8_t> threadCount() const override { return 1; }
  std::string indexDirectory() const override;
  std::string indexStopWordsFile() const override;

  // ---- Data version conversion (KXDataClientConvert.cpp) --------------------

  // The data version this client writes (the "dbVersion" state row).
  static constexpr std::int64_t kCurrentDbVersion = 10;
  // Stored versions in [kFirstTooNewDbVersion, kTooNewDbVersionEnd) were
  // written by a newer client; from kTooNewDbVersionEnd on they count as
  // current.
  static constexpr std::int64_t kFirstTooNewDbVersion = 11;
  static constexpr std::int64_t kTooNewDbVersionEnd = 1000;
  // The application's download page, below the service's address.
  static constexpr const char* kDownloadPagePath = "/download";

  // Brings the stored data up to the current data version; the constructor
  // runs it before the client is used (a client without a store skips it). Called on the caller's
  // thread; it reads on the read queue and queues every change on the write queue, so writes queued
  // after it see converted data.
  //  - A user row whose userId differs (ignoring case) from the session's
  //    user is logged and presented ("Query Database Fail"); it goes on.
  //  - Versions 10 and >= 1000: true, nothing changes.
  //  - Versions 11..999 (a newer client's store): nothing is written; the
  //    main queue hides the main window and asks (KXUIPort) whether to update
  //    the application (its download page is opened) or to stay on this
  //    version and drop the local data (the user's data directory is removed
  //    through the file manager, which keeps the removal inside the
  //    application data root); then the program quits. Answers false.
  //  - Versions <= 9: one step per version up to 9 (dbConvertFrom), then a
  //    save; true. Each step saves its conversion together with the version
  //    it leads to; once a step's save fails the later steps of the run are
  //    skipped, so the stored version never claims a conversion that is not
  //    in the store, and the next start converts again from there.
  bool dataConvert();
  // Queues one step on the write queue: the conversion of the version
  // (1: convertFrom1To2, 2: convertFrom2To4, others none) and the version it
  // leads to (0 -> 1, 1 -> 2, 2 -> 4, 4..9 -> v + 1; 3 and negatives keep
  // theirs), saved together.
  void dbConvertFrom(std::int64_t version);
  // In the write context, on the write queue; nothing saved. False (and
  // *error) when the entries cannot be read; then nothing was changed.
  //  1 -> 2: "deleted" is recomputed on every entry but the root: YES for
  //  entries in the trash or removed on the service, and for the whole
  //  subtree of such a notebook (whose entries also become remoteRemoved
  //  when the notebook is).
  [[nodiscard]] bool convertFrom1To2(KXManagedObjectContext* context, kx::Error* error);
  //  2 -> 4: "del" takes the value of "deleted" on every entry but the root
  //  (entries without a "deleted" value keep theirs).
  [[nodiscard]] bool convertFrom2To4(KXManagedObjectContext* context, kx::Error* error);

  // Drops the reference to the data context (at the end of a sign-out).
  // Afterwards getters answer nothing, fetches fail with
  // kKXStoreUnavailableError, and writes do nothing.
  void closeDB();
  // The data context, or nullptr after closeDB.
  std::shared_ptr<KXDataContext> dataContext() const;

  // The indexer made for this client (nullptr when the index folder or the
  // stop-word file was missing) and the process's searcher.
  KXSIndexProxy* ftsIndexer() const { return ftsIndexer_.get(); }
  KXSSearchProxy& ftsSearcher() const { return *ftsSearcher_; }

  // State the sync engine keeps here; no logic of the client's own.
  bool isFirstLoginDownloading() const { return isFirstLoginDownloading_.load(); }
  void setIsFirstLoginDownloading(bool value) { isFirstLoginDownloading_.store(value); }
  bool isFullPulling() const { return isFullPulling_.load(); }
  void setIsFullPulling(bool value) { isFullPulling_.store(value); }
  std::int64_t tempVersionForFirstDownLoading() const {
    return tempVersionForFirstDownLoading_.load();
  }
  void setTempVersionForFirstDownLoading(std::int64_t value) {
    tempVersionForFirstDownLoading_.store(value);
  }
  kx::Value currentSessionVersion() const;
  void setCurrentSessionVersion(kx::Value version);

  // ---- Query core (on the caller's queue) -----------------------------------

  // The fetch a query record describes: the entity, limit, offset,
  // condition formatted with the arguments, prefetch key paths, result type
  // and distinct flag. nullopt without "entity", or when the condition does
  // not parse (*error then says why). The model is the program's one model.
  static std::optional<KXFetchRequest> buildQuery(const kx::Dictionary& queryInfo,
                                                  kx::Error* error = nullptr);

  // Runs the query record with `entityName` as its entity in `context` (the
  // read context when nullptr), which must belong to the calling queue.
  // nullopt on failure; when `error` is given it is set and "Query Database
  // Fail" is presented to the user.
  std::optional<KXFetchResult> executeSyncQuery(const std::string& entityName,
                                                const kx::Dictionary& queryInfo,
                                                KXManagedObjectContext* context, kx::Error* error);

  // Queues the query on the read queue and calls back there with the fetch
  // as "result" (none when it failed) and the error. `type` has no effect.
  void executeAsyncQueryForType(int type, const std::string& entityName,
                                const kx::Dictionary& queryInfo, KXDataCallback callback);

  // Runs the block on the read queue and waits; inline when already there.
  // Use it to read values of read-context objects safely.
  void performSyncReadBlock(const std::function<void()>& block);

  // The object that a relation record names (KXRelationInfo keys above), in
  // `context` on its queue: the first object of "relationObject" whose
  // attribute "relationName" equals "relationValue", else "default"; else,
  // unless "relationAutoCreate" is NO, one made from
  // "relationAutoCreateInfo" by the generic insert. "relationName" must be
  // an attribute of that entity in the model; anything else is refused
  // (logged, nullptr). nullptr when nothing is found or made.
  KXManagedObjectPtr relationObjectSync(const kx::Dictionary& relationInfo,
                                        KXManagedObjectContext* context);

  // The generic insert, in `context` on its queue: one object per insert
  // item, in item order. For "FileMeta" each item chooses its kind ("dir"
  // true: Notebook; else a non-zero "domain": NormalFile; else Note). A file
  // entry whose "fileId" is stored already is skipped; one whose title is
  // taken in its folder by a sibling of its kind gets the title check's new
  // title and localModified YES. Tags get the current time as dateCreated
  // and dateUpdated and are marked created here. A relation record in the
  // item links the object it names under "relationKey". Every other key
  // that names a property of the entity is copied. The callback (when
  // given) receives the inserted objects; nothing is saved.
  std::vector<KXManagedObjectPtr> addManagedObjectsSync(const std::string& entityName,
                                                        KXManagedObjectContext* context,
                                                        const kx::Array& items,
                                                        const KXDataCallback& callback);

  // ---- Writing entries (KXDataClientInserts.cpp, KXDataClientEdits.cpp) ----------
  //
  // The wrappers below queue one block on the write queue, call the generic
  // body there with the write context, and call back on the write queue.
  // Nothing is saved: the caller saves. Result records: inserts answer the
  // objects (fetch.objects), deletes and modifies the object IDs as an
  // array of KXObjectID::toValue (value).

  // Insert items, with their entity: "FileMeta" (each item chooses its kind),
  // "Root", "Notebook", "Note", "NormalFile", "Tag". `local` changes nothing.
  void addFileMetas(const kx::Array& items, bool local, KXDataCallback callback);
  void addRoot(const kx::Array& items, bool local, KXDataCallback callback);
  void addNotebooks(const kx::Array& items, bool local, KXDataCallback callback);
  void addNotes(const kx::Array& items, bool local, KXDataCallback callback);
  void addNormalFiles(const kx::Array& items, bool local, KXDataCallback callback);
  void addTags(const kx::Array& items, KXDataCallback callback);
  // Sets the version of the first Root entry, when there is one.
  void updateRootVersion(std::int64_t version);
  // Each queues an empty write block: resource entries are written with
  // their resources.
  void updateResourceEntry(const KXManagedObjectPtr& entry);
  void addResourceEntry(const KXManagedObjectPtr& entry);

  // Deletes by object ID, in `context` on its queue. A live file entry goes
  // to the trash (parent "1", del YES, its former folder path in namePath,
  // localModified YES); one already in the trash is purged (remoteRemoved,
  // trashModifyData "trucate", localTrashOp) and, when the entity is
  // "Note", its document leaves the full-text index. A notebook takes its
  // whole subtree along (children keep their parent ids). A tag is marked
  // removed and stripped from the entries that carry it, and deleted by a
  // second delete. Any other object is deleted. An ID that names no object
  // is skipped with a log line. Answers (and calls back with) the IDs given.
  std::vector<KXObjectID> deleteManagedObjectSync(const std::string& entityName,
                                                  KXManagedObjectContext* context,
                                                  const std::vector<KXObjectID>& objectIDs,
                                                  const KXDataCallback& callback);
  void deleteNotebooks(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);
  void deleteNotes(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);
  void deleteNormalFiles(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);
  void deleteResources(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);
  void deleteTags(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);

  // Keys of a modify item (KXModifyInfo).
  static constexpr const char* kModifyIdentityKey = "identity";        // KXObjectID::toValue
  static constexpr const char* kModifyFieldsKey = "fields";            // dictionary
  static constexpr const char* kModifyContentKey = "modifyContent";    // plain text
  static constexpr const char* kModifyAddRelationKey = "addRelation";  // relation record
  static constexpr const char* kModifyVersionKey = "version";          // number

  // Applies modify items in `context` on its queue. The "fields" values of
  // the properties of `entityName` are set through the store's coercion; a
  // top-level "version" sets the object's version. A file entry's requested
  // title that a sibling carries becomes the title check's new title (with
  // localModified YES); a notebook's or file's changed title or new content
  // is re-indexed; a tag is stamped dateUpdated and isLocalModified. An
  // item is applied whole or not at all: an item without identity, naming
  // no stored object, or with a value the store refuses is left out of the
  // answer, and the callback's error says which items failed and why.
  // Answers the IDs of the items applied, in item order.
  std::vector<KXObjectID> modifyManagedObjectSync(const std::string& entityName,
                                                  KXManagedObjectContext* context,
                                                  const kx::Array& infos,
                                                  const KXDataCallback& callback);
  void modifyFileMetas(const kx::Array& infos, KXDataCallback callback);
  void modifyNotebooks(const kx::Array& infos, KXDataCallback callback);
  void modifyNotes(const kx::Array& infos, KXDataCallback callback);
  void modifyNormalFiles(const kx::Array& infos, KXDataCallback callback);
  void modifyTags(const kx::Array& infos, KXDataCallback callback);
  void modifyResources(const kx::Array& infos, KXDataCallback callback);

  // Remove rows outright, without telling the service, in a write block.
  // Items are dictionaries with "fileId"; a file id not stored deletes
  // nothing. A notebook goes with every entry beneath it (those go even
  // when the notebook itself is not stored).
  void eraseNotes(const kx::Array& items);
  void eraseNormalFiles(const kx::Array& items);
  void eraseNotebooks(const kx::Array& items);
  // Each object by its kind (note, notebook, other file); others skipped.
  void eraseObjects(const std::vector<KXManagedObjectPtr>& objects);

  // The folder path of a folder id ("/A/B" for B in A under the root): ""
  // for nullopt or "", "/" for "/", the root, an unknown id.
  std::string namePathFromNotebookId(const std::optional<std::string>& notebookId,
                                     KXManagedObjectContext* context);

  // ---- Index feeding and tags (KXDataClientIndexing.cpp) --------------------------

  // Hands documents ({"docID": file id, "docContent": text}; items without
  // an id or with empty text are left out) to this client's indexer in one
  // batch, without making the caller wait; each document the indexer
  // reports as indexed gets hasIndex YES on the write queue (not saved),
  // and each one it refused loses hasIndex, so the rebuild tries it again.
  // `done` (when given) runs on the write queue after those flags are set.
  //
  // The index follows the store. Called from a write block (on the write
  // queue), the batch describes changes of the write context's open unit:
  // it is handed over only after the save that holds the unit committed it,
  // and dropped (`done` still runs) when that unit is rolled back. Called
  // from anywhere else, it is handed over at once. Batches handed over are
  // written in the order they were handed over, and a purge's removal after
  // them (KXIndexFeed): while one batch is with the indexer, those that
  // follow go together as the next, a note's latest text winning.
  void indexNotes(const kx::Array& docInfos, std::function<void()> done = nullptr);
  // Hands this client to the search context again and flips its reload
  // flag, so that the indexer and the searcher take the configuration anew.
  void reloadIndexConfig();
  // Not implemented: raises "KXMethodNotImplemented".
  [[noreturn]] std::string contentForIndexContent(const std::string& content);
  // Removes the tag id from the comma-separated tags of every entry that
  // carries it (read now on the read queue, written in a write block).
  void updateFileMetaForDeletedTagId(const std::string& tagId);

  // ---- Tags (KXDataClientTags.cpp) ------------------------------------------------

  // Name given to a tag that comes without one.
  static constexpr const char* kNewTagName = "\u65b0\u5efa\u6807\u7b7e";
  // Numbered names the tag name check tries before it gives up (each one
  // taken by a live tag; with that many live tags a free name is always
  // found first). Stops only a runaway loop.
  static constexpr int kMaxDupTagNameTries = 1000000;

  // Takes one tag of the service ("tagId", "name", "pTagId", "dateCreated",
  // "dateUpdated"): a stored tag whose dateUpdated is not older is left as
  // it is; otherwise the tag is made or updated with a name no other live
  // tag carries (checkDupTagName), marked modified here when that name is
  // not the service's, and not created or removed here. One write block,
  // then a save queued behind it. A tag without "tagId" is ignored.
  void createOrUpdateTag(const kx::Dictionary& tag);
  // After a push of the tag of "tagId": clears its isLocalCreated,
  // isLocalModified and isLocalRemoved in a write block, then saves.
  void updateTagLocalProps(const kx::Dictionary& info);
  // The query record run with entity "Tag" on the read queue; nullopt and
  // *error on failure (presented as for every failed query).
  std::optional<std::vector<std::shared_ptr<Tag>>> readTagSyncForCondition(
      const kx::Dictionary& queryInfo, kx::Error* error);
  // Not implemented: raises "KXMethodNotImplemented".
  [[noreturn]] void readTagForCondition(const kx::Dictionary& queryInfo, KXDataCallback callback);
  // A name for the tag of that id that no other live tag (not removed here,
  // with a tag id) carries: the name itself ("新建标签" when empty) or
  // the first free numbered form ("Work" -> "Work(1)", "Work(3)" ->
  // "Work(4)"; stem and number at most 80 UTF-16 units). Reads the live
  // tags on the read queue and waits. The twin reads them in `context` on
  // its queue (the write context also sees tags not saved yet).
  std::string checkDupTagName(const std::string& name, const std::string& tagId);
  std::string checkDupTagName(const std::string& name, const std::string& tagId,
                              KXManagedObjectContext* context);

  // ---- Read wrappers ----------------------------------------------------------

  // The entity's objects matching the condition (every one without a
  // condition), on the read queue; nullopt and *error on failure.
  std::optional<std::vector<KXManagedObjectPtr>> readFileMetasSyncForQuery(
      const std::optional<std::string>& condition, const kx::Array& arguments,
      const std::string& entityName, kx::Error* error);
  // The query record run for one entity on the read queue.
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

  // ---- Single entries -----------------------------------------------------------

  // The entry with that file id; "ROOT" gives the root entry (the first Root
  // of the store); "" gives nullptr.
  KXFileMetaPtr objectForFileMetaID(const std::string& fileId);
  KXFileMetaPtr objectForFileMetaID(const std::string& fileId, KXManagedObjectContext* context);
  // The tag with that service id; "" gives nullptr.
  std::shared_ptr<Tag> objectForTagID(const std::string& tagId);
  std::shared_ptr<Tag> objectForTagID(const std::string& tagId, KXManagedObjectContext* context);
  // The first notebook with that title, in any folder; the form without a
  // context answers nullptr for "".
  std::shared_ptr<Notebook> objectForBookName(const std::string& name);
  std::shared_ptr<Notebook> objectForBookName(const std::string& name,
                                              KXManagedObjectContext* context);
  // The resource with that id; "" gives nullptr.
  std::shared_ptr<Resource> objectForResourceID(const std::string& resourceId);
  std::shared_ptr<Resource> objectForResourceID(const std::string& resourceId,
                                                KXManagedObjectContext* context);
  // The first Root entry of the store, or nullptr.
  std::shared_ptr<Root> rootEntry();
  std::shared_ptr<Root> rootEntryWithContext(KXManagedObjectContext* context);

  // ---- Values -------------------------------------------------------------------

  // The root entry's version; -1 without a root entry.
  std::int64_t baseVersion();
  std::int64_t baseVersion(KXManagedObjectContext* context);
  // Notes in the trash not removed for good (notebooks and files are not
  // counted); 0 when the count fails.
  std::int64_t countOfTrash();
  std::int64_t countOfTrash(KXManagedObjectContext* context);
  // The later of the entry's modifyTime and stickTime, each brought to
  // seconds (NSNumberBoolString::dateNumber).
  static std::int64_t getMaxTime(const FileMeta& entry);

  // ---- Lists for the sync engine (read queue) --------------------------------------

  // Entries changed here that lie in the user's tree (parent neither "0"
  // nor "-2").
  KXFileMetaArray readForUnpushedFilemeta();
  // Resources changed here that a note holds.
  std::vector<std::shared_ptr<Resource>> readForUnpushedResources();
  // Notes whose trash operation waits to be pushed.
  KXFileMetaArray readForUnpushedTrashOperation();

  // ---- Folders and subtrees ---------------------------------------------------------

  // Direct children of the parent that are not removed for good, in store
  // order. A predicate is joined to that condition with AND (the predicate
  // in brackets); `options` are the arguments of its %@. "" (or no ids)
  // answers an empty array.
  KXFileMetaArray objectsForParentId(const std::string& parentId, const std::string& entityName,
                                     const std::optional<std::string>& predicate,
                                     const kx::Array& options, KXManagedObjectContext* context);
  KXFileMetaArray objectsForParentIds(const std::vector<std::string>& parentIds,
                                      const std::string& entityName,
                                      const std::optional<std::string>& predicate,
                                      const kx::Array& options, KXManagedObjectContext* context);
  KXFileMetaArray objectsForParentId(const std::string& parentId, const std::string& entityName,
                                     KXManagedObjectContext* context);
  KXFileMetaArray objectsForParentId(const std::string& parentId, const std::string& entityName);
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
                                     const kx::Array& options, KXManagedObjectContext* context);
  // The FileMeta subtree of the notebook with that file id; empty when the
  // id is not a stored notebook.
  KXFileMetaArray objectsUnderFileId(const std::string& fileId, KXManagedObjectContext* context);
  KXFileMetaArray objectsUnderFileId(const std::string& fileId);

  // ---- Tags, shares, encrypted folders, names ---------------------------------------

  // Live entries that are not folders whose comma-separated tags hold the id
  // as one element ("12" does not find "123"); without includeEncrypted the
  // entries of encrypted folders are left out. "" answers an empty array.
  KXFileMetaArray objectsWithTagId(const std::string& tagId, bool includeEncrypted,
                                   KXManagedObjectContext* context);
  KXFileMetaArray objectsWithTagId(const std::string& tagId, bool includeEncrypted);
  // Entries the user shares (shareType above 0, not in the trash).
  KXFileMetaArray myshareFilemetasWithContext(KXManagedObjectContext* context);
  KXFileMetaArray myshareFilemetas();
  // The encrypted notebooks of the root's tree and every notebook beneath
  // each of them (a notebook beneath two of them is listed twice).
  KXFileMetaArray encryptedDirsInContext(KXManagedObjectContext* context);
  // Sets each entry's parent name to its parent notebook's title (entries
  // whose parent id is shorter than 3 characters are skipped; a parent not
  // found in the root's tree is logged).
  void setParentNameForResult(const KXFileMetaArray& entries, KXManagedObjectContext* context);
  void setParentNameForResult(const KXFileMetaArray& entries);
  // Of the given entries (search hits): first, those that lie in the folder
  // (the Root: all of them; a notebook: its subtree; "-2": those with that
  // parent id; another id: those among the 1000 most recent entries),
  // without trashed ones and those under "-2"; second, those of the first
  // that lie in encrypted folders. Reads on the read queue.
  std::pair<KXFileMetaArray, KXFileMetaArray> objectsFilteredUnderFileId(
      const std::string& folderId, const KXFileMetaArray& originObjects);

  // With deleted NO the recent list, with YES the trash (store order, no
  // parent names), cut to `limit` entries; a negative limit means no limit.
  KXFileMetaArray recentObjectsWithLimit(std::int64_t limit, bool deleted,
                                         KXManagedObjectContext* context);
  KXFileMetaArray recentObjectsWithLimit(std::int64_t limit, bool deleted);
  // The recent list before cutting: live entries with a transaction,
  // pinned first (latest getMaxTime first), then by transactionTime
  // (latest first, then the greater fileId), without entries of encrypted
  // folders, from a window of the sorted list that doubles from 2 x limit
  // until `limit` entries remain or the window covers the list; parent names
  // set. May hold more than `limit` entries.
  KXFileMetaArray recentObjectsNotDeletedWithLimit(std::int64_t limit,
                                                   KXManagedObjectContext* context);

  // ---- Duplicate titles -------------------------------------------------------------

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
  // as free). Runs on the read queue and waits (callable from the write
  // queue). Answers a KXDupTitleInfo.
  kx::Dictionary titleOfDuplicateTitle(const std::optional<std::string>& title,
                                       const std::optional<std::string>& parentId,
                                       const std::optional<std::string>& overLookFileId,
                                       const std::string& className);
  // The same question asked in `context` on its own queue, without a hop:
  // from a write block, the write context also sees the block's unsaved
  // changes (a title taken earlier in the same unit counts as taken). A
  // null context asks the read queue, as above.
  kx::Dictionary titleOfDuplicateTitle(const std::optional<std::string>& title,
                                       const std::optional<std::string>& parentId,
                                       const std::optional<std::string>& overLookFileId,
                                       const std::string& className,
                                       KXManagedObjectContext* context);
  // The square-bracket scheme over the live notebooks of every folder whose
  // title is the title, alone or followed by "[n]".
  std::string titleOfDuplicateNotebookTitle(const std::string& title);
  // The square-bracket scheme: the title itself for no titles; the title
  // followed by "[max + 1]" when any of them lacks a "[n]"; else the title
  // cut before its first "[".
  static std::string title(const std::string& title, const std::vector<std::string>& titles);
  // Legacy: must not be called; raises NSInternalInconsistencyException.
  [[noreturn]] std::string titleOfDuplicateNoteGroupTitle(const std::string& title);

 private:
  // Runs fn(context) on the read queue with the read context and returns its
  // answer; a default answer after closeDB.
  template <class Fn>
  auto onReadQueue(Fn&& fn) -> decltype(fn(static_cast<KXManagedObjectContext*>(nullptr)));

  void installHooks();
  // One step of a conversion run; `runFailed` is shared by the steps of one
  // run and only touched on the write queue.
  void dbConvertFrom(std::int64_t version, std::shared_ptr<bool> runFailed);
  // The state row of the key takes the value (or is inserted), in the write
  // context on the write queue. False when the value was refused.
  bool setDbStateValueSync(const kx::Value& value, const std::string& key,
                           KXManagedObjectContext& context);
  std::optional<KXFetchResult> readSyncForEntity(const char* entityName,
                                                 const kx::Dictionary& queryInfo, kx::Error* error);

  mutable kx::Mutex mu_;
  std::shared_ptr<KXDataContext> context_ GUARDED_BY(mu_);  // cleared by closeDB
  kx::Value currentSessionVersion_ GUARDED_BY(mu_);

  // Shared with the index-feeding tasks in flight, which may outlive a
  // moment of the client's destruction.
  std::shared_ptr<KXSIndexProxy> ftsIndexer_;
  KXSSearchProxy* ftsSearcher_ = nullptr;  // the shared searcher, never freed
  // Hands documents and removals to the indexer in call order, a burst in
  // one batch (KXIndexFeed). Closed by the destructor, which hands it
  // whatever still waits.
  std::shared_ptr<KXIndexFeed> indexFeed_;

  std::atomic<bool> isFirstLoginDownloading_{false};
  std::atomic<bool> isFullPulling_{false};
  std::atomic<std::int64_t> tempVersionForFirstDownLoading_{-1};

  // ---- Records kept beside the entries (KXDataClientRecords.cpp) -------------------
  //
  // Share links, pull failures, usage counters, pen pages, push marks and
  // the operation log. Writers queue one block on the write queue and do
  // not save (the pen-page update is the exception), unless they say they
  // wait.
 public:
  // Entries whose pull failed are offered again until their count passes
  // this; a failed pull is counted up to one more.
  static constexpr std::int64_t kMaxPullRetry = 4;

  // The entry's share link: set (the row made and attached when the entry
  // has none) when the URL is given and not "" and the entry is not in the
  // trash; otherwise its link row, if any, is detached and deleted. A file
  // id the store does not hold changes nothing. The form with a data
  // context uses that context's write queue.
  void updateShareInfo(const std::optional<std::string>& shareUrl, bool searchEngineEnable,
                       const std::string& fileId);
  void updateShareInfo(const std::optional<std::string>& shareUrl, bool searchEngineEnable,
                       const std::string& fileId, KXDataContext& dataContext);
  // Notebooks (deleted ones too) whose parent is the file id, counted in the
  // read context (inline when called on the read queue, as its callers
  // are); 0 when the count fails (presented as "Query Database Fail"). The
  // form with a context is in the listings below.
  std::uint64_t getSubNotebookNumOfNotebook(const std::string& fileId);

  // The pull-failure row of a file id in the context (nullptr: the read
  // context), or nullptr.
  std::shared_ptr<FailedInfo> failedInfoWithFileId(const std::string& fileId,
                                                   KXManagedObjectContext* context);
  // Records one more failed pull of the entry with its JSON text: a new row
  // with retry 1, or the row replaced with retry + 1; a row whose retry is
  // above kMaxPullRetry stays as it is. Ignored unless both are given.
  void pullFailedFileId(const std::optional<std::string>& fileId,
                        const std::optional<std::string>& meta);
  // Deletes the file id's row, if any; ignored for nullopt.
  void deletePullFailedFileId(const std::optional<std::string>& fileId);
  // The parsed entries of the rows with retry at most kMaxPullRetry (rows
  // whose text does not parse are left out), read on the read queue.
  kx::Array fetchPullFailed();
  // The file ids whose pulls gave up (retry above kMaxPullRetry): no longer
  // offered by ordinary pulls, kept until a pull of the entry succeeds (a
  // full pull offers every entry). Read on the read queue, in file id order.
  std::vector<std::string> pullGaveUpFileIds();

  // The counter row of a key in the context (nullptr: the read context).
  std::shared_ptr<Statistic> statisticWithKey(const std::string& key,
                                              KXManagedObjectContext* context);
  // Adds the integer of the value (null: 1) to the key's counter, made at 0
  // when missing.
  void addStatisKey(const std::string& key, const kx::Value& value = kx::Value());
  // Key -> count of the counters above 0, read on the read queue.
  kx::Dictionary fetchStatisInfo();
  // Sets every counter to 0; the rows stay.
  void ZeroingStatisInfo();
  // Takes the counts the service accepted (key -> count, as fetched) off
  // the counters, so that what was counted meanwhile stays; then saves.
  // `done` (when given) runs on the write queue after the save.
  void deductStatisInfo(const kx::Dictionary& sent, std::function<void()> done = nullptr);

  // The pen pages that have an entry id, read on the read queue; the twin
  // reads in the context (nullptr: the read context).
  std::vector<std::shared_ptr<PenEntry>> penNotesList();
  std::vector<std::shared_ptr<PenEntry>> penNotesWithContext(KXManagedObjectContext* context);
  std::shared_ptr<PenEntry> objectForPenNnoteID(const std::string& entryId,
                                                KXManagedObjectContext* context);
  // Takes one pen page of the service ("avtice", "createTime", "deleted",
  // "entryId", "entryType", "erased", "favorited", "fileSize",
  // "modDeleted", "modifyTime", "name", "typeId", "userId", "version"):
  // a stored page marked deleted is queued for deletion; a stored page whose
  // version is not below the incoming one is otherwise left as it is; else
  // the page is made or updated. Then the write context is saved.
  void createUpdatePenNote(const kx::Dictionary& page);
  // Deletes the pen pages by object ID; the callback (when given) receives
  // the IDs given (KXObjectID::toValue) as its value.
  void deletePenNote(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback);

  // Sets the entry's contentChanged / checksum when the entry is stored.
  void updateContentChanged(const kx::Value& contentChanged, const std::string& fileId);
  void updateChecksum(const std::string& checksum, const std::string& fileId);
  // Marks the entry's push as failed (localModified 2), waiting for the
  // write queue (inline when called there); ignored for nullopt.
  void markPushFailedWithId(const std::optional<std::string>& fileId);
  // Marks every entry of the user's tree changed here (localModified YES)
  // as failed, waiting for the write queue (inline when called there).
  void markPushFailed();

  // Records an operation of the type (with its data when not null) unless
  // one of that type is recorded already.
  void addOperationLog(std::int64_t type, const kx::Value& data);
  // The recorded operation of the type, read on the read queue / in the
  // context (nullptr: the read context).
  std::shared_ptr<OperationLog> objectForOperationType(std::int64_t type);
  std::shared_ptr<OperationLog> objectForOperationType(std::int64_t type,
                                                       KXManagedObjectContext* context);
  // Does nothing.
  void freshNoteListAndContent() {}

  // ---- Reads for the web file entry and the web file handler ----------------
  // (KXDataClientListings2.cpp)
 public:
  // The number of notebooks whose parent is the notebook with that file id,
  // deleted ones included, counted in `context` on its queue (nullptr: the
  // read context, on the read queue). A failed count is presented ("Query
  // Database Fail") and answers 0.
  std::uint64_t getSubNotebookNumOfNotebook(const std::string& fileId,
                                            KXManagedObjectContext* context);

  // How far a name path ("/A/B", titles of folders below the root) leads
  // from the root through live folders: the id of the deepest folder found
  // (the root's for "", "/" or when the first title is not found; "" without
  // a root entry), how many titles were found, and the path's titles.
  struct NamePathResolution {
    std::string lastParentId;
    std::int64_t found = 0;
    std::vector<std::string> components;
  };
  NamePathResolution lastParentIdFromNamePath(const std::string& namePath,
                                              KXManagedObjectContext* context);
  // The same in the read context, on the read queue.
  NamePathResolution lastParentIdFromNamePath(const std::string& namePath);

  // Key of the folder id in the answer of a name-path creation.
  static constexpr const char* kNamePathParentIdKey = "parentId";

  // The folder a name path names, made when missing: the live folders of
  // the path are looked up in `context` (on its queue) and the missing
  // titles are made one below the other (completeNamePath). The callback
  // (when given) gets {"parentId": folder id} as its value, or the error of
  // the insert that failed; it is called once: at once when nothing had to
  // be made, otherwise on the write queue once the folders exist. Answers
  // the id the deepest folder has or will have ("" without a root entry).
  std::string NotebookIdFromNamePath(const std::string& namePath, KXManagedObjectContext* context,
                                     KXDataCallback callback);
  // Makes folders one below the other under `parentId`, the n-th with the
  // n-th id and title, in one block on the write queue. Each title is
  // looked up again under its parent first: a live folder made meanwhile
  // (another restore into the same vanished folder) is taken instead of
  // making a second one. The callback gets {"parentId": the last folder's
  // id} (`parentId` itself for no titles), or the insert's error (the
  // folders made so far stay). Ids and titles must be as many.
  void completeNamePath(const std::string& parentId, const std::vector<std::string>& fileIds,
                        const std::vector<std::string>& names, KXDataCallback callback);

  // ---- Copy, move and recover (KXDataClientCopies.cpp) ----------------------------
  //
  // They change entries only in the context they work in (the write
  // context for every wrapper, whose blocks run on the write queue in order
  // with every other write); they never save and never touch content files
  // (the notebook, file-meta and normal-file helpers copy those).
 public:
  // [source file id, new file id] pairs of a copy.
  using KXCopyPairs = std::vector<std::pair<std::string, std::string>>;

  // The conflict copy's title: "plan.docx" -> "plan(S).docx", "Plan" ->
  // "Plan(S)", where S is the localised "Sync Conflicted". With
  // keepExtension false the extension is not looked at ("a.b" -> "a.b(S)").
  static std::string conflictTitle(const std::string& title, bool keepExtension = true);

  // Copies entries from file parts ({source file id: fields that the copy
  // takes instead of the source's, at least a new "fileId"}) into the
  // folder: version 0, changed here, unshared, not pinned, no tags, only
  // the editor type of the entry properties kept, the conflict title when
  // `isConflicted`. Unknown sources are skipped. The copies go through the
  // generic insert ("FileMeta"). The callback (when given) gets the map
  // {source id: copy's fields} as its value, the copies inserted (an id
  // stored already makes none) as fetch.objects, and the insert's error.
  void copyFileParts(const kx::Dictionary& fileParts, const std::string& notebookId,
                     KXDataCallback callback, bool isConflicted, KXManagedObjectContext* context);
  void copyFileParts(const kx::Dictionary& fileParts, const std::string& notebookId,
                     KXDataCallback callback, bool isConflicted);
  // Write blocks: a new normal file / notebook per pair in the folder (none
  // when the folder is missing), at the Root's version, its title indexed.
  // A notebook's children are not copied.
  void copyNormalFiles(const KXCopyPairs& pairs, const std::string& notebookId, bool isConflicted);
  void copyNotebooks(const KXCopyPairs& pairs, const std::string& notebookId, bool isConflicted);

 private:
  // The pair copies of copyNormalFiles and copyNotebooks, as entities of
  // `entityName`, in one write block.
  void copyPairs(const std::string& entityName, const KXCopyPairs& pairs,
                 const std::string& notebookId, bool isConflicted);

 public:
  // Puts the entries into the folder (unknown ids skipped): changed here; a
  // deleted entry comes out of the trash with a pending "recovery" (and a
  // notebook with every deleted entry below it); a title taken in the
  // folder is renumbered. A move into the entry itself or into its own
  // subtree is skipped with a log line. Times and the index are not
  // touched.
  void moveFileMetas(const std::vector<std::string>& fileIds, const std::string& notebookId,
                     KXManagedObjectContext* context);
  // The same as write blocks, for the pull and for each helper.
  void moveFileMetas(const std::vector<std::string>& fileIds, const std::string& notebookId);
  void moveNotes(const std::vector<std::string>& fileIds, const std::string& notebookId);
  void moveNormalFiles(const std::vector<std::string>& fileIds, const std::string& notebookId);
  void moveNotebooks(const std::vector<std::string>& fileIds, const std::string& notebookId);

  // Restores deleted entries, in order. An entry in the trash itself goes
  // back to the folder of its name path (made again when it is gone, see
  // NotebookIdFromNamePath) with a pending "recovery"; an entry inside a
  // deleted folder comes back with every deleted folder above it. The
  // callback is called once per restored entry (no result, no error, or
  // the error of making its folder); an unknown or live id calls it with
  // NSURLErrorDomain -1100 and stops (later ids stay deleted).
  void recoverFileMetas(const std::vector<std::string>& fileIds, KXManagedObjectContext* context,
                        KXDataCallback callback);
  void recoverFileMetas(const std::vector<std::string>& fileIds, KXDataCallback callback);

  // Whether the entry is the folder or lies below it through live entries
  // (an entry in the trash lies in no folder). Reads parents on the read
  // queue: not to be called there.
  bool fileMeta(const KXFileMetaPtr& entry, const std::string& notebookId);
  // Whether the entry or a live folder above it is encrypted. Reads parents
  // on the read queue: not to be called there.
  bool encryptedStateForMeta(const KXFileMetaPtr& entry);
  // Legacy: must not be called; raises NSInternalInconsistencyException.
  [[noreturn]] void addGroupSync(const kx::Value& group, const kx::Array& fromNotebooks,
                                 KXManagedObjectContext* context);

  // ---- Store state, saves, the user and resource records ------------------------
  // (KXDataClientState.cpp, KXDataClientResources.cpp, KXDataClientCleanup.cpp)
 public:
  // Keys of the store state rows (DbState) the client reads itself.
  static constexpr const char* kDbVersionKey = "dbVersion";
  static constexpr const char* kDbContentVersionKey = "dbContentVersion";
  static constexpr const char* kDbTagVersionKey = "dbTagVersion";
  // Key of the one object in a resource completion's result.
  static constexpr const char* kResourceResultKey = "Resource";

  // The state row of the key in the context (nullptr: the read context), on
  // the context's queue; nullptr for no key, a failed fetch or no row.
  std::shared_ptr<DbState> dbStateObjectWithKey(const std::optional<std::string>& key,
                                                KXManagedObjectContext* context);
  // The stored value of the key, read on the read queue (inline there);
  // Null when there is none. Unsaved sets are not seen.
  kx::Value dbStateValueWithKey(const std::optional<std::string>& key);
  // The stored versions, read on the read queue: dbVersion and dbTagVersion
  // answer 0 when unset, dbContentVersion answers Null.
  kx::Value dbVersion();
  kx::Value dbContentVersion();
  kx::Value dbTagVersion();
  // Queues on the write queue: the key's row takes the value, or a row is
  // inserted (one row per key, also before a save). Not saved. Nothing
  // happens for a Null value or no key.
  void setDbStateValue(const kx::Value& value, const std::optional<std::string>& key);
  // setDbStateValue, then performSave with the callback (queued behind it).
  void setDbVersion(const kx::Value& version, KXDataCallback callback);
  void setDbContentVersion(const kx::Value& version, KXDataCallback callback);
  void setDbTagVersion(const kx::Value& version, KXDataCallback callback);

  // Saves the write context on the write queue. The callback (on the write
  // queue) gets the save's success as its value (a Bool) and the error; a
  // failed save is logged and presented as "Save Database Fail".
  void performSave(KXDataCallback callback);
  // The same, returning after the callback ran; inline when called on the
  // write queue.
  void performSyncSave(const KXDataCallback& callback);
  // Saves the context (nullptr: the read context) on the caller's queue,
  // which must own it; reports as above.
  void performSave(const KXDataCallback& callback, KXManagedObjectContext* context);

  // The user row (the store holds one) in the context (nullptr: the read
  // context) / on the read queue; nullptr when none or the fetch failed.
  std::shared_ptr<User> user(KXManagedObjectContext* context);
  std::shared_ptr<User> user();
  // Queues on the write queue: the user row (made when missing) takes the
  // service's user meta (keys are the row's attribute names; other keys are
  // skipped). A default folder changed here (localModified) is kept. A
  // "password" of "" over a stored password first opens every encrypted
  // entry (handleDeletePasswordWithContext). Not saved.
  void updateUserMeta(const kx::Dictionary& userMeta);
  // Clears encrypted on every live entry of the root's tree that has it,
  // in the context, on its queue.
  void handleDeletePasswordWithContext(KXManagedObjectContext* context);

  // Empties the trash for good: the notes in the trash not yet removed for
  // good are marked removed (remoteRemoved, localTrashOp, trashModifyData
  // "trucate"), which the next push sends. Nothing changes when any of them
  // is encrypted, or when the notes cannot be read. Runs on the write queue
  // and waits (inline when called there). Not saved.
  void clearTrash();
  // Kept for their callers: no note or resource waits for its content.
  KXFileMetaArray notesForContentNotSynced() { return {}; }
  std::vector<std::shared_ptr<Resource>> fetchAllEmptyResources() { return {}; }
  // Not implemented: raises "KXMethodNotImplemented".
  [[noreturn]] void updateFromVersion(const kx::Value& version, KXDataCallback callback);

  // Queues cleanDeleteDataSync on the write queue, then calls back there
  // with no result and no error.
  void cleanDeletedData(KXDataCallback callback);
  // In the write context, on the write queue: deletes every resource entry
  // that no resource holds and saves; only when that save succeeded are the
  // entries' stored files removed (a file that cannot be removed is logged
  // and left). False when the fetch or the save failed (nothing removed).
  bool cleanDeleteDataSync(KXManagedObjectContext* context);

  // The first resource entry with the data hash in the context (nullptr:
  // the read context) / on the read queue; nullptr for no hash.
  std::shared_ptr<ResourceEntry> resourceEntryForHashCode(const std::optional<std::string>& hash,
                                                          KXManagedObjectContext* context);
  std::shared_ptr<ResourceEntry> resourceEntryForHashCode(const std::optional<std::string>& hash);

  // Keys of a resource description (KXResourceInfo); all optional.
  static constexpr const char* kResourceInfoIdKey = "resourceID";
  static constexpr const char* kResourceInfoModifiedInLocalKey = "modifiedInLocal";
  static constexpr const char* kResourceInfoDataKey = "data";

  // Queues on the write queue: the resource of "resourceID" (made when
  // missing, with createTime and modifyTime now) takes "modifyTime",
  // "version", "mediaType" (as meidaType), "title" and "size" when given.
  // A "dataHash" attaches a resource entry: a stored entry of that hash is
  // shared only when its file lies in this resource's own folder (its path
  // holds the resource id), otherwise a new entry is made; "imageSize" is
  // set (cleared when absent) and "resOwner" when given. "noteId" adds the
  // resource to that note; "modifiedInLocal" true marks it changed here.
  // The callback gets the resource as its one object and no error. Not
  // saved.
  void createOrUpdateResourceMeta(const kx::Dictionary& resourceInfo, KXDataCallback callback);
  // The same, then, unless the entry's file is on disk already (and names a
  // file of the title's kind), writes "data" through the file manager and
  // waits for it: the entry records its file, and the data hash of a new
  // entry, only once the bytes are on disk, so an entry whose write failed
  // is never shared. The callback gets the resource, and the write's error
  // when it failed. The write queue waits for the file manager's
  // resource-write queue (and, for the move below, its content queue), so
  // work on those queues must never wait for the write queue.
  void createOrUpdateResource(const kx::Dictionary& resourceInfo, KXDataCallback callback);
  // The same with a finished temporary file moved into place (when the
  // entry has no file on disk yet) instead of data.
  void createOrUpdateResource(const kx::Dictionary& resourceInfo,
                              const std::optional<std::string>& tmpPath, KXDataCallback callback);

  // Kept for their callers: they do nothing and never call back.
  void queryAsync(const kx::Dictionary& info, KXDataCallback callback) {
    (void)info;
    (void)callback;
  }
  void updateSync(const kx::Dictionary& info, KXDataCallback callback) {
    (void)info;
    (void)callback;
  }
  // Queues updateSync on the write queue.
  void upate(const kx::Dictionary& info, KXDataCallback callback);
  // ---- Saving from the editor; push outcomes (KXDataClientSave.cpp) ---------------
 public:
  // Keys of the editor's save parameters (KXNoteSaveParams): "note", the
  // entry's fields; "resource", an array whose element 0 lists the note's
  // new resources and element 1 the resources it had (any further element,
  // such as the list of removed resources the web service sends, is not
  // read).
  static constexpr const char* kNoteSaveNoteKey = "note";
  static constexpr const char* kNoteSaveResourceKey = "resource";
  // Localisation key of a new entry's title.
  static constexpr const char* kEmptyTitleKey = "Empty Title.note";
  // Code of the error of a title taken in the folder (kx::kCocoaErrorDomain);
  // its user info is the title check's answer (KXDupTitleInfo).
  static constexpr std::int64_t kDupTitleErrorCode = 1024;

  // Saves the editor's note or Markdown file, in one block on the write
  // queue: the entry (made when the store has no entry of the file id) takes
  // the properties of "note", a title free in its folder, its resources,
  // size and summary, and stays marked for the next push (unless "note"
  // holds "stick"); its search document goes to the indexer. A title taken
  // in the folder by another entry ends the save before anything is written
  // when a completion is given: the completion gets the title check's
  // answer as its value and an error of code kDupTitleErrorCode with that
  // answer as user info. Otherwise the completion gets an empty dictionary
  // and no error once every change is written to the write context's open
  // transaction; a failed lookup, insert, write or resource copy is reported
  // as the error instead (never as success), so that the page keeps the
  // edit. A failed resource step leaves the note's former resources. A save
  // without a file id is refused. Nothing is saved: the caller saves. The
  // completion runs on the write queue.
  void saveNoteOrMd(const kx::Dictionary& params, KXDataCallback completion);
  // The older form, with the entity always "Note" and four resource lists
  // (new, existing, modified, duplicated). When "note" holds "bgImageId" and
  // the entry is the one open in the main page, the touch bar shows that
  // background (KXShellStateHooks). Nothing calls it.
  void saveNote(const kx::Dictionary& params, KXDataCallback completion);

  // What the resource step answers: the note's resources (objects of the
  // context) and the sum of their sizes; error set when a lookup or a copy
  // into the store failed (the item is then left out).
  struct ResourceStepResult {
    std::vector<std::shared_ptr<Resource>> resourceSet;
    std::int64_t resourceTotalSize = 0;
    kx::Error error;
  };
  // The resource step of the saves, in `context` on its queue (the write
  // queue): the existing resources of element 1 (unknown ids left out; a
  // size of 0 or none keeps the stored size), then the new resources of
  // element 0 (made with their stored file when unknown; an item whose file
  // is not on disk is left out).
  ResourceStepResult processResourceInfo(const kx::Array& resourceInfo,
                                         KXManagedObjectContext* context);
  // The stored file for the content at the file URL (or path): the entry of
  // the same data hash when there is one, else a new entry whose file the
  // file manager copies into the store (the write queue waits for it).
  // nullptr and *error when the file cannot be read or copied.
  std::shared_ptr<ResourceEntry> createResourceEntryForURL(const std::string& url,
                                                           KXManagedObjectContext* context,
                                                           kx::Error* error = nullptr);
  // YES when the resource exists and its stored file is held by exactly one
  // resource; read on the read queue.
  bool isSingleResource(const std::string& resourceId);
  // After the resource's upload, on the write queue: records the remote
  // URL, source and version given, and clears localModified. An unknown
  // resource changes nothing. Not saved.
  void setRemoteURLForResource(const std::string& resourceId, const std::optional<std::string>& url,
                               const std::optional<std::string>& src,
                               const std::optional<std::int64_t>& version);
  // After the entry's push, with the service's answer in the store's field
  // names: the entry takes the answer and is no longer marked for a push. An
  // entry edited while it was pushed (its modifyTime is no longer the
  // pushed one) takes only the new version and stays marked. The share link
  // follows the answer's share state (KXShareLinkHooks), also on that
  // reduced path. A file id the store does not hold is skipped with a log
  // line. Reads on the read queue, writes through modifyFileMetas.
  void updateStateForFileMeta(const std::string& fileId, kx::Dictionary remoteData);
  // The push's form: decides and writes in one write block, so that an edit
  // written before it is always seen. The marks are cleared only when the
  // entry's change counter (FileMeta::localChangeCount) still is
  // `changeCount` (read when the push read the entry) and the modify time
  // rule above agrees; otherwise the entry takes only the version. Not
  // saved. `done` (may be empty) runs after the write, off the write queue,
  // with whether the marks were cleared; false also when the store holds no
  // such entry or is closed (nothing is written then).
  void updateStateForFileMeta(const std::string& fileId, kx::Dictionary remoteData,
                              std::uint64_t changeCount, std::function<void(bool cleared)> done);

  // Content files of deleted notes go only once the delete is in the file
  // (KXDataClientCleanup.cpp). Call on the write queue, after the write
  // block that purged the entries (put them in the trash's "trucate" state)
  // in `context` and before any save: each entry's content file is removed
  // after the next successful save of that context that holds the entry
  // purged. A save that fails (rolled back) removes nothing; an entry that a
  // later save holds not purged is forgotten with its file kept.
  void removeContentFilesAfterSave(const std::vector<std::pair<KXObjectID, std::string>>& entries,
                                   KXManagedObjectContext& context);

  // ---- Note lists, search and summaries (KXDataClientNoteLists.cpp) ---------------
 public:
  // Kinds of filter(): live entries only, all entries, deleted entries only.
  static constexpr int kFilterLive = 0;
  static constexpr int kFilterAll = 1;
  static constexpr int kFilterDeleted = 2;

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
  // "sort": month}, "children": [{"content": note item}, ...]}, ...]. Read
  // on the caller's queue: the notes must belong to its context.
  kx::Array formatNoteList(const KXFileMetaArray& notes, int kind);
  // The metas whose parent folder is not encrypted (a parent not found
  // counts as not encrypted), in order; parents are looked up on the read
  // queue.
  KXFileMetaArray filterEncryptedNotebook(const KXFileMetaArray& metas);
  // Kept for its callers: does nothing and never calls back.
  void contentForNotebookList(const std::string& folderId, KXDataCallback callback) {
    (void)folderId;
    (void)callback;
  }
  // Queues on the write queue: the entry's summary becomes the text without
  // leading and trailing carriage returns, line feeds and blanks. Not saved;
  // an unknown file id changes nothing.
  void updateNotesSummary(const std::string& fileId, const std::string& summary);

  // ---- Entries read back for writers (KXDataClientWrittenEntries.cpp) -------------
 public:
  // Queues on the write queue, behind every write queued before it: looks
  // the entry up in the write context (so unsaved changes are seen) and
  // builds its web file entry (KXFileMetaWebUtil): `convert` false gives
  // entryFromFileMeta(entry, entire), true fileDictFrom(entry, entire). The
  // callback gets the dictionary as its value on the high-priority global
  // queue; no such entry (or no entry built) calls back once on the write
  // queue with no result and no error.
  void entryOnWrittenContextForFileId(const std::string& fileId, bool entire, bool convert,
                                      KXDataCallback callback);

 private:
  struct ContentRemovals;
  // Made at the first removeContentFilesAfterSave; it listens for saves
  // until the client goes.
  std::shared_ptr<ContentRemovals> contentRemovals_ GUARDED_BY(mu_);
};

#endif  // ZN_DATA_KXDATACLIENT_H_
