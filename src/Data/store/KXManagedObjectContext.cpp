#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXStoreSchema.h"

#include <sqlite3.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <unordered_map>

#include "CommonUtils/KXLogger.h"
#include "Data/store/KXFetchPlan.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreError.h"

namespace {

// Queued changes are written once this many objects wait, so that a long
// batch of inserts does not keep every new object in memory until the save.
constexpr std::size_t kFlushThreshold = 512;

enum Mode { kReplace = 0, kAdd = 1, kRemove = 2 };

// Commits of every store of the process. A prefetched set is good only while
// no commit happened since it was read: a read context's store reads see
// each commit at once, before its did-save notification is merged.
std::atomic<std::uint64_t> gStoreCommits{0};

kx::Value ReadColumn(sqlite3_stmt* st, int index, const KXTableColumn& column) {
  int type = sqlite3_column_type(st, index);
  if (type == SQLITE_NULL) return kx::Value();
  if (column.foreignTable)
    return kx::Value(static_cast<long long>(sqlite3_column_int64(st, index)));
  switch (column.type) {
    case KXAttributeType::String: {
      const unsigned char* text = sqlite3_column_text(st, index);
      int n = sqlite3_column_bytes(st, index);
      return kx::Value(
          std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n)));
    }
    case KXAttributeType::Integer:
    case KXAttributeType::Time:
      return kx::Value(static_cast<long long>(sqlite3_column_int64(st, index)));
    case KXAttributeType::Boolean: return kx::Value(sqlite3_column_int64(st, index) != 0);
    case KXAttributeType::Bytes: {
      const void* blob = sqlite3_column_blob(st, index);
      int n = sqlite3_column_bytes(st, index);
      return kx::Value::data(blob, static_cast<std::size_t>(n));
    }
    case KXAttributeType::Any:
      switch (type) {
        case SQLITE_INTEGER:
          return kx::Value(static_cast<long long>(sqlite3_column_int64(st, index)));
        case SQLITE_FLOAT: return kx::Value(sqlite3_column_double(st, index));
        case SQLITE_TEXT: {
          const unsigned char* text = sqlite3_column_text(st, index);
          int n = sqlite3_column_bytes(st, index);
          return kx::Value(
              std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(n)));
        }
        default: {
          const void* blob = sqlite3_column_blob(st, index);
          int n = sqlite3_column_bytes(st, index);
          return kx::Value::data(blob, static_cast<std::size_t>(n));
        }
      }
  }
  return kx::Value();
}

void ReadColumns(sqlite3_stmt* st, int first, const KXEntityDescription& table,
                 std::vector<kx::Value>* values) {
  const auto& columns = table.columns();
  values->resize(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    (*values)[i] = ReadColumn(st, first + static_cast<int>(i), columns[i]);
  }
}

// Attributes every snapshot of an entity that has them carries, changed or
// not: the readers of the did-save notification tell entries by them.
bool IsCarriedAttribute(const std::string& name) {
  return name == "fileId" || name == "del" || name == "remoteRemoved";
}

// The did-save snapshot of an updated object: its ID, its entity, the
// columns `isChanged` names and the carried attributes.
template <typename IsChanged>
kx::Value Snapshot(const KXManagedObject& object, const std::vector<kx::Value>& values,
                   IsChanged isChanged) {
  kx::Dictionary d;
  const KXEntityDescription& e = object.entity();
  d.set(kKXSnapshotObjectIDKey, object.objectID().toValue());
  d.set(kKXSnapshotEntityKey, kx::Value(e.name()));
  for (const KXAttributeDescription* a : e.attributes()) {
    if (!isChanged(a->column()) && !IsCarriedAttribute(a->name())) continue;
    d.set(a->name(), values[static_cast<std::size_t>(a->column())]);
  }
  for (const KXRelationshipDescription* r : e.relationships()) {
    if (r->isToMany() || !isChanged(r->column())) continue;
    const kx::Value& key = values[static_cast<std::size_t>(r->column())];
    d.set(r->name(),
          key.isNull() ? kx::Value() : KXObjectID(&r->destination(), key.intValue()).toValue());
  }
  return kx::Value(std::move(d));
}

}  // namespace

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

std::shared_ptr<KXManagedObjectContext> KXManagedObjectContext::create(
    std::shared_ptr<KXPersistentStore> store, Role role) {
  return std::shared_ptr<KXManagedObjectContext>(
      new KXManagedObjectContext(std::move(store), role));
}

KXManagedObjectContext::KXManagedObjectContext(std::shared_ptr<KXPersistentStore> store, Role role)
    : role_(role),
      store_(std::move(store)),
      connection_(
          store_ ? (role == Role::Writer ? store_->writeConnection() : store_->readConnection())
                 : nullptr) {}

KXManagedObjectContext::~KXManagedObjectContext() {
  if (connection_ && inTransaction_) {
    kx::MutexLock guard(connection_->mutex());
    if (connection_->inTransaction()) kx::ignoreError(connection_->exec("ROLLBACK", nullptr));
  }
}

bool KXManagedObjectContext::failIfNoStore(kx::Error* error) const {
  if (connection_) return false;
  kx::SetError(error, KXStoreMakeError(kKXStoreUnavailableError, "The store is not open"));
  return true;
}

std::size_t KXManagedObjectContext::registeredObjectCount() const {
  kx::MutexLock lock(mutex_);
  std::size_t n = 0;
  for (const auto& [table, map] : objects_) {
    for (const auto& [key, weak] : map) n += weak.expired() ? 0 : 1;
  }
  return n;
}

// ---------------------------------------------------------------------------
// Identity map
// ---------------------------------------------------------------------------

KXManagedObjectPtr KXManagedObjectContext::liveObjectLocked(const KXEntityDescription& table,
                                                            std::int64_t key) {
  auto t = objects_.find(&table);
  if (t == objects_.end()) return nullptr;
  auto it = t->second.find(key);
  if (it == t->second.end()) return nullptr;
  KXManagedObjectPtr object = it->second.lock();
  if (!object) {
    t->second.erase(it);
    --registered_;
  }
  return object;
}

void KXManagedObjectContext::sweepLocked() {
  if (registered_ < sweepThreshold_) return;
  for (auto& [table, map] : objects_) {
    for (auto it = map.begin(); it != map.end();) {
      if (it->second.expired()) {
        it = map.erase(it);
        --registered_;
      } else {
        ++it;
      }
    }
  }
  sweepThreshold_ = std::max<std::size_t>(1024, registered_ * 2);
}

