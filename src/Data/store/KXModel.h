// KXModel is the note store's data model, compiled into the program: every
// entity with its attributes (name and type), its relationships, its parent
// entity and the class that backs its objects, and how the model maps onto
// SQLite tables.
//
// Storage layout (single-table inheritance): every entity without a parent
// owns one table named after it; an entity and all its sub-entities share
// that table, whose columns are the union of their attributes plus one column
// per to-one relationship (a foreign key). Two hidden columns lead every
// table: "Z_PK" (INTEGER PRIMARY KEY AUTOINCREMENT, so keys are never reused)
// and "Z_ENT" (the entity number of the row's kind). The many-to-many
// relationship between FileMeta.resources and Resource.notes is a join table.
// A to-many relationship whose inverse is a to-one (ResourceEntry
// .resourceHolders) is answered from the foreign key on the other side.
//
// Entity numbers, table names and column names are part of stored files:
// never renumber or rename them; new attributes and entities are added at
// the end and reach old stores by additive migration (KXStoreSchema).
//
// Values are coerced to the attribute's type when they are set or compared
// (see KXAttributeDescription::coerce); a value that cannot be coerced is
// refused.
//
// Thread safety: the model is built once, on first use, and never changes;
// every member may be used from any thread.
#ifndef ZN_DATA_KXMODEL_H_
#define ZN_DATA_KXMODEL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Value.h"

class KXManagedObject;
class KXEntityDescription;

enum class KXAttributeType {
  String,   // text
  Integer,  // signed 64-bit
  Boolean,  // read back as a kx::Value of kind Bool
  Time,     // whole seconds since 1970, stored and read back as an integer
  Bytes,    // byte buffer
  Any,      // a property-list scalar: number, text, bytes (DbState.stateValue)
};

const char* KXAttributeTypeName(KXAttributeType type);

class KXPropertyDescription {
 public:
  enum class Kind { Attribute, ToOne, ToMany };

  virtual ~KXPropertyDescription() = default;
  const std::string& name() const { return name_; }
  Kind kind() const { return kind_; }
  bool isAttribute() const { return kind_ == Kind::Attribute; }
  bool isRelationship() const { return kind_ != Kind::Attribute; }
  // The entity that declares the property (an ancestor for inherited ones).
  const KXEntityDescription& entity() const { return *entity_; }

 protected:
  KXPropertyDescription(std::string name, Kind kind) : name_(std::move(name)), kind_(kind) {}

 private:
  friend class KXModel;
  std::string name_;
  Kind kind_;
  const KXEntityDescription* entity_ = nullptr;
};

class KXAttributeDescription final : public KXPropertyDescription {
 public:
  KXAttributeDescription(std::string name, KXAttributeType type)
      : KXPropertyDescription(std::move(name), Kind::Attribute),
        type_(type),
        nameHash_(kx::Dictionary::hashKey(this->name())) {}

  KXAttributeType type() const { return type_; }
  // kx::Dictionary::hashKey() of the name, for records keyed by it.
  std::uint32_t nameHash() const { return nameHash_; }
  // Index of the attribute's column among the table's value columns (the
  // hidden Z_PK and Z_ENT are not counted).
  int column() const { return column_; }

  // Converts `in` to this attribute's type. Null stays null. Returns false
  // (and leaves *out alone) when the value cannot be converted; *why then
  // says why. Conversions: text from text or a number; integers and times
  // from integers, whole-valued doubles, booleans, dates (times only) and
  // text that is an integer; booleans from booleans, numbers (non-zero is
  // YES) and the texts YES/NO/true/false/1/0; bytes from bytes or text
  // (UTF-8); Any from any scalar (not from arrays or dictionaries).
  bool coerce(const kx::Value& in, kx::Value* out, std::string* why = nullptr) const;
  static bool coerce(KXAttributeType type, const kx::Value& in, kx::Value* out,
                     std::string* why = nullptr);

 private:
  friend class KXModel;
  KXAttributeType type_;
  std::uint32_t nameHash_;
  int column_ = -1;
};

