// KXManagedObject is one row of the note store as an object of a context
// (KXManagedObjectContext). It carries every attribute value of its row,
// loaded with the row; to-one relationships are kept as the related row's
// key and to-many relationships are queried from the store when asked for
// (or answered from a set read ahead for many objects at once, while that
// set is still what the store would answer:
// KXManagedObjectContext::prefetchRelationships).
// Each context holds at most one live object per row (a weak identity map),
// so two fetches of one row in one context give the same object.
//
// Values are reached by key (the attribute and relationship names of the
// model, KXModel) or through the typed accessors of the entity classes
// (FileMeta, Resource, ...). Setting a value coerces it to the attribute's
// type; a value that cannot be coerced, and a key the entity does not have,
// are refused with a log line and change nothing, so a wrong value can never
// reach a save.
//
// In the write context a change is queued for the store at once and is seen
// by every later fetch on the write queue; it becomes durable with the
// context's save. In the read context a change alters only this object in
// memory.
//
// Thread safety: an object belongs to the queue of its context, but its
// values may be read (and set) from any thread: each object guards its
// values with its own lock, held only while a value is copied in or out.
// Relationship reads query the store through the context and take the
// context's lock.
#ifndef ZN_DATA_KXMANAGEDOBJECT_H_
#define ZN_DATA_KXMANAGEDOBJECT_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Data/store/KXModel.h"
#include "Data/store/KXObjectID.h"
#include "Data/store/KXStoredRow.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

class KXManagedObjectContext;
class KXManagedObject;
using KXManagedObjectPtr = std::shared_ptr<KXManagedObject>;

class KXManagedObject : public std::enable_shared_from_this<KXManagedObject> {
 public:
  virtual ~KXManagedObject();
  KXManagedObject(const KXManagedObject&) = delete;
  KXManagedObject& operator=(const KXManagedObject&) = delete;

  const KXEntityDescription& entity() const { return *entity_; }
  bool isKindOfEntity(std::string_view entityName) const {
    return entity_->isKindOfEntity(entityName);
  }
  KXObjectID objectID() const { return KXObjectID(entity_, primaryKey_); }
  // The context the object belongs to; nullptr once that context is gone.
  std::shared_ptr<KXManagedObjectContext> managedObjectContext() const { return context_.lock(); }

  // Inserted into the write context and not saved yet.
  bool isInserted() const;
  // Deleted from its context (or found deleted by a merged save).
  bool isDeleted() const;
  // Holds changes that the context has not saved.
  bool hasChanges() const;

  // ---- Key-value access ----
  // An attribute's value (Null when it has none); for a to-one relationship
  // the related row's ID (KXObjectID::toValue) or Null; for a to-many one an
  // array of IDs. Null for a key the entity does not have.
  kx::Value value(std::string_view key) const;
  // Sets an attribute (coerced to its type) or a relationship (from IDs as
  // above, or Null). Returns false, logs and changes nothing when the key is
  // unknown, the value cannot be coerced, or the entity refuses it.
  bool setValue(std::string_view key, const kx::Value& value);
  // Sets every entry whose key names a property; other keys are skipped.
  // Returns false when a value was refused (the others are still set).
  bool setValuesForKeys(const kx::Dictionary& values);
  // The same through the description (no name lookup).
  kx::Value value(const KXAttributeDescription& attribute) const;
  bool setValue(const KXAttributeDescription& attribute, const kx::Value& value);

  // Typed reads of attributes (Value's lenient conversions; nil reads as
  // "" / 0 / NO).
  std::string stringValue(std::string_view key) const;
  std::int64_t integerValue(std::string_view key) const;
  bool boolValue(std::string_view key) const;
  bool isNil(std::string_view key) const;

  // Every attribute of the entity that has a value, by name.
  kx::Dictionary attributeValues() const;
  // The object's values as a row (its context's, with what it holds in
  // memory); entity classes add what they keep beside their columns.
  virtual KXStoredRow storedRow() const;

  // ---- Relationships ----
  KXManagedObjectPtr object(std::string_view toOneKey) const;
  // nullptr clears the relationship. The object must belong to the same
  // context and be of the destination entity.
  bool setObject(std::string_view toOneKey, const KXManagedObjectPtr& object);
  // Store order (insertion order of the related rows).
  std::vector<KXManagedObjectPtr> objects(std::string_view toManyKey) const;
  // Replaces the whole set.
  bool setObjects(std::string_view toManyKey, const std::vector<KXManagedObjectPtr>& objects);
  bool addObject(std::string_view toManyKey, const KXManagedObjectPtr& object);
  bool removeObject(std::string_view toManyKey, const KXManagedObjectPtr& object);
  std::size_t countOfObjects(std::string_view toManyKey) const;

