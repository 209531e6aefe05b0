#include "Data/store/KXManagedObject.h"

#include "CommonUtils/KXLogger.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/Error.h"

KXManagedObject::~KXManagedObject() = default;

std::vector<std::string> KXManagedObject::uniqKeys() {
  throw kx::Exception("KXAbstractMethodInvokeException", "Can not call a absoluted method");
}

bool KXManagedObject::anyDirtyLocked() const {
  for (std::uint64_t word : dirty_) {
    if (word) return true;
  }
  return false;
}

bool KXManagedObject::isInserted() const {
  kx::MutexLock lock(mutex_);
  return inserted_;
}

bool KXManagedObject::isDeleted() const {
  kx::MutexLock lock(mutex_);
  return deleted_;
}

bool KXManagedObject::hasChanges() const {
  kx::MutexLock lock(mutex_);
  return inserted_ || deleted_ || changedSinceSave_ || anyDirtyLocked();
}

// ---------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------

namespace {

bool BelongsTo(const KXEntityDescription& entity, const KXAttributeDescription& attribute) {
  int column = attribute.column();
  return column >= 0 && static_cast<std::size_t>(column) < entity.columns().size() &&
         entity.attributeForColumn(column) == &attribute;
}

}  // namespace

kx::Value KXManagedObject::value(const KXAttributeDescription& attribute) const {
  if (!BelongsTo(*entity_, attribute)) return kx::Value();
  kx::MutexLock lock(mutex_);
  return values_[static_cast<std::size_t>(attribute.column())];
}

kx::Value KXManagedObject::primitiveValue(const KXAttributeDescription& attribute) const {
  return value(attribute);
}

bool KXManagedObject::setValue(const KXAttributeDescription& attribute, const kx::Value& value) {
  if (!BelongsTo(*entity_, attribute)) {
    KXLOG("%s has no attribute %s of %s", entity_->name().c_str(), attribute.name().c_str(),
          attribute.entity().name().c_str());
    return false;
  }
  kx::Value coerced;
  std::string why;
  if (!attribute.coerce(value, &coerced, &why)) {
    KXLOG("refused %s for %s.%s (%s): %s", value.description().c_str(), entity_->name().c_str(),
          attribute.name().c_str(), KXAttributeTypeName(attribute.type()), why.c_str());
    return false;
  }
  if (!shouldSetAttribute(attribute, coerced)) return false;
  storeColumn(attribute.column(), std::move(coerced));
  return true;
}

void KXManagedObject::setPrimitiveValue(const KXAttributeDescription& attribute, kx::Value value,
                                        bool markChanged) {
  if (!BelongsTo(*entity_, attribute)) return;
  if (markChanged) {
    storeColumn(attribute.column(), std::move(value));
    return;
  }
  kx::MutexLock lock(mutex_);
  values_[static_cast<std::size_t>(attribute.column())] = std::move(value);
}

void KXManagedObject::storeColumn(int column, kx::Value value) {
  bool notify;
  {
    kx::MutexLock lock(mutex_);
    if (deleted_) {
      KXLOG("change of a deleted %s ignored", entity_->name().c_str());
      return;
    }
    kx::Value& slot = values_[static_cast<std::size_t>(column)];
    // An equal value of the same kind changes nothing.
    if (slot.kind() == value.kind() && slot == value && !awaking_) return;
    slot = std::move(value);
    markDirtyLocked(column);
    notify = !awaking_ && !notified_;
    if (notify) notified_ = true;
  }
  if (!notify) return;
  if (auto context = context_.lock()) context->objectDidChange({}, shared_from_this());
}

kx::Value KXManagedObject::value(std::string_view key) const {
  const KXPropertyDescription* p = entity_->property(key);
  if (!p) return kx::Value();
  switch (p->kind()) {
    case KXPropertyDescription::Kind::Attribute:
      return value(*static_cast<const KXAttributeDescription*>(p));
    case KXPropertyDescription::Kind::ToOne: {
      const auto* rel = static_cast<const KXRelationshipDescription*>(p);
      kx::Value key_;
      {
        kx::MutexLock lock(mutex_);
        key_ = values_[static_cast<std::size_t>(rel->column())];
      }
      if (key_.isNull()) return kx::Value();
      return KXObjectID(&rel->destination(), key_.intValue()).toValue();
    }
    case KXPropertyDescription::Kind::ToMany: {
      kx::Array ids;
      for (const auto& object : objects(key)) ids.push_back(object->objectID().toValue());
      return kx::Value(std::move(ids));
    }
  }
  return kx::Value();
}