KXManagedObjectPtr KXManagedObjectContext::rowObjectLocked(sqlite3_stmt* st, int first) {
  std::int64_t key = sqlite3_column_int64(st, first);
  int number = sqlite3_column_int(st, first + 1);
  const KXEntityDescription* entity = KXModel::shared().entityForNumber(number);
  if (!entity) {
    KXLOG("row %lld has the unknown entity number %d; skipped", static_cast<long long>(key),
          number);
    return nullptr;
  }
  const KXEntityDescription& table = entity->rootEntity();
  // One lookup: the slot of the row, new or holding a live or dead object.
  auto [slot, added] = objects_[&table].try_emplace(key);
  if (added) ++registered_;
  KXManagedObjectPtr object = slot->second.lock();
  if (object) {
    if (role_ == Role::Reader) {
      // The read connection holds committed data: a fetch refreshes the
      // objects it returns, unless they were changed here in memory.
      kx::MutexLock lock(object->mutex_);
      if (!object->deleted_ && !object->anyDirtyLocked()) {
        ReadColumns(st, first + 2, table, &object->values_);
        object->awaking_ = true;
      }
    }
    if (object->awaking_) {
      object->awakeFromStore(false);
      kx::MutexLock lock(object->mutex_);
      object->awaking_ = false;
    }
    return object;
  }
  object = entity->newObject();
  object->entity_ = entity;
  object->context_ = weak_from_this();
  object->primaryKey_ = key;
  object->rowWritten_ = true;
  ReadColumns(st, first + 2, table, &object->values_);
  object->awaking_ = true;
  object->awakeFromStore(false);
  object->awaking_ = false;
  slot->second = object;
  return object;
}

bool KXManagedObjectContext::storedRowLocked(sqlite3_stmt* st, int first, KXStoredRow* row) {
  const std::int64_t key = sqlite3_column_int64(st, first);
  const KXEntityDescription* entity =
      KXModel::shared().entityForNumber(sqlite3_column_int(st, first + 1));
  if (!entity) return rowObjectLocked(st, first) != nullptr;  // logs the row
  const KXEntityDescription& table = entity->rootEntity();
  if (liveObjectLocked(table, key)) {
    *row = rowObjectLocked(st, first)->storedRow();
    return true;
  }
  row->entity = entity;
  row->key = key;
  row->context = weak_from_this();
  row->parentName.reset();
  ReadColumns(st, first + 2, table, &row->values);
  return true;
}

bool KXManagedObjectContext::queryRowsLocked(sqlite3_stmt* st, int first,
                                             std::vector<KXManagedObjectPtr>* out,
                                             kx::Error* error) {
  KXStatementReset reset(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (KXManagedObjectPtr object = rowObjectLocked(st, first)) out->push_back(std::move(object));
  }
  if (rc != SQLITE_DONE) {
    kx::SetError(error, connection_->lastError("fetch", rc));
    return false;
  }
  sweepLocked();
  return true;
}

KXManagedObjectPtr KXManagedObjectContext::loadRowLocked(const KXEntityDescription& table,
                                                         std::int64_t key, kx::Error* error) {
  const std::string sql = KXStoreSchema::selectRowSQL(table);
  std::vector<KXManagedObjectPtr> found;
  {
    kx::MutexLock guard(connection_->mutex());
    sqlite3_stmt* st = connection_->statement(sql, error);
    if (!st) return nullptr;
    sqlite3_bind_int64(st, 1, key);
    if (!queryRowsLocked(st, 0, &found, error)) return nullptr;
  }
  if (found.empty()) {
    kx::SetError(error, KXStoreMakeError(kKXStoreObjectNotFoundError,
                                         "No row " + KXObjectID(&table, key).uriRepresentation()));
    return nullptr;
  }
  return found.front();
}

KXManagedObjectPtr KXManagedObjectContext::existingObject(const KXObjectID& objectID,
                                                          kx::Error* error) {
  if (objectID.isNull()) {
    kx::SetError(error, KXStoreMakeError(kKXStoreObjectNotFoundError, "A null object ID"));
    return nullptr;
  }
  if (failIfNoStore(error)) return nullptr;
  kx::MutexLock lock(mutex_);
  const KXEntityDescription& table = *objectID.table();
  if (KXManagedObjectPtr live = liveObjectLocked(table, objectID.primaryKey())) {
    if (!live->isDeleted()) return live;
  }
  if (role_ == Role::Writer && !flushLocked(error)) return nullptr;
  return loadRowLocked(table, objectID.primaryKey(), error);
}

KXManagedObjectPtr KXManagedObjectContext::objectForKey(kx::Badge<KXManagedObject>,
                                                        const KXEntityDescription& table,
                                                        std::int64_t key) {
  return existingObject(KXObjectID(&table, key), nullptr);
}

// ---------------------------------------------------------------------------
// Changes
// ---------------------------------------------------------------------------

bool KXManagedObjectContext::ensureTransactionLocked(kx::Error* error) {
  if (inTransaction_) return true;
  kx::MutexLock guard(connection_->mutex());
  // Every unit opens and ends the same way: the connection keeps both
  // statements prepared.
  sqlite3_stmt* begin = connection_->statement("BEGIN IMMEDIATE", error);
  if (!begin || !connection_->run(begin, error)) return false;
  inTransaction_ = true;
  keysChecked_.clear();
  return true;
}

std::int64_t KXManagedObjectContext::nextKeyLocked(const KXEntityDescription& table,
                                                   kx::Error* error) {
  std::int64_t& last = lastKeys_[&table];
  if (!keysChecked_.count(&table)) {
    // The largest key ever given out: AUTOINCREMENT's record, or the rows
    // themselves for a table that has none yet.
    const std::string sql = KXStoreSchema::lastKeySQL(table);
    kx::MutexLock guard(connection_->mutex());
    sqlite3_stmt* st = connection_->statement(sql, error);
    if (!st) return 0;
    KXStatementReset reset(st);
    sqlite3_bind_text(st, 1, table.tableName().c_str(), -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
      kx::SetError(error, connection_->lastError("read the last key", rc));
      return 0;
    }
    last = std::max<std::int64_t>(last, sqlite3_column_int64(st, 0));
    keysChecked_.insert(&table);
  }
  return ++last;
}

KXManagedObjectPtr KXManagedObjectContext::insertNewObject(std::string_view entityName,
                                                           kx::Error* error) {
  const KXEntityDescription* entity = KXModel::shared().entity(entityName);
  if (!entity) {
    kx::SetError(error, KXStoreMakeError(kKXStoreUnknownEntityError,
                                         "No entity " + std::string(entityName)));
    return nullptr;
  }
  if (role_ == Role::Reader) {
    KXLOG("insert of %s into the read context refused", entity->name().c_str());
    kx::SetError(error, KXStoreMakeError(kKXStoreReadOnlyError, "The read context cannot insert"));
    return nullptr;
  }
  const KXEntityDescription& table = entity->rootEntity();
  KXManagedObjectPtr object = entity->newObject();
  object->entity_ = entity;
  object->context_ = weak_from_this();
  {
    // Not yet shared with any other thread; the lock costs nothing here.
    kx::MutexLock objectLock(object->mutex_);
    object->values_.resize(table.columns().size());
    object->inserted_ = true;
  }
  if (!connection_) {
    // No store: the object lives in memory only.
    object->awaking_ = true;
    object->awakeFromStore(true);
    object->awaking_ = false;
    return object;
  }
  kx::MutexLock lock(mutex_);
  if (!ensureTransactionLocked(error)) return nullptr;
  std::int64_t key = nextKeyLocked(table, error);
  if (key <= 0) return nullptr;
  object->primaryKey_ = key;
  object->awaking_ = true;
  object->awakeFromStore(true);
  object->awaking_ = false;
  {
    kx::MutexLock objectLock(object->mutex_);
    object->notified_ = true;  // queued below
  }
  ++changes_;
  objects_[&table][key] = object;
  ++registered_;
  object->queued_ = true;
  queued_.push_back(object);
  KXObjectID id = object->objectID();
  insertedIDs_.push_back(id);
  if (queued_.size() >= kFlushThreshold) {
    kx::Error e;
    if (!flushLocked(&e) && !pendingError_) pendingError_ = e;
  }
  return object;
}