  // "<Entity kxstore://Table/key> {attributes}" for logs.
  std::string description() const;

  // The abstract class hook of managed objects: no entity answers it, and
  // calling it raises "KXAbstractMethodInvokeException".
  [[noreturn]] static std::vector<std::string> uniqKeys();

 protected:
  KXManagedObject() = default;

  // Called once the object holds its values: after insertion (inserted
  // true) and after its row was loaded. Runs before any other thread can see
  // the object.
  virtual void awakeFromStore(bool inserted) { (void)inserted; }
  // Asked before a caller's value is set; false refuses it (the entity logs
  // why).
  virtual bool shouldSetAttribute(const KXAttributeDescription& attribute, const kx::Value& value) {
    (void)attribute;
    (void)value;
    return true;
  }
  // Raw access for entity classes: no coercion, no hook. markChanged queues
  // the value for the store like a caller's change.
  kx::Value primitiveValue(const KXAttributeDescription& attribute) const;
  void setPrimitiveValue(const KXAttributeDescription& attribute, kx::Value value,
                         bool markChanged);
  // Guards fields that entity classes keep in memory only.
  kx::Mutex& transientLock() const RETURN_CAPABILITY(mutex_) { return mutex_; }

 private:
  friend class KXManagedObjectContext;

  bool isDirtyLocked(int column) const REQUIRES(mutex_) {
    return (dirty_[static_cast<std::size_t>(column) >> 6] >> (column & 63)) & 1U;
  }
  void markDirtyLocked(int column) REQUIRES(mutex_) {
    dirty_[static_cast<std::size_t>(column) >> 6] |= std::uint64_t(1) << (column & 63);
  }
  bool anyDirtyLocked() const REQUIRES(mutex_);
  bool isUnsavedLocked(int column) const REQUIRES(mutex_) {
    return (unsaved_[static_cast<std::size_t>(column) >> 6] >> (column & 63)) & 1U;
  }
  void markUnsavedLocked(int column) REQUIRES(mutex_) {
    unsaved_[static_cast<std::size_t>(column) >> 6] |= std::uint64_t(1) << (column & 63);
  }
  // Sets a column and tells the context; `column` must be valid.
  void storeColumn(int column, kx::Value value);
  const KXRelationshipDescription* relationshipNamed(std::string_view key, bool wantToMany) const;

  const KXEntityDescription* entity_ = nullptr;
  std::weak_ptr<KXManagedObjectContext> context_;
  std::int64_t primaryKey_ = 0;

  mutable kx::Mutex mutex_;
  // One value per table column (KXEntityDescription::columns). Foreign-key
  // columns hold the related row's key (Int64) or Null.
  std::vector<kx::Value> values_ GUARDED_BY(mutex_);
  // Columns changed and not yet written (write context) or changed in
  // memory (read context), one bit per column (KXModel::kMaxColumns at
  // most).
  std::array<std::uint64_t, 2> dirty_ GUARDED_BY(mutex_){};
  // Columns written since the last save (write context): the ones the
  // save's did-save snapshot of the object reports.
  std::array<std::uint64_t, 2> unsaved_ GUARDED_BY(mutex_){};
  bool inserted_ GUARDED_BY(mutex_) = false;  // inserted and not saved yet
  bool deleted_ GUARDED_BY(mutex_) = false;
  // Counted among the next save's updated objects.
  bool changedSinceSave_ GUARDED_BY(mutex_) = false;
  // The context has been told of a change and not yet written the object;
  // further changes need not tell it again.
  bool notified_ GUARDED_BY(mutex_) = false;
  // Set only while the context builds the object, before it is published.
  bool awaking_ = false;
  // Guarded by the context's lock.
  bool queued_ = false;      // in the context's list of objects to write
  bool rowWritten_ = false;  // the row exists in the store (or its open transaction)
  // To-many sets read ahead for this object (prefetchRelationships), each
  // with the context's change count and the process's commit count at its
  // read. Guarded by the context's lock (read through const reads).
  struct PrefetchedSet {
    const KXRelationshipDescription* relationship = nullptr;
    std::uint64_t changes = 0;
    std::uint64_t commits = 0;
    std::vector<std::weak_ptr<KXManagedObject>> objects;  // the context keeps them alive
  };
  mutable std::vector<PrefetchedSet> prefetched_;
};

// std::dynamic_pointer_cast with a shorter name.
template <class T>
std::shared_ptr<T> KXCast(const KXManagedObjectPtr& object) {
  return std::dynamic_pointer_cast<T>(object);
}

#endif  // ZN_DATA_KXMANAGEDOBJECT_H_