bool KXManagedObject::setValue(std::string_view key, const kx::Value& value) {
  const KXPropertyDescription* p = entity_->property(key);
  if (!p) {
    KXLOG("%s has no key %s", entity_->name().c_str(), std::string(key).c_str());
    return false;
  }
  if (p->isAttribute()) return setValue(*static_cast<const KXAttributeDescription*>(p), value);
  auto context = context_.lock();
  auto resolve = [&](const kx::Value& v, KXManagedObjectPtr* out) {
    KXObjectID id = KXObjectID::fromValue(v);
    if (id.isNull() || !context) return false;
    *out = context->existingObject(id);
    return *out != nullptr;
  };
  if (p->kind() == KXPropertyDescription::Kind::ToOne) {
    if (value.isNull()) return setObject(key, nullptr);
    KXManagedObjectPtr target;
    if (!resolve(value, &target)) {
      KXLOG("refused %s for the relationship %s.%s: not an object of this store",
            value.description().c_str(), entity_->name().c_str(), p->name().c_str());
      return false;
    }
    return setObject(key, target);
  }
  std::vector<KXManagedObjectPtr> targets;
  if (!value.isNull()) {
    if (!value.isArray()) {
      KXLOG("refused %s for the relationship %s.%s: an array of object IDs expected",
            value.description().c_str(), entity_->name().c_str(), p->name().c_str());
      return false;
    }
    for (const kx::Value& v : value.array()) {
      KXManagedObjectPtr target;
      if (!resolve(v, &target)) {
        KXLOG("refused %s in the relationship %s.%s: not an object of this store",
              v.description().c_str(), entity_->name().c_str(), p->name().c_str());
        return false;
      }
      targets.push_back(std::move(target));
    }
  }
  return setObjects(key, targets);
}

bool KXManagedObject::setValuesForKeys(const kx::Dictionary& values) {
  bool all = true;
  for (const auto& [key, v] : values) {
    if (!entity_->property(key)) continue;
    if (!setValue(key, v)) all = false;
  }
  return all;
}

std::string KXManagedObject::stringValue(std::string_view key) const {
  return value(key).stringValue();
}

std::int64_t KXManagedObject::integerValue(std::string_view key) const {
  return value(key).intValue();
}

bool KXManagedObject::boolValue(std::string_view key) const { return value(key).boolValue(); }

bool KXManagedObject::isNil(std::string_view key) const { return value(key).isNull(); }

kx::Dictionary KXManagedObject::attributeValues() const {
  kx::Dictionary out;
  kx::MutexLock lock(mutex_);
  // Sized once for the attributes that have a value.
  std::size_t present = 0;
  for (const KXAttributeDescription* a : entity_->attributes()) {
    if (!values_[static_cast<std::size_t>(a->column())].isNull()) ++present;
  }
  out.reserve(present);
  for (const KXAttributeDescription* a : entity_->attributes()) {
    const kx::Value& v = values_[static_cast<std::size_t>(a->column())];
    if (!v.isNull()) out.set(a->name(), a->nameHash(), v);
  }
  return out;
}

KXStoredRow KXManagedObject::storedRow() const {
  KXStoredRow row;
  row.entity = entity_;
  row.key = primaryKey_;
  row.context = context_;
  kx::MutexLock lock(mutex_);
  row.values = values_;
  return row;
}

std::string KXManagedObject::description() const {
  std::string out = "<" + entity_->name() + " " + objectID().uriRepresentation() + "> ";
  return out + kx::Value(attributeValues()).description();
}

// ---------------------------------------------------------------------------
// Relationships
// ---------------------------------------------------------------------------

const KXRelationshipDescription* KXManagedObject::relationshipNamed(std::string_view key,
                                                                    bool wantToMany) const {
  const KXRelationshipDescription* rel = entity_->relationship(key);
  if (!rel || rel->isToMany() != wantToMany) {
    KXLOG("%s has no %s relationship %s", entity_->name().c_str(),
          wantToMany ? "to-many" : "to-one", std::string(key).c_str());
    return nullptr;
  }
  return rel;
}