void KXManagedObjectContext::objectDidChange(kx::Badge<KXManagedObject>,
                                             const KXManagedObjectPtr& object) {
  kx::MutexLock lock(mutex_);
  ++changes_;
  if (role_ == Role::Reader) {
    readerChanged_ = true;
    return;
  }
  if (!connection_ || object->primaryKey_ <= 0) {
    kx::MutexLock objectLock(object->mutex_);
    object->notified_ = false;
    return;
  }
  kx::Error e;
  if (!ensureTransactionLocked(&e)) {
    if (!pendingError_) pendingError_ = e;
  }
  if (!object->queued_) {
    object->queued_ = true;
    queued_.push_back(object);
  }
  {
    kx::MutexLock objectLock(object->mutex_);
    if (!object->inserted_ && !object->changedSinceSave_) {
      object->changedSinceSave_ = true;
      updatedObjects_.push_back(object);
    }
  }
  if (queued_.size() >= kFlushThreshold) {
    if (!flushLocked(&e) && !pendingError_) pendingError_ = e;
  }
}

void KXManagedObjectContext::nullifyForeignKeysLocked(const KXEntityDescription& table,
                                                      std::int64_t key) {
  for (const KXRelationshipDescription* rel : KXModel::shared().foreignKeysInto(table)) {
    auto t = objects_.find(&rel->entity().rootEntity());
    if (t == objects_.end()) continue;
    for (auto& [otherKey, weak] : t->second) {
      KXManagedObjectPtr other = weak.lock();
      if (!other) continue;
      {
        kx::MutexLock objectLock(other->mutex_);
        kx::Value& slot = other->values_[static_cast<std::size_t>(rel->column())];
        if (slot.isNull() || slot.intValue() != key) continue;
        // The store clears the key itself (ON DELETE SET NULL); memory
        // follows, and the change is reported as an update.
        slot = kx::Value();
        other->markUnsavedLocked(rel->column());
        if (!other->changedSinceSave_ && !other->inserted_) {
          other->changedSinceSave_ = true;
          updatedObjects_.push_back(other);
        }
      }
    }
  }
}

void KXManagedObjectContext::deleteObject(const KXManagedObjectPtr& object) {
  if (!object) return;
  if (role_ == Role::Reader) {
    KXLOG("delete of %s in the read context refused", object->description().c_str());
    return;
  }
  if (object->context_.lock().get() != this) {
    KXLOG("delete of an object of another context ignored");
    return;
  }
  kx::MutexLock lock(mutex_);
  ++changes_;
  bool wasInserted;
  {
    kx::MutexLock objectLock(object->mutex_);
    if (object->deleted_) return;
    object->deleted_ = true;
    wasInserted = object->inserted_;
  }
  if (!connection_ || object->primaryKey_ <= 0) return;
  const KXEntityDescription& table = object->entity().rootEntity();
  auto t = objects_.find(&table);
  if (t != objects_.end() && t->second.erase(object->primaryKey_)) --registered_;
  kx::Error e;
  if (!ensureTransactionLocked(&e) && !pendingError_) pendingError_ = e;
  KXObjectID id = object->objectID();
  deletedQueue_.push_back({id, object, object->rowWritten_});
  if (wasInserted) {
    insertedThenDeleted_.insert(id);  // neither inserted nor deleted for the save
  } else {
    deletedIDs_.push_back({id, object, true});
  }
  nullifyForeignKeysLocked(table, object->primaryKey_);
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

bool KXManagedObjectContext::writeObjectLocked(KXManagedObject& object, kx::Error* error) {
  std::vector<int>& columns = scratchColumns_;
  std::vector<kx::Value>& values = scratchValues_;
  columns.clear();
  values.clear();
  {
    kx::MutexLock lock(object.mutex_);
    if (object.deleted_) return true;
    const std::size_t n = object.values_.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (object.isDirtyLocked(static_cast<int>(i))) {
        columns.push_back(static_cast<int>(i));
        values.push_back(object.values_[i]);
      }
    }
    for (std::size_t w = 0; w < object.dirty_.size(); ++w) object.unsaved_[w] |= object.dirty_[w];
    object.dirty_.fill(0);
    object.notified_ = false;
  }
  const KXEntityDescription& table = object.entity().rootEntity();
  bool insert = !object.rowWritten_;
  if (!insert && columns.empty()) return true;
  // Statements are cached by table and set of columns.
  std::string& key = scratchKey_;
  key.assign(insert ? "I\x1f" : "U\x1f");
  key += table.tableName();
  key += '\x1f';
  for (int c : columns) {
    key += static_cast<char>(c & 0xff);
    key += static_cast<char>((c >> 8) & 0xff);
  }
  // The statement is made outside this function's view of the lock, so the
  // columns go in through a plain pointer.
  const std::vector<int>* changedColumns = &columns;
  auto makeSql = [&]() {
    return insert ? KXStoreSchema::insertRowSQL(table, *changedColumns)
                  : KXStoreSchema::updateRowSQL(table, *changedColumns);
  };
  kx::MutexLock guard(connection_->mutex());
  sqlite3_stmt* st = connection_->statement(key, makeSql, error);
  if (!st) return false;
  int index = 1;
  if (insert) {
    sqlite3_bind_int64(st, index++, object.primaryKey_);
    sqlite3_bind_int(st, index++, object.entity().entityNumber());
  }
  for (const kx::Value& v : values) KXStoreConnection::bind(st, index++, v);
  if (!insert) sqlite3_bind_int64(st, index++, object.primaryKey_);
  bool ok = connection_->run(st, error);
  values.clear();  // drop the references now
  if (!ok) return false;
  object.rowWritten_ = true;
  return true;
}

bool KXManagedObjectContext::unitIntactLocked(kx::Error* error) {
  if (!inTransaction_) return true;
  {
    kx::MutexLock guard(connection_->mutex());
    if (connection_->inTransaction()) return true;
  }
  if (!pendingError_) {
    pendingError_ = KXStoreMakeError(kKXStoreTransactionEndedError,
                                     "SQLite ended the transaction of unsaved changes");
  }
  kx::SetError(error, pendingError_);
  return false;
}