class KXRelationshipDescription final : public KXPropertyDescription {
 public:
  // How a relationship is kept in the tables.
  enum class Storage {
    ForeignKey,         // to-one: a column of this entity's table
    InverseForeignKey,  // to-many: rows of the destination whose foreign key names this row
    JoinTable,          // many-to-many: rows of the join table
  };

  KXRelationshipDescription(std::string name, bool toMany, std::string destination,
                            std::string inverse)
      : KXPropertyDescription(std::move(name), toMany ? Kind::ToMany : Kind::ToOne),
        destinationName_(std::move(destination)),
        inverseName_(std::move(inverse)) {}

  bool isToMany() const { return kind() == Kind::ToMany; }
  const KXEntityDescription& destination() const { return *destination_; }
  // The inverse relationship, or nullptr when the model declares none.
  const KXRelationshipDescription* inverse() const { return inverse_; }
  Storage storage() const { return storage_; }
  // ForeignKey: the column of this table. InverseForeignKey: the column of
  // the destination's table.
  int column() const { return column_; }
  // JoinTable: the join table and the columns naming this side's row and
  // the destination's row.
  const std::string& joinTable() const { return joinTable_; }
  const std::string& joinSourceColumn() const { return joinSourceColumn_; }
  const std::string& joinDestinationColumn() const { return joinDestinationColumn_; }

 private:
  friend class KXModel;
  std::string destinationName_;
  std::string inverseName_;
  const KXEntityDescription* destination_ = nullptr;
  const KXRelationshipDescription* inverse_ = nullptr;
  Storage storage_ = Storage::ForeignKey;
  int column_ = -1;
  std::string joinTable_;
  std::string joinSourceColumn_;
  std::string joinDestinationColumn_;
};

// One value column of a table.
struct KXTableColumn {
  std::string name;
  KXAttributeType type = KXAttributeType::Integer;
  // For the foreign key of a to-one relationship: the table (root entity)
  // that it names; nullptr for attributes.
  const KXEntityDescription* foreignTable = nullptr;
};

struct KXJoinTableDescription {
  std::string name;
  std::string firstColumn;  // names a row of firstTable
  std::string secondColumn;
  const KXEntityDescription* firstTable = nullptr;
  const KXEntityDescription* secondTable = nullptr;
};

class KXEntityDescription {
 public:
  using Factory = std::function<std::shared_ptr<KXManagedObject>()>;

  const std::string& name() const { return name_; }
  // The class that backs the entity's objects ("PenEntry" for "CloudPen").
  const std::string& className() const { return className_; }
  // Stored in Z_ENT.
  int entityNumber() const { return number_; }
  const KXEntityDescription* superentity() const { return parent_; }
  const std::vector<const KXEntityDescription*>& subentities() const { return children_; }
  // The entity that owns the table (the top of the inheritance chain).
  const KXEntityDescription& rootEntity() const { return *root_; }
  bool isRootEntity() const { return root_ == this; }
  const std::string& tableName() const { return root_->name_; }

  // True when this entity is `other` or one of its descendants.
  bool isKindOfEntity(const KXEntityDescription& other) const;
  bool isKindOfEntity(std::string_view otherName) const;
  // This entity's number and those of all its descendants.
  const std::vector<int>& kindNumbers() const { return kindNumbers_; }

  // Properties with inherited ones, ancestors' first, in declaration order.
  const std::vector<const KXPropertyDescription*>& properties() const { return properties_; }
  const std::vector<const KXAttributeDescription*>& attributes() const { return attributes_; }
  const std::vector<const KXRelationshipDescription*>& relationships() const {
    return relationships_;
  }
  std::vector<std::string> propertyNames() const;

  // nullptr when the entity (with its ancestors) has no such property.
  const KXPropertyDescription* property(std::string_view name) const;
  const KXAttributeDescription* attribute(std::string_view name) const;
  const KXRelationshipDescription* relationship(std::string_view name) const;

