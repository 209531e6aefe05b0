// KXManagedObjectContext is a scratch pad of objects over one connection of
// a store (KXPersistentStore). The data context (KXDataContext) makes two:
//
//  - the write context, on the write connection. The first change after a
//    save (insert, set, delete) opens a transaction with BEGIN IMMEDIATE.
//    Changes are queued and written to that transaction before the next
//    statement that reads the store (a fetch, a count, a relationship read,
//    a lookup by ID) and at the latest by save(), so every fetch on the write
//    queue sees the unsaved work. save() commits, then posts
//    kKXContextDidSaveNotification. A write that fails, also one met by a
//    fetch, is kept and makes the save fail; once SQLite has ended the
//    transaction itself nothing more of the unit is written. A failed save
//    (a failed write or commit, a busy database included) rolls back and
//    reloads every object of the context from the file, so memory never
//    claims what the file does not hold and the unit is in the file whole
//    or not at all.
//  - the read context, on the read connection, which sees only committed
//    data. It takes saved changes from the notification (merge()), and its
//    fetches refresh the objects they return. Changes made to its objects
//    stay in memory: it cannot insert, delete or save.
//
// Object IDs are permanent from insert: the key of a new row is taken at
// once (keys only grow; a key is never given out twice by this process,
// even after a rollback, and AUTOINCREMENT keeps it so across runs).
//
// A context whose store could not be opened works without one: fetches fail
// with kKXStoreUnavailableError, inserted objects live in memory only, and
// save() fails.
//
// Thread safety: a context belongs to its queue, but every member may be
// called from any thread. The context's lock guards its identity map and its
// queues of changes; it is taken before an object's lock, never after, and
// it is never held while waiting on a queue or while observers run. SQLite
// calls happen under the connection's lock (KXStoreConnection).
#ifndef ZN_DATA_KXMANAGEDOBJECTCONTEXT_H_
#define ZN_DATA_KXMANAGEDOBJECTCONTEXT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Data/store/KXFetchRequest.h"
#include "Data/store/KXManagedObject.h"
#include "Data/store/KXObjectID.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoredRow.h"
#include "platform/Badge.h"
#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/Value.h"

class KXFetchPlan;
class KXPersistentStore;
struct sqlite3_stmt;

// Posted through kx::NotificationCenter::defaultCenter() after every save
// that changed something, on the saving thread, with the saving context as
// the object. User info:
//   "inserted": array of object IDs (KXObjectID::toValue) of new rows;
//   "updated":  array of snapshots of changed rows, each a dictionary of
//               "objectID" (its ID), "entity" (its entity name), the
//               attributes and to-one relationships written since the last
//               save (nil ones as Null; a relationship as the related
//               row's ID) and, whatever changed, the row's "fileId", "del"
//               and "remoteRemoved" when its entity has them;
//   "deleted":  array of object IDs of removed rows;
//   "storeToken": the KXPersistentStore::token() of the store.
inline constexpr const char* kKXContextDidSaveNotification = "KXManagedObjectContextDidSave";
inline constexpr const char* kKXInsertedObjectsKey = "inserted";
inline constexpr const char* kKXUpdatedObjectsKey = "updated";
inline constexpr const char* kKXDeletedObjectsKey = "deleted";
inline constexpr const char* kKXStoreTokenKey = "storeToken";
inline constexpr const char* kKXSnapshotObjectIDKey = "objectID";
inline constexpr const char* kKXSnapshotEntityKey = "entity";

class KXManagedObjectContext : public std::enable_shared_from_this<KXManagedObjectContext> {
 public:
  enum class Role { Writer, Reader };

  // `store` may be null: the context then has no store (see above).
  static std::shared_ptr<KXManagedObjectContext> create(std::shared_ptr<KXPersistentStore> store,
                                                        Role role);
  ~KXManagedObjectContext();
  KXManagedObjectContext(const KXManagedObjectContext&) = delete;
  KXManagedObjectContext& operator=(const KXManagedObjectContext&) = delete;

  Role role() const { return role_; }
  bool hasStore() const { return connection_ != nullptr; }
  const std::shared_ptr<KXPersistentStore>& persistentStore() const { return store_; }

  // A new object of the entity, with its permanent ID. nullptr (and *error)
  // for an unknown entity, in the read context, or when no transaction
  // could be opened.
  KXManagedObjectPtr insertNewObject(std::string_view entityName, kx::Error* error = nullptr);