bool KXManagedObjectContext::clearKeysIntoLocked(
    const KXEntityDescription& table, std::int64_t key,
    const std::unordered_set<KXObjectID, KXObjectIDHash>& doomed, kx::Error* error) {
  for (const KXRelationshipDescription* rel : KXModel::shared().foreignKeysInto(table)) {
    const KXEntityDescription& source = rel->entity().rootEntity();
    const std::size_t column = static_cast<std::size_t>(rel->column());
    std::vector<std::int64_t> keys;
    {
      kx::MutexLock guard(connection_->mutex());
      sqlite3_stmt* st = connection_->statement(KXStoreSchema::keysReferencingSQL(*rel), error);
      if (!st) return false;
      KXStatementReset reset(st);
      sqlite3_bind_int64(st, 1, key);
      int rc;
      while ((rc = sqlite3_step(st)) == SQLITE_ROW) keys.push_back(sqlite3_column_int64(st, 0));
      if (rc != SQLITE_DONE) {
        kx::SetError(error, connection_->lastError("find keys into a deleted row", rc));
        return false;
      }
    }
    for (std::int64_t k : keys) {
      if (doomed.count(KXObjectID(&source, k))) continue;  // deleted in this unit too
      KXManagedObjectPtr other = liveObjectLocked(source, k);
      if (!other) other = loadRowLocked(source, k, error);
      if (!other) return false;
      kx::MutexLock objectLock(other->mutex_);
      if (other->deleted_) continue;
      other->values_[column] = kx::Value();
      other->markUnsavedLocked(static_cast<int>(column));
      if (!other->changedSinceSave_ && !other->inserted_) {
        other->changedSinceSave_ = true;
        updatedObjects_.push_back(other);
      }
    }
  }
  return true;
}

bool KXManagedObjectContext::flushLocked(kx::Error* error) {
  if (!connection_ || role_ == Role::Reader) return true;
  if (queued_.empty() && deletedQueue_.empty()) return true;
  // The failure is kept for the save whether or not the caller asked for
  // it: a read that met it must not let the save commit the rest.
  kx::Error e;
  bool ok = ensureTransactionLocked(&e) && unitIntactLocked(&e);
  if (!ok) {
    // Nothing can be written: the changes stay queued until the save fails
    // and rolls back (cheaply, however often a long batch asks).
    if (!pendingError_) pendingError_ = e;
    kx::SetError(error, e);
    return false;
  }
  std::vector<KXManagedObjectPtr> queued;
  queued.swap(queued_);
  std::vector<DeletedEntry> deleted;
  deleted.swap(deletedQueue_);
  for (const auto& object : queued) {
    if (ok) {
      object->queued_ = false;
      if (!writeObjectLocked(*object, &e)) ok = false;
    } else {
      // Not written: it stays queued (and told), so that its values and
      // later changes are not lost to the context's bookkeeping.
      queued_.push_back(object);
    }
  }
  std::unordered_set<KXObjectID, KXObjectIDHash> doomed;
  for (const DeletedEntry& d : deleted) doomed.insert(d.objectID);
  for (DeletedEntry& d : deleted) {
    if (!ok) {
      deletedQueue_.push_back(std::move(d));
      continue;
    }
    if (!d.rowWritten) continue;
    const KXEntityDescription& table = *d.objectID.table();
    // The database clears keys into the row (ON DELETE SET NULL); the rows
    // it changes so are reported like any other update.
    if (!clearKeysIntoLocked(table, d.objectID.primaryKey(), doomed, &e)) {
      ok = false;
      continue;
    }
    kx::MutexLock guard(connection_->mutex());
    sqlite3_stmt* st = connection_->statement(KXStoreSchema::deleteRowSQL(table), &e);
    if (!st || (sqlite3_bind_int64(st, 1, d.objectID.primaryKey()), !connection_->run(st, &e))) {
      ok = false;
    }
  }
  if (!ok) {
    if (!pendingError_) pendingError_ = e;
    kx::SetError(error, e);
    // SQLite may have ended the transaction with this failure; from here
    // on nothing more of the unit is written (unitIntactLocked).
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Fetching
// ---------------------------------------------------------------------------

bool KXManagedObjectContext::execute(const KXFetchRequest& request, KXFetchResult* result,
                                     kx::Error* error) {
  *result = KXFetchResult();
  const KXEntityDescription* entity = KXModel::shared().entity(request.entityName);
  if (!entity) {
    kx::SetError(error, KXStoreMakeError(kKXStoreUnknownEntityError,
                                         "No entity \"" + request.entityName + "\""));
    return false;
  }
  if (failIfNoStore(error)) return false;
  const KXEntityDescription& table = entity->rootEntity();

  std::vector<kx::Value> binds;
  std::string condition;
  if (request.predicate && !request.predicate->appendSQL(*entity, "t", &condition, &binds, error)) {
    return false;
  }
  std::vector<const KXAttributeDescription*> attributes;
  KXStoreSchema::FetchShape shape;
  switch (request.resultType) {
    case KXFetchRequest::ResultType::ManagedObject: shape = KXStoreSchema::FetchShape::Rows; break;
    case KXFetchRequest::ResultType::ManagedObjectID:
      shape = KXStoreSchema::FetchShape::Keys;
      break;
    case KXFetchRequest::ResultType::Count: shape = KXStoreSchema::FetchShape::Count; break;
    case KXFetchRequest::ResultType::Dictionary:
      shape = KXStoreSchema::FetchShape::Attributes;
      attributes = entity->attributes();
      break;
    default:
      kx::SetError(error, KXStoreMakeError(kKXStoreTypeError, "Unknown fetch result type"));
      return false;
  }
  const std::string sql =
      KXStoreSchema::fetchSQL(*entity, condition, shape, attributes, request.returnsDistinctResults,
                              request.fetchLimit, request.fetchOffset);

  std::vector<KXManagedObjectPtr> released;  // let go after the lock
  kx::MutexLock lock(mutex_);
  if (role_ == Role::Writer && !flushLocked(error)) return false;
  kx::MutexLock guard(connection_->mutex());
  sqlite3_stmt* st = connection_->statement(sql, error);
  if (!st) return false;
  for (std::size_t i = 0; i < binds.size(); ++i) {
    KXStoreConnection::bind(st, static_cast<int>(i) + 1, binds[i]);
  }
  if (request.resultType == KXFetchRequest::ResultType::ManagedObject) {
    if (!queryRowsLocked(st, 0, &result->objects, error)) {
      result->objects.clear();
      return false;
    }
    result->count = static_cast<std::int64_t>(result->objects.size());
    if (!request.relationshipKeyPathsForPrefetching.empty()) {
      // The fetch's statement is not needed any more; the prefetch uses its
      // own.
      std::vector<KXManagedObjectPtr> pins;
      prefetchLocked(result->objects, request.relationshipKeyPathsForPrefetching, &pins);
      released.swap(prefetchPins_);
      prefetchPins_ = std::move(pins);
    }
    return true;
  }
  KXStatementReset reset(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    switch (request.resultType) {
      case KXFetchRequest::ResultType::ManagedObjectID:
        result->objectIDs.emplace_back(&table, sqlite3_column_int64(st, 0));
        break;
      case KXFetchRequest::ResultType::Count: result->count = sqlite3_column_int64(st, 0); break;
      default: {
        kx::Dictionary d;
        for (std::size_t i = 0; i < attributes.size(); ++i) {
          const KXAttributeDescription* a = attributes[i];
          kx::Value v = ReadColumn(st, static_cast<int>(i),
                                   table.columns()[static_cast<std::size_t>(a->column())]);
          if (!v.isNull()) d.set(a->name(), std::move(v));
        }
        result->dictionaries.emplace_back(std::move(d));
        break;
      }
    }
  }
  if (rc != SQLITE_DONE) {
    kx::SetError(error, connection_->lastError("fetch", rc));
    *result = KXFetchResult();
    return false;
  }
  if (request.resultType == KXFetchRequest::ResultType::ManagedObjectID) {
    result->count = static_cast<std::int64_t>(result->objectIDs.size());
  } else if (request.resultType == KXFetchRequest::ResultType::Dictionary) {
    result->count = static_cast<std::int64_t>(result->dictionaries.size());
  }
  return true;
}

std::vector<KXManagedObjectPtr> KXManagedObjectContext::fetch(const KXFetchRequest& request,
                                                              kx::Error* error) {
  KXFetchRequest objects = request;
  objects.resultType = KXFetchRequest::ResultType::ManagedObject;
  KXFetchResult result;
  if (!execute(objects, &result, error)) return {};
  return std::move(result.objects);
}

std::int64_t KXManagedObjectContext::count(const KXFetchRequest& request, kx::Error* error) {
  KXFetchRequest counting = request;
  counting.resultType = KXFetchRequest::ResultType::Count;
  KXFetchResult result;
  if (!execute(counting, &result, error)) return -1;
  return result.count;
}

namespace {

KXFetchRequest RequestFor(std::string_view entityName, std::string_view format,
                          const kx::Array& arguments, std::int64_t limit, kx::Error* error,
                          bool* parsed) {
  KXFetchRequest request;
  request.entityName = std::string(entityName);
  request.fetchLimit = limit;
  *parsed = true;
  if (!format.empty()) {
    request.predicate = KXPredicate::withFormat(format, arguments, error);
    *parsed = request.predicate != nullptr;
  }
  return request;
}

}  // namespace

std::vector<KXManagedObjectPtr> KXManagedObjectContext::fetch(std::string_view entityName,
                                                              std::string_view format,
                                                              const kx::Array& arguments,
                                                              std::int64_t limit,
                                                              kx::Error* error) {
  if (connection_) {
    std::shared_ptr<const KXFetchPlan> plan =
        KXFetchPlan::forCondition(entityName, format, KXFetchPlan::Shape::Rows, limit);
    std::vector<kx::Value> values;
    if (plan && plan->bind(arguments, &values)) {
      std::vector<KXManagedObjectPtr> objects;
      if (!runPlan(*plan, values, &objects, nullptr, error)) return {};
      return objects;
    }
  }
  bool parsed = false;
  KXFetchRequest request = RequestFor(entityName, format, arguments, limit, error, &parsed);
  if (!parsed) return {};
  return fetch(request, error);
}

std::int64_t KXManagedObjectContext::count(std::string_view entityName, std::string_view format,
                                           const kx::Array& arguments, kx::Error* error) {
  if (connection_) {
    std::shared_ptr<const KXFetchPlan> plan =
        KXFetchPlan::forCondition(entityName, format, KXFetchPlan::Shape::Count, 0);
    std::vector<kx::Value> values;
    if (plan && plan->bind(arguments, &values)) {
      std::int64_t n = 0;
      return runPlan(*plan, values, nullptr, &n, error) ? n : -1;
    }
  }
  bool parsed = false;
  KXFetchRequest request = RequestFor(entityName, format, arguments, 0, error, &parsed);
  if (!parsed) return -1;
  return count(request, error);
}

bool KXManagedObjectContext::runPlan(const KXFetchPlan& plan, const std::vector<kx::Value>& values,
                                     std::vector<KXManagedObjectPtr>* objects, std::int64_t* count,
                                     kx::Error* error) {
  kx::MutexLock lock(mutex_);
  if (role_ == Role::Writer && !flushLocked(error)) return false;
  kx::MutexLock guard(connection_->mutex());
  sqlite3_stmt* st = connection_->statement(
      plan.statementKey(), [&plan] { return plan.sql(); }, error);
  if (!st) return false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    KXStoreConnection::bind(st, static_cast<int>(i) + 1, values[i]);
  }
  if (objects) {
    if (queryRowsLocked(st, 0, objects, error)) return true;
    objects->clear();
    return false;
  }
  KXStatementReset reset(st);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) *count = sqlite3_column_int64(st, 0);
  if (rc != SQLITE_DONE) {
    kx::SetError(error, connection_->lastError("fetch", rc));
    return false;
  }
  return true;
}