  // Table-wide facts (answered by the root entity for every entity).
  const std::vector<KXTableColumn>& columns() const { return root_->columns_; }
  // The attribute of a column for this entity, or nullptr when the column
  // belongs to a sibling kind or is a foreign key.
  const KXAttributeDescription* attributeForColumn(int column) const {
    return columnAttributes_[static_cast<std::size_t>(column)];
  }

  // A new, empty object of the entity's class (not in any context).
  std::shared_ptr<KXManagedObject> newObject() const;

 private:
  friend class KXModel;
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  struct Eq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
  };

  std::string name_;
  std::string className_;
  int number_ = 0;
  std::string parentName_;
  const KXEntityDescription* parent_ = nullptr;
  const KXEntityDescription* root_ = nullptr;
  std::vector<const KXEntityDescription*> children_;
  std::vector<int> kindNumbers_;
  std::vector<std::unique_ptr<KXPropertyDescription>> ownProperties_;
  std::vector<const KXPropertyDescription*> properties_;
  std::vector<const KXAttributeDescription*> attributes_;
  std::vector<const KXRelationshipDescription*> relationships_;
  std::unordered_map<std::string, const KXPropertyDescription*, Hash, Eq> byName_;
  std::vector<KXTableColumn> columns_;  // root entities only
  std::vector<const KXAttributeDescription*> columnAttributes_;
  Factory factory_;
};

class KXModel {
 public:
  // The model "ZarvelMetaModel", built on first use.
  static const KXModel& shared();

  const std::string& name() const { return name_; }
  // nullptr for an unknown name.
  const KXEntityDescription* entity(std::string_view name) const;
  const KXEntityDescription* entityForNumber(int number) const;
  const std::vector<const KXEntityDescription*>& entities() const { return entityList_; }
  // The entities that own a table, in table order.
  const std::vector<const KXEntityDescription*>& rootEntities() const { return roots_; }
  const std::vector<KXJoinTableDescription>& joinTables() const { return joins_; }
  // Every to-one relationship (its foreign key) that names rows of `table`.
  const std::vector<const KXRelationshipDescription*>& foreignKeysInto(
      const KXEntityDescription& table) const;
  // Columns that the store indexes: table name -> column names.
  const std::vector<std::pair<std::string, std::string>>& indexedColumns() const {
    return indexes_;
  }
  // The schema version kept in PRAGMA user_version.
  static constexpr int kSchemaVersion = 1;
  // Most value columns a table may have (objects keep one change bit each).
  static constexpr std::size_t kMaxColumns = 128;

 private:
  // One row of the entity table (KXModelEntities.cpp), which build() turns
  // into descriptions. The table is the only part of the model that names
  // the object classes.
  struct AttributeSpec {
    const char* name;
    KXAttributeType type;
  };
  struct RelationshipSpec {
    const char* name;
    bool toMany;
    const char* destination;
    const char* inverse;  // "" for none
  };
  struct EntitySpec {
    const char* name;
    const char* className;
    int number;
    const char* parent;  // "" for none
    std::vector<AttributeSpec> attributes;
    std::vector<RelationshipSpec> relationships;
    KXEntityDescription::Factory factory;
  };
  static std::vector<EntitySpec> entitySpecs();

  KXModel();
  void build();

  std::string name_;
  std::vector<std::unique_ptr<KXEntityDescription>> owned_;
  std::vector<const KXEntityDescription*> entityList_;
  std::vector<const KXEntityDescription*> roots_;
  std::unordered_map<std::string, const KXEntityDescription*, KXEntityDescription::Hash,
                     KXEntityDescription::Eq>
      byName_;
  std::vector<const KXEntityDescription*> byNumber_;  // index: entity number
  std::vector<KXJoinTableDescription> joins_;
  std::unordered_map<const KXEntityDescription*, std::vector<const KXRelationshipDescription*>>
      foreignKeys_;
  std::vector<std::pair<std::string, std::string>> indexes_;
};

#endif  // ZN_DATA_KXMODEL_H_