  // The live object of the ID, or the row loaded from the store; nullptr
  // (and *error) when the row does not exist (or was deleted here).
  KXManagedObjectPtr existingObject(const KXObjectID& objectID, kx::Error* error = nullptr);

  // Deletes the object's row (write context). Foreign keys that name it are
  // cleared, links of join tables removed. Objects of other contexts are
  // ignored.
  void deleteObject(const KXManagedObjectPtr& object);

  // Runs a fetch; false and *error on failure (the result is then empty).
  [[nodiscard]] bool execute(const KXFetchRequest& request, KXFetchResult* result,
                             kx::Error* error = nullptr);
  // Objects of a ManagedObject fetch (whatever resultType says).
  std::vector<KXManagedObjectPtr> fetch(const KXFetchRequest& request, kx::Error* error = nullptr);
  // Reads the to-many relationships named by `keyPaths` ("resources", or
  // "a.b" for b of the objects of a) of every given object of this context
  // with one store query per relationship, and keeps each object's set with
  // it. KXManagedObject::objects then answers from the kept set, the same
  // objects in the same order as a read of its own, for as long as nothing
  // changes in this context (an insert, a change, a delete, a merge, a
  // reset) and no store of the process commits; after that it reads the
  // store again. Names that are not to-many relationships of an object are
  // skipped, as are a failed read's sets (the objects then read their own).
  // The objects read stay alive until the next prefetch of this context (or
  // its reset); sets of an earlier prefetch whose objects were let go are
  // read again. Fetches do the same for their
  // relationshipKeyPathsForPrefetching.
  void prefetchRelationships(const std::vector<KXManagedObjectPtr>& objects,
                             const std::vector<std::string>& keyPaths);
  // Number of rows a fetch would answer; -1 and *error on failure.
  std::int64_t count(const KXFetchRequest& request, kx::Error* error = nullptr);

  // The rows of fetch(entityName, format, arguments) as plain values, for
  // readers that only turn them into text: a row whose object is live in
  // this context is that object's row (refreshed as a fetch refreshes it,
  // with what it holds in memory); any other row is read without making an
  // object, so the entity class's adjustments on load (awakeFromStore) are
  // not applied to it. The same rows in the same order as the fetch; false
  // and *error on failure (*rows is then empty).
  [[nodiscard]] bool fetchRows(std::string_view entityName, std::string_view format,
                               const kx::Array& arguments, std::vector<KXStoredRow>* rows,
                               kx::Error* error = nullptr);
  // The rows of the to-many relationship `rel` of the rows with the keys
  // `sourceKeys` (rows of rel's entity in this context), read as fetchRows
  // reads them, with one store query: (source key, related row) in order of
  // source key, then of related key, which is the order each source's own
  // read answers. False and *error on failure.
  [[nodiscard]] bool relatedRows(const KXRelationshipDescription& rel,
                                 const std::vector<std::int64_t>& sourceKeys,
                                 std::vector<std::pair<std::int64_t, KXStoredRow>>* rows,
                                 kx::Error* error = nullptr);

  // The same fetch and count for a request of `entityName` whose predicate
  // is `format` with `arguments` ("" for none), at most `limit` objects (0
  // for all), for the conditions callers write as fixed text: the text is
  // parsed and its SQL made once and kept (KXFetchPlan), so a use only
  // binds its arguments. The answer and the errors are those of the
  // request.
  std::vector<KXManagedObjectPtr> fetch(std::string_view entityName, std::string_view format,
                                        const kx::Array& arguments, std::int64_t limit = 0,
                                        kx::Error* error = nullptr);
  std::int64_t count(std::string_view entityName, std::string_view format,
                     const kx::Array& arguments, kx::Error* error = nullptr);

  // Unsaved changes (write context) or objects changed in memory (read
  // context).
  bool hasChanges() const;

  // Writes and commits the changes and posts the did-save notification.
  // True when there was nothing to save. In the read context: true when no
  // object was changed, else false with kKXStoreReadOnlyError (the changes
  // stay in memory).
  [[nodiscard]] bool save(kx::Error* error = nullptr);

  // Work that must follow the fate of the open unit (the changes since the
  // last save): `hook(true)` runs once save() has committed the unit (after
  // the did-save notification), `hook(false)` once the unit was rolled back
  // (a failed save, or reset). With no unit open (nothing unsaved) and in
  // the read context, the hook runs at once with true. Hooks run on the
  // saving thread, in the order they were added, without the context's lock
  // held; they may queue work but must not save this context.
  using UnitHook = std::function<void(bool committed)>;
  void whenUnitEnds(UnitHook hook);