bool KXManagedObjectContext::fetchRows(std::string_view entityName, std::string_view format,
                                       const kx::Array& arguments, std::vector<KXStoredRow>* rows,
                                       kx::Error* error) {
  rows->clear();
  std::shared_ptr<const KXFetchPlan> plan =
      connection_ ? KXFetchPlan::forCondition(entityName, format, KXFetchPlan::Shape::Rows, 0)
                  : nullptr;
  std::vector<kx::Value> values;
  if (!plan || !plan->bind(arguments, &values)) {
    // The general way answers objects; their rows are the same rows.
    kx::Error e;
    std::vector<KXManagedObjectPtr> objects = fetch(entityName, format, arguments, 0, &e);
    if (e) {
      kx::SetError(error, e);
      return false;
    }
    rows->reserve(objects.size());
    for (const KXManagedObjectPtr& object : objects) rows->push_back(object->storedRow());
    return true;
  }
  kx::MutexLock lock(mutex_);
  if (role_ == Role::Writer && !flushLocked(error)) return false;
  kx::MutexLock guard(connection_->mutex());
  sqlite3_stmt* st = connection_->statement(
      plan->statementKey(), [&plan] { return plan->sql(); }, error);
  if (!st) return false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    KXStoreConnection::bind(st, static_cast<int>(i) + 1, values[i]);
  }
  KXStatementReset reset(st);
  int rc;
  KXStoredRow row;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (storedRowLocked(st, 0, &row)) rows->push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    kx::SetError(error, connection_->lastError("fetch", rc));
    rows->clear();
    return false;
  }
  sweepLocked();
  return true;
}

// ---------------------------------------------------------------------------
// Relationships
// ---------------------------------------------------------------------------

std::vector<KXManagedObjectPtr> KXManagedObjectContext::relatedObjects(
    kx::Badge<KXManagedObject>, const KXManagedObject& object,
    const KXRelationshipDescription& rel) {
  if (!connection_) return {};
  kx::MutexLock lock(mutex_);
  kx::Error e;
  if (role_ == Role::Writer && !flushLocked(&e)) return {};
  if (!object.prefetched_.empty()) {
    for (auto it = object.prefetched_.begin(); it != object.prefetched_.end(); ++it) {
      if (it->relationship != &rel) continue;
      if (it->changes == changes_ && it->commits == gStoreCommits.load(std::memory_order_acquire)) {
        std::vector<KXManagedObjectPtr> kept;
        kept.reserve(it->objects.size());
        for (const auto& weak : it->objects) {
          KXManagedObjectPtr member = weak.lock();
          if (!member) break;
          kept.push_back(std::move(member));
        }
        if (kept.size() == it->objects.size()) return kept;
      }
      // Outdated, or a member was let go: read from the store.
      object.prefetched_.erase(it);
      break;
    }
  }
  const std::string sql = KXStoreSchema::relatedRowsSQL(rel);
  std::vector<KXManagedObjectPtr> out;
  kx::MutexLock guard(connection_->mutex());
  sqlite3_stmt* st = connection_->statement(sql, &e);
  if (!st) return {};
  sqlite3_bind_int64(st, 1, object.primaryKey_);
  if (!queryRowsLocked(st, 0, &out, &e)) {
    KXLOG("reading %s of %s failed: %s", rel.name().c_str(), object.entity().name().c_str(),
          e.localizedDescription().c_str());
    return {};
  }
  return out;
}