KXManagedObjectPtr KXManagedObject::object(std::string_view toOneKey) const {
  const KXRelationshipDescription* rel = relationshipNamed(toOneKey, false);
  if (!rel) return nullptr;
  kx::Value key;
  {
    kx::MutexLock lock(mutex_);
    key = values_[static_cast<std::size_t>(rel->column())];
  }
  if (key.isNull()) return nullptr;
  auto context = context_.lock();
  if (!context) return nullptr;
  return context->objectForKey({}, rel->destination().rootEntity(), key.intValue());
}

bool KXManagedObject::setObject(std::string_view toOneKey, const KXManagedObjectPtr& object) {
  const KXRelationshipDescription* rel = relationshipNamed(toOneKey, false);
  if (!rel) return false;
  kx::Value key;
  if (object) {
    if (object->context_.lock() != context_.lock() ||
        !object->entity().isKindOfEntity(rel->destination()) || object->isDeleted() ||
        object->primaryKey_ <= 0) {
      KXLOG("refused %s for %s.%s", object->description().c_str(), entity_->name().c_str(),
            rel->name().c_str());
      return false;
    }
    key = kx::Value(static_cast<long long>(object->primaryKey_));
  }
  storeColumn(rel->column(), std::move(key));
  return true;
}

std::vector<KXManagedObjectPtr> KXManagedObject::objects(std::string_view toManyKey) const {
  const KXRelationshipDescription* rel = relationshipNamed(toManyKey, true);
  if (!rel) return {};
  auto context = context_.lock();
  if (!context || primaryKey_ <= 0) return {};
  return context->relatedObjects({}, *this, *rel);
}

std::size_t KXManagedObject::countOfObjects(std::string_view toManyKey) const {
  const KXRelationshipDescription* rel = relationshipNamed(toManyKey, true);
  if (!rel) return 0;
  auto context = context_.lock();
  if (!context || primaryKey_ <= 0) return 0;
  std::int64_t n = context->countRelated({}, *this, *rel);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

namespace {
enum Mode { kReplace = 0, kAdd = 1, kRemove = 2 };
}  // namespace

bool KXManagedObject::setObjects(std::string_view toManyKey,
                                 const std::vector<KXManagedObjectPtr>& objects) {
  const KXRelationshipDescription* rel = relationshipNamed(toManyKey, true);
  if (!rel) return false;
  auto context = context_.lock();
  if (!context) return false;
  if (rel->storage() == KXRelationshipDescription::Storage::InverseForeignKey) {
    // The other side holds the key: clear it on the objects that leave the
    // set and set it on the new ones.
    const std::string& inverse = rel->inverse()->name();
    auto self = shared_from_this();
    for (const auto& current : this->objects(toManyKey)) {
      bool stays = false;
      for (const auto& o : objects) stays = stays || o == current;
      if (!stays) current->setObject(inverse, nullptr);
    }
    bool ok = true;
    for (const auto& o : objects) {
      if (o) ok = o->setObject(inverse, self) && ok;
    }
    return ok;
  }
  return context->setRelated({}, shared_from_this(), *rel, objects, kReplace);
}

bool KXManagedObject::addObject(std::string_view toManyKey, const KXManagedObjectPtr& object) {
  const KXRelationshipDescription* rel = relationshipNamed(toManyKey, true);
  if (!rel || !object) return false;
  auto context = context_.lock();
  if (!context) return false;
  if (rel->storage() == KXRelationshipDescription::Storage::InverseForeignKey) {
    return object->setObject(rel->inverse()->name(), shared_from_this());
  }
  return context->setRelated({}, shared_from_this(), *rel, {object}, kAdd);
}

bool KXManagedObject::removeObject(std::string_view toManyKey, const KXManagedObjectPtr& object) {
  const KXRelationshipDescription* rel = relationshipNamed(toManyKey, true);
  if (!rel || !object) return false;
  auto context = context_.lock();
  if (!context) return false;
  if (rel->storage() == KXRelationshipDescription::Storage::InverseForeignKey) {
    if (object->object(rel->inverse()->name()).get() != this) return true;
    return object->setObject(rel->inverse()->name(), nullptr);
  }
  return context->setRelated({}, shared_from_this(), *rel, {object}, kRemove);
}
