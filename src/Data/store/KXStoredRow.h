// KXStoredRow is one row of the note store as plain values: its entity, its
// key and one value per table column (KXEntityDescription::columns), as a
// managed object holds them, without the object. Listings that only turn
// rows into text read them this way (KXManagedObjectContext::fetchRows), and
// an object gives the same form of itself (KXManagedObject::storedRow), so
// that code written over rows serves both.
//
// A row also says which context it was read in, for the relationship reads
// that follow it (see KXManagedObjectContext::relatedRows), and carries the
// parent folder's title that a listing put on the entry's object, if any
// (FileMeta::getParentName).
//
// Thread safety: a plain value.
#ifndef ZN_DATA_KXSTOREDROW_H_
#define ZN_DATA_KXSTOREDROW_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

class KXAttributeDescription;
class KXEntityDescription;
class KXManagedObjectContext;

struct KXStoredRow {
  const KXEntityDescription* entity = nullptr;
  std::int64_t key = 0;
  std::vector<kx::Value> values;  // one per table column
  std::weak_ptr<KXManagedObjectContext> context;
  std::optional<std::string> parentName;

  // The attribute's value; Null when the row has no such attribute.
  const kx::Value& value(const KXAttributeDescription& attribute) const;
  const kx::Value& value(std::string_view attributeName) const;
  // The entity is `entityName` or one of its kinds.
  bool isKindOfEntity(std::string_view entityName) const;
};

#endif  // ZN_DATA_KXSTOREDROW_H_