void KXManagedObjectContext::prefetchRelationships(const std::vector<KXManagedObjectPtr>& objects,
                                                   const std::vector<std::string>& keyPaths) {
  if (!connection_ || objects.empty() || keyPaths.empty()) return;
  std::vector<KXManagedObjectPtr> released;  // let go after the lock
  kx::MutexLock lock(mutex_);
  kx::Error e;
  if (role_ == Role::Writer && !flushLocked(&e)) return;
  kx::MutexLock guard(connection_->mutex());
  std::vector<KXManagedObjectPtr> pins;
  prefetchLocked(objects, keyPaths, &pins);
  released.swap(prefetchPins_);
  prefetchPins_ = std::move(pins);
}

void KXManagedObjectContext::prefetchLocked(const std::vector<KXManagedObjectPtr>& objects,
                                            const std::vector<std::string>& keyPaths,
                                            std::vector<KXManagedObjectPtr>* pins) {
  // "a.b.c": the first name is read here for the given objects, the rest
  // for the objects it answers.
  std::map<std::string, std::vector<std::string>> byFirst;
  for (const std::string& path : keyPaths) {
    const std::size_t dot = path.find('.');
    std::vector<std::string>& rest = byFirst[path.substr(0, dot)];
    if (dot != std::string::npos && dot + 1 < path.size()) rest.push_back(path.substr(dot + 1));
  }
  for (const auto& [name, rest] : byFirst) {
    // The objects of this context that have the relationship, per
    // relationship (sub-entities share their parent's).
    std::vector<std::pair<const KXRelationshipDescription*, std::vector<KXManagedObject*>>> owners;
    for (const KXManagedObjectPtr& object : objects) {
      if (!object || object->primaryKey_ <= 0 || object->context_.lock().get() != this) continue;
      const KXRelationshipDescription* rel = object->entity_->relationship(name);
      if (!rel || !rel->isToMany()) continue;
      {
        kx::MutexLock objectLock(object->mutex_);
        if (object->deleted_) continue;
      }
      auto group = std::find_if(owners.begin(), owners.end(),
                                [rel](const auto& g) { return g.first == rel; });
      if (group == owners.end())
        group = owners.emplace(owners.end(), rel, std::vector<KXManagedObject*>());
      group->second.push_back(object.get());
    }
    for (auto& [rel, sources] : owners) {
      std::vector<KXManagedObjectPtr> related;
      if (!prefetchRelationshipLocked(*rel, sources, &related)) continue;
      if (!rest.empty()) prefetchLocked(related, rest, pins);
      pins->insert(pins->end(), std::make_move_iterator(related.begin()),
                   std::make_move_iterator(related.end()));
    }
  }
}

bool KXManagedObjectContext::prefetchRelationshipLocked(
    const KXRelationshipDescription& rel, const std::vector<KXManagedObject*>& sources,
    std::vector<KXManagedObjectPtr>* related) {
  // Taken before the store is read: a change or commit from here on makes
  // the sets outdated, even one that the read below already sees.
  const std::uint64_t changes = changes_;
  const std::uint64_t commits = gStoreCommits.load(std::memory_order_acquire);

  std::string keys = "[";
  for (const KXManagedObject* source : sources) {
    if (keys.size() > 1) keys += ',';
    keys += std::to_string(source->primaryKey_);
  }
  keys += ']';
  kx::Error e;
  sqlite3_stmt* st = connection_->statement(KXStoreSchema::prefetchRowsSQL(rel), &e);
  if (!st) {
    KXLOG("prefetching %s failed: %s", rel.name().c_str(), e.localizedDescription().c_str());
    return false;
  }
  std::unordered_map<std::int64_t, std::vector<std::weak_ptr<KXManagedObject>>> sets;
  sets.reserve(sources.size());
  {
    KXStatementReset reset(st);
    sqlite3_bind_text(st, 1, keys.data(), static_cast<int>(keys.size()), SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const std::int64_t source = sqlite3_column_int64(st, 0);
      if (KXManagedObjectPtr object = rowObjectLocked(st, 1)) {
        sets[source].push_back(object);
        related->push_back(std::move(object));
      }
    }
    if (rc != SQLITE_DONE) {
      // Nothing is kept: the objects read their sets one by one.
      KXLOG("prefetching %s failed: %s", rel.name().c_str(),
            connection_->lastError("fetch", rc).localizedDescription().c_str());
      return false;
    }
  }
  sweepLocked();
  for (KXManagedObject* source : sources) {
    auto found = sets.find(source->primaryKey_);
    std::vector<std::weak_ptr<KXManagedObject>> set;
    if (found != sets.end()) set = found->second;  // a source named twice keeps its rows
    auto slot = std::find_if(source->prefetched_.begin(), source->prefetched_.end(),
                             [&rel](const auto& p) { return p.relationship == &rel; });
    if (slot == source->prefetched_.end()) {
      slot = source->prefetched_.emplace(source->prefetched_.end());
      slot->relationship = &rel;
    }
    slot->changes = changes;
    slot->commits = commits;
    slot->objects = std::move(set);
  }
  return true;
}

bool KXManagedObjectContext::relatedRows(const KXRelationshipDescription& rel,
                                         const std::vector<std::int64_t>& sourceKeys,
                                         std::vector<std::pair<std::int64_t, KXStoredRow>>* rows,
                                         kx::Error* error) {
  rows->clear();
  if (failIfNoStore(error)) return false;
  if (!rel.isToMany() || sourceKeys.empty()) return true;
  std::string keys = "[";
  for (std::int64_t key : sourceKeys) {
    if (keys.size() > 1) keys += ',';
    keys += std::to_string(key);
  }
  keys += ']';
  kx::MutexLock lock(mutex_);
  if (role_ == Role::Writer && !flushLocked(error)) return false;
  kx::MutexLock guard(connection_->mutex());
  sqlite3_stmt* st = connection_->statement(KXStoreSchema::prefetchRowsSQL(rel), error);
  if (!st) return false;
  KXStatementReset reset(st);
  sqlite3_bind_text(st, 1, keys.data(), static_cast<int>(keys.size()), SQLITE_TRANSIENT);
  int rc;
  KXStoredRow row;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const std::int64_t source = sqlite3_column_int64(st, 0);
    if (storedRowLocked(st, 1, &row)) rows->emplace_back(source, std::move(row));
  }
  if (rc != SQLITE_DONE) {
    kx::SetError(error, connection_->lastError("fetch", rc));
    rows->clear();
    return false;
  }
  sweepLocked();
  return true;
}