  // Forgets every object of the context and drops unsaved changes (the open
  // transaction is rolled back). Objects handed out before keep their values
  // but no longer belong to the context's map.
  void reset();

  // Applies a did-save notification's user info of the same store: live
  // objects of updated rows take the snapshots (unless changed here), live
  // objects of deleted rows are marked deleted and forgotten.
  void mergeChanges(const kx::Value& didSaveUserInfo);

  // Number of live objects in the identity map.
  std::size_t registeredObjectCount() const;

  // Whether stores are opened in SQLite's write-ahead-log mode: always
  // (KXStoreConnection sets it on every connection), so that reads never
  // wait for the writer.
  static bool isSupportSqliteWAL() { return true; }

  // ---- For KXManagedObject only (the badge says so); called by objects
  // without their own lock held.

  // An object of this context changed.
  void objectDidChange(kx::Badge<KXManagedObject>, const KXManagedObjectPtr& object);
  // The objects of a to-many relationship, their number, and changes to a
  // many-to-many one (mode: replace, add or remove).
  std::vector<KXManagedObjectPtr> relatedObjects(kx::Badge<KXManagedObject>,
                                                 const KXManagedObject& object,
                                                 const KXRelationshipDescription& rel);
  std::int64_t countRelated(kx::Badge<KXManagedObject>, const KXManagedObject& object,
                            const KXRelationshipDescription& rel);
  bool setRelated(kx::Badge<KXManagedObject>, const KXManagedObjectPtr& object,
                  const KXRelationshipDescription& rel,
                  const std::vector<KXManagedObjectPtr>& targets, int mode);
  // The object of a to-one relationship's key.
  KXManagedObjectPtr objectForKey(kx::Badge<KXManagedObject>, const KXEntityDescription& table,
                                  std::int64_t key);

 private:
  struct DeletedEntry {
    KXObjectID objectID;
    std::weak_ptr<KXManagedObject> object;
    bool rowWritten = false;
  };

  KXManagedObjectContext(std::shared_ptr<KXPersistentStore> store, Role role);

  void nullifyForeignKeysLocked(const KXEntityDescription& table, std::int64_t key)
      REQUIRES(mutex_);

  // Everything below requires mutex_.
  [[nodiscard]] bool ensureTransactionLocked(kx::Error* error) REQUIRES(mutex_);
  std::int64_t nextKeyLocked(const KXEntityDescription& table, kx::Error* error) REQUIRES(mutex_);
  [[nodiscard]] bool flushLocked(kx::Error* error) REQUIRES(mutex_);
  // False (and *error, and the pending error) once SQLite has ended the
  // open transaction itself.
  [[nodiscard]] bool unitIntactLocked(kx::Error* error) REQUIRES(mutex_);
  // Loads the rows whose to-one key names (table, key), clears that key in
  // memory and records them as updated, before the row is deleted. Rows in
  // `doomed` are deleted by the same write and left alone.
  [[nodiscard]] bool clearKeysIntoLocked(
      const KXEntityDescription& table, std::int64_t key,
      const std::unordered_set<KXObjectID, KXObjectIDHash>& doomed, kx::Error* error)
      REQUIRES(mutex_);
  [[nodiscard]] bool writeObjectLocked(KXManagedObject& object, kx::Error* error) REQUIRES(mutex_);
  KXManagedObjectPtr liveObjectLocked(const KXEntityDescription& table, std::int64_t key)
      REQUIRES(mutex_);
  // The object of the row the statement stands on, whose key is in column
  // `firstColumn` (the entity number and the table's columns follow):
  // the live one (refreshed in the read context) or a new one. nullptr for
  // a row of an unknown entity.
  KXManagedObjectPtr rowObjectLocked(sqlite3_stmt* statement, int firstColumn) REQUIRES(mutex_);
  // The row the statement stands on (laid out as for rowObjectLocked) as
  // plain values: the live object's row (refreshed as rowObjectLocked
  // does), else the columns as read. False for a row of an unknown entity.
  bool storedRowLocked(sqlite3_stmt* statement, int firstColumn, KXStoredRow* row) REQUIRES(mutex_);
  // Also require the connection's lock. Every object read is added to
  // *pins.
  void prefetchLocked(const std::vector<KXManagedObjectPtr>& objects,
                      const std::vector<std::string>& keyPaths,
                      std::vector<KXManagedObjectPtr>* pins) REQUIRES(mutex_, connection_->mutex());
  // Reads one relationship of `sources` and keeps each set with its source;
  // the objects read are added to *related.
  bool prefetchRelationshipLocked(const KXRelationshipDescription& rel,
                                  const std::vector<KXManagedObject*>& sources,
                                  std::vector<KXManagedObjectPtr>* related)
      REQUIRES(mutex_, connection_->mutex());
  // Runs a plan with the values of its "?": the rows into *objects, or
  // (objects null) the count into *count.
  [[nodiscard]] bool runPlan(const KXFetchPlan& plan, const std::vector<kx::Value>& values,
                             std::vector<KXManagedObjectPtr>* objects, std::int64_t* count,
                             kx::Error* error);
  [[nodiscard]] bool queryRowsLocked(sqlite3_stmt* statement, int firstColumn,
                                     std::vector<KXManagedObjectPtr>* out, kx::Error* error)
      REQUIRES(mutex_);
  KXManagedObjectPtr loadRowLocked(const KXEntityDescription& table, std::int64_t key,
                                   kx::Error* error) REQUIRES(mutex_);
  void rollbackLocked(bool reload) REQUIRES(mutex_);
  // The body of save(); *hooks receives the ended unit's hooks, which save
  // runs once the lock is let go.
  [[nodiscard]] bool saveUnit(kx::Error* error, std::vector<UnitHook>* hooks) EXCLUDES(mutex_);
  void sweepLocked() REQUIRES(mutex_);
  [[nodiscard]] bool failIfNoStore(kx::Error* error) const;