std::int64_t KXManagedObjectContext::countRelated(kx::Badge<KXManagedObject>,
                                                  const KXManagedObject& object,
                                                  const KXRelationshipDescription& rel) {
  if (!connection_) return 0;
  const std::string sql = KXStoreSchema::countRelatedSQL(rel);
  kx::MutexLock lock(mutex_);
  kx::Error e;
  if (role_ == Role::Writer && !flushLocked(&e)) return -1;
  kx::MutexLock guard(connection_->mutex());
  sqlite3_stmt* st = connection_->statement(sql, &e);
  if (!st) return -1;
  KXStatementReset reset(st);
  sqlite3_bind_int64(st, 1, object.primaryKey_);
  if (sqlite3_step(st) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(st, 0);
}

namespace {

// Whether the join table links the source row to exactly the targets' rows
// (the table keeps one link per pair, so as sets). Requires the
// connection's lock. A failed read answers false and clears *ok.
bool JoinHoldsExactly(KXStoreConnection& connection, const KXRelationshipDescription& rel,
                      std::int64_t source, std::vector<std::int64_t> wanted, bool* ok,
                      kx::Error* error) REQUIRES(connection.mutex()) {
  sqlite3_stmt* st = connection.statement(KXStoreSchema::joinedKeysSQL(rel), error);
  if (!st) {
    *ok = false;
    return false;
  }
  KXStatementReset reset(st);
  sqlite3_bind_int64(st, 1, source);
  std::vector<std::int64_t> held;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) held.push_back(sqlite3_column_int64(st, 0));
  if (rc != SQLITE_DONE) {
    kx::SetError(error, connection.lastError("read the links of a relationship", rc));
    *ok = false;
    return false;
  }
  std::sort(held.begin(), held.end());
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  return held == wanted;
}

}  // namespace

bool KXManagedObjectContext::setRelated(kx::Badge<KXManagedObject>,
                                        const KXManagedObjectPtr& object,
                                        const KXRelationshipDescription& rel,
                                        const std::vector<KXManagedObjectPtr>& targets, int mode) {
  if (role_ == Role::Reader) {
    KXLOG("change of %s in the read context refused", rel.name().c_str());
    return false;
  }
  if (!connection_ || object->primaryKey_ <= 0 || object->isDeleted()) return false;
  for (const auto& target : targets) {
    if (!target || target->context_.lock().get() != this ||
        !target->entity().isKindOfEntity(rel.destination()) || target->isDeleted() ||
        target->primaryKey_ <= 0) {
      KXLOG("refused a member of %s.%s: not a live %s of this context",
            object->entity().name().c_str(), rel.name().c_str(), rel.destination().name().c_str());
      return false;
    }
  }
  kx::MutexLock lock(mutex_);
  ++changes_;
  kx::Error e;
  bool ok = ensureTransactionLocked(&e) && unitIntactLocked(&e) && flushLocked(&e);
  if (ok) {
    kx::MutexLock guard(connection_->mutex());
    // A set replaced by the same members (the editor saves a note with the
    // resources it had) needs no write.
    bool unchanged = false;
    if (mode == kReplace) {
      std::vector<std::int64_t> keys;
      keys.reserve(targets.size());
      for (const auto& target : targets) keys.push_back(target->primaryKey_);
      unchanged =
          JoinHoldsExactly(*connection_, rel, object->primaryKey_, std::move(keys), &ok, &e);
    }
    if (ok && !unchanged && mode == kReplace) {
      sqlite3_stmt* st = connection_->statement(KXStoreSchema::clearJoinSQL(rel), &e);
      ok = st != nullptr;
      if (ok) {
        sqlite3_bind_int64(st, 1, object->primaryKey_);
        ok = connection_->run(st, &e);
      }
    }
    const std::string sql =
        mode == kRemove ? KXStoreSchema::removeJoinSQL(rel) : KXStoreSchema::addJoinSQL(rel);
    for (const auto& target : targets) {
      if (!ok || unchanged) break;
      sqlite3_stmt* st = connection_->statement(sql, &e);
      ok = st != nullptr;
      if (!ok) break;
      sqlite3_bind_int64(st, 1, object->primaryKey_);
      sqlite3_bind_int64(st, 2, target->primaryKey_);
      ok = connection_->run(st, &e);
    }
  }
  if (!ok) {
    KXLOG("changing %s.%s failed: %s", object->entity().name().c_str(), rel.name().c_str(),
          e.localizedDescription().c_str());
    if (!pendingError_) pendingError_ = e;
    return false;
  }
  {
    kx::MutexLock objectLock(object->mutex_);
    if (!object->inserted_ && !object->changedSinceSave_) {
      object->changedSinceSave_ = true;
      updatedObjects_.push_back(object);
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Saving
// ---------------------------------------------------------------------------

bool KXManagedObjectContext::hasChanges() const {
  kx::MutexLock lock(mutex_);
  if (role_ == Role::Reader) return readerChanged_;
  return inTransaction_ || !queued_.empty() || !deletedQueue_.empty();
}

void KXManagedObjectContext::rollbackLocked(bool reload) {
  ++changes_;
  if (connection_) {
    kx::MutexLock guard(connection_->mutex());
    if (connection_->inTransaction()) kx::ignoreError(connection_->exec("ROLLBACK", nullptr));
  }
  inTransaction_ = false;
  pendingError_ = kx::Error();
  for (const auto& object : queued_) {
    object->queued_ = false;
    kx::MutexLock objectLock(object->mutex_);
    object->notified_ = false;
    object->dirty_.fill(0);
    object->unsaved_.fill(0);
  }
  queued_.clear();
  deletedQueue_.clear();
  keysChecked_.clear();

  if (reload && connection_) {
    // Memory must not claim what the file does not hold: every live object
    // takes its row again (new ones too: the file is asked, never assumed),
    // objects whose row is not there are deleted, and objects deleted in
    // the lost transaction come back.
    std::vector<KXManagedObjectPtr> live;
    for (auto& [table, map] : objects_) {
      for (auto& [key, weak] : map) {
        if (auto object = weak.lock()) live.push_back(std::move(object));
      }
    }
    for (const DeletedEntry& d : deletedIDs_) {
      if (auto object = d.object.lock()) live.push_back(std::move(object));
    }
    objects_.clear();
    registered_ = 0;
    for (const auto& object : live) {
      const KXEntityDescription& table = object->entity().rootEntity();
      std::vector<kx::Value> values;
      bool found = false;
      {
        const std::string sql = KXStoreSchema::selectRowSQL(table);
        kx::MutexLock guard(connection_->mutex());
        sqlite3_stmt* st = connection_->statement(sql, nullptr);
        if (st) {
          KXStatementReset reset(st);
          sqlite3_bind_int64(st, 1, object->primaryKey_);
          if (sqlite3_step(st) == SQLITE_ROW) {
            ReadColumns(st, 2, table, &values);
            found = true;
          }
        }
      }
      object->queued_ = false;
      kx::MutexLock objectLock(object->mutex_);
      object->dirty_.fill(0);
      object->unsaved_.fill(0);
      object->notified_ = false;
      object->changedSinceSave_ = false;
      object->inserted_ = false;
      if (found) {
        object->values_ = std::move(values);
        object->deleted_ = false;
        object->rowWritten_ = true;
        objects_[&table][object->primaryKey_] = object;
        ++registered_;
      } else {
        object->deleted_ = true;
      }
    }
  } else {
    for (const auto& object : updatedObjects_) {
      kx::MutexLock objectLock(object->mutex_);
      object->changedSinceSave_ = false;
      object->unsaved_.fill(0);
    }
  }
  insertedIDs_.clear();
  insertedThenDeleted_.clear();
  updatedObjects_.clear();
  deletedIDs_.clear();
}

void KXManagedObjectContext::whenUnitEnds(UnitHook hook) {
  if (!hook) return;
  {
    kx::MutexLock lock(mutex_);
    if (role_ == Role::Writer &&
        (inTransaction_ || !queued_.empty() || !deletedQueue_.empty() || pendingError_)) {
      unitHooks_.push_back(std::move(hook));
      return;
    }
  }
  hook(true);
}

namespace {

void RunUnitHooks(std::vector<KXManagedObjectContext::UnitHook>& hooks, bool committed) {
  for (auto& hook : hooks) hook(committed);
}

}  // namespace

bool KXManagedObjectContext::save(kx::Error* error) {
  std::vector<UnitHook> hooks;
  const bool saved = saveUnit(error, &hooks);
  RunUnitHooks(hooks, saved);
  return saved;
}

bool KXManagedObjectContext::saveUnit(kx::Error* error, std::vector<UnitHook>* hooks) {
  kx::Value userInfo;
  {
    kx::MutexLock lock(mutex_);
    if (role_ == Role::Reader) {
      if (!readerChanged_) return true;
      kx::SetError(error, KXStoreMakeError(kKXStoreReadOnlyError,
                                           "Changes to objects of the read context are not saved"));
      return false;
    }
    // Whatever the outcome, the unit ends here: its hooks learn how.
    hooks->swap(unitHooks_);
    if (!connection_) {
      kx::SetError(error, KXStoreMakeError(kKXStoreUnavailableError, "The store is not open"));
      return false;
    }
    if (!inTransaction_ && queued_.empty() && deletedQueue_.empty() && !pendingError_) {
      return true;
    }
    kx::Error e = pendingError_;
    bool ok = !e;
    if (ok) ok = flushLocked(&e) && unitIntactLocked(&e);
    if (ok) {
      // A commit that fails is rolled back whatever the reason, a busy
      // database included: the caller is told NO, so no later save may
      // commit this unit behind its back (a caller that does the work
      // again would store it twice).
      kx::MutexLock guard(connection_->mutex());
      sqlite3_stmt* commit = connection_->statement("COMMIT", &e);
      if (!commit || !connection_->run(commit, &e)) ok = false;
      // Sets read before this point may miss the commit; after it, every
      // context reads them again.
      gStoreCommits.fetch_add(1, std::memory_order_acq_rel);
    }
    if (!ok) {
      KXLOG("save failed: %s", e.localizedDescription().c_str());
      rollbackLocked(true);
      kx::SetError(error, e);
      return false;
    }
    inTransaction_ = false;
    keysChecked_.clear();

    kx::Array inserted;
    inserted.reserve(insertedIDs_.size());
    for (const KXObjectID& id : insertedIDs_) {
      if (!insertedThenDeleted_.empty() && insertedThenDeleted_.count(id)) continue;
      inserted.push_back(id.toValue());
      if (auto object = liveObjectLocked(*id.table(), id.primaryKey())) {
        kx::MutexLock objectLock(object->mutex_);
        object->inserted_ = false;
        object->unsaved_.fill(0);
      }
    }
    kx::Array updated;
    for (const auto& object : updatedObjects_) {
      kx::MutexLock objectLock(object->mutex_);
      object->changedSinceSave_ = false;
      if (!object->deleted_) {
        // Called by Snapshot while objectLock is held.
        updated.push_back(
            Snapshot(*object, object->values_, [&object](int column) NO_THREAD_SAFETY_ANALYSIS {
              return object->isUnsavedLocked(column);
            }));
      }
      object->unsaved_.fill(0);
    }
    kx::Array deleted;
    for (const DeletedEntry& d : deletedIDs_) deleted.push_back(d.objectID.toValue());
    insertedIDs_.clear();
    insertedThenDeleted_.clear();
    updatedObjects_.clear();
    deletedIDs_.clear();
    if (inserted.empty() && updated.empty() && deleted.empty()) return true;
    kx::Dictionary info;
    info.set(kKXInsertedObjectsKey, kx::Value(std::move(inserted)));
    info.set(kKXUpdatedObjectsKey, kx::Value(std::move(updated)));
    info.set(kKXDeletedObjectsKey, kx::Value(std::move(deleted)));
    info.set(kKXStoreTokenKey, kx::Value(static_cast<long long>(store_->token())));
    userInfo = kx::Value(std::move(info));
  }
  kx::NotificationCenter::defaultCenter().post(kKXContextDidSaveNotification, this,
                                               std::move(userInfo));
  return true;
}

void KXManagedObjectContext::reset() {
  std::vector<KXManagedObjectPtr> released;  // let go after the lock
  std::vector<UnitHook> hooks;
  {
    kx::MutexLock lock(mutex_);
    released.swap(prefetchPins_);
    hooks.swap(unitHooks_);
    rollbackLocked(false);
    objects_.clear();
    registered_ = 0;
    readerChanged_ = false;
  }
  RunUnitHooks(hooks, false);
}

void KXManagedObjectContext::mergeChanges(const kx::Value& userInfo) {
  if (!store_ || userInfo[kKXStoreTokenKey].intValue() != store_->token()) return;
  kx::MutexLock lock(mutex_);
  ++changes_;
  for (const kx::Value& snapshot : userInfo[kKXUpdatedObjectsKey].array()) {
    KXObjectID id = KXObjectID::fromValue(snapshot[kKXSnapshotObjectIDKey]);
    if (id.isNull()) continue;
    KXManagedObjectPtr object = liveObjectLocked(*id.table(), id.primaryKey());
    if (!object) continue;
    kx::MutexLock objectLock(object->mutex_);
    if (object->anyDirtyLocked()) continue;  // changed here in memory: kept
    const KXEntityDescription& e = object->entity();
    for (const KXAttributeDescription* a : e.attributes()) {
      if (const kx::Value* v = snapshot.find(a->name())) {
        object->values_[static_cast<std::size_t>(a->column())] = *v;
      }
    }
    for (const KXRelationshipDescription* r : e.relationships()) {
      if (r->isToMany()) continue;
      if (const kx::Value* v = snapshot.find(r->name())) {
        KXObjectID target = KXObjectID::fromValue(*v);
        object->values_[static_cast<std::size_t>(r->column())] =
            target.isNull() ? kx::Value() : kx::Value(static_cast<long long>(target.primaryKey()));
      }
    }
  }
  for (const kx::Value& v : userInfo[kKXDeletedObjectsKey].array()) {
    KXObjectID id = KXObjectID::fromValue(v);
    if (id.isNull()) continue;
    KXManagedObjectPtr object = liveObjectLocked(*id.table(), id.primaryKey());
    if (!object) continue;
    {
      kx::MutexLock objectLock(object->mutex_);
      object->deleted_ = true;
    }
    objects_[id.table()].erase(id.primaryKey());
    --registered_;
  }
}