  const Role role_;
  const std::shared_ptr<KXPersistentStore> store_;
  const std::shared_ptr<KXStoreConnection> connection_;

  mutable kx::Mutex mutex_;
  // Identity map: per table (root entity), row key -> live object.
  std::unordered_map<const KXEntityDescription*,
                     std::unordered_map<std::int64_t, std::weak_ptr<KXManagedObject>>>
      objects_ GUARDED_BY(mutex_);
  std::size_t registered_ GUARDED_BY(mutex_) = 0;  // entries in objects_
  std::size_t sweepThreshold_ GUARDED_BY(mutex_) = 1024;
  bool inTransaction_ GUARDED_BY(mutex_) = false;
  kx::Error pendingError_ GUARDED_BY(mutex_);  // a failed write to report at save
  // Objects with changes not yet written, in order of their first change.
  std::vector<KXManagedObjectPtr> queued_ GUARDED_BY(mutex_);
  std::vector<DeletedEntry> deletedQueue_ GUARDED_BY(mutex_);  // rows to delete
  // What the next did-save notification reports.
  std::vector<KXObjectID> insertedIDs_ GUARDED_BY(mutex_);
  std::unordered_set<KXObjectID, KXObjectIDHash> insertedThenDeleted_ GUARDED_BY(mutex_);
  std::vector<KXManagedObjectPtr> updatedObjects_ GUARDED_BY(mutex_);
  std::vector<DeletedEntry> deletedIDs_ GUARDED_BY(mutex_);
  // Last key given out per table, so keys never repeat.
  std::unordered_map<const KXEntityDescription*, std::int64_t> lastKeys_ GUARDED_BY(mutex_);
  std::unordered_set<const KXEntityDescription*> keysChecked_
      GUARDED_BY(mutex_);  // this transaction
  // Counts every change of what this context reads (inserts, changes,
  // deletes, merges, resets, rollbacks): a prefetched set taken at another
  // count is outdated.
  std::uint64_t changes_ GUARDED_BY(mutex_) = 0;
  // The objects of the latest prefetch. Objects keep their sets weakly, so
  // that sets leading back to their owner ("resources.notes") make no
  // cycle; the context keeps the members alive until the next prefetch or
  // reset. A set whose member is gone is read again.
  std::vector<KXManagedObjectPtr> prefetchPins_ GUARDED_BY(mutex_);
  // Read context: objects changed in memory.
  bool readerChanged_ GUARDED_BY(mutex_) = false;
  // What runs when the open unit ends (whenUnitEnds).
  std::vector<UnitHook> unitHooks_ GUARDED_BY(mutex_);
  // Buffers reused by writeObjectLocked.
  std::vector<int> scratchColumns_ GUARDED_BY(mutex_);
  std::vector<kx::Value> scratchValues_ GUARDED_BY(mutex_);
  std::string scratchKey_ GUARDED_BY(mutex_);
};

#endif  // ZN_DATA_KXMANAGEDOBJECTCONTEXT_H_
