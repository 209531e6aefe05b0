// KXObjectID names one row of the note store: the table (the root entity of
// the row's kind) and the row's primary key. It is a plain value, valid on
// every queue and in every context of the same store, and permanent from the
// moment the object is inserted (the key is given out at insert time and is
// never reused). Queues hand IDs to each other, never objects.
//
// An ID travels inside dictionaries (the "identity" of a modify item, the
// did-save notification) as its text form "kxstore://<table>/<key>",
// toValue()/fromValue().
//
// Thread safety: a plain value.
#ifndef ZN_DATA_KXOBJECTID_H_
#define ZN_DATA_KXOBJECTID_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "platform/Value.h"

class KXEntityDescription;

class KXObjectID {
 public:
  KXObjectID() = default;
  KXObjectID(const KXEntityDescription* table, std::int64_t primaryKey);

  bool isNull() const { return table_ == nullptr || primaryKey_ <= 0; }
  explicit operator bool() const { return !isNull(); }
  // The root entity that owns the row's table; nullptr for a null ID.
  const KXEntityDescription* table() const { return table_; }
  std::int64_t primaryKey() const { return primaryKey_; }

  // "kxstore://FileMeta/42"; "" for a null ID.
  std::string uriRepresentation() const;
  kx::Value toValue() const;
  // A null ID when the text names no table of the model or no positive key.
  static KXObjectID fromURI(std::string_view uri);
  // Accepts the text form; anything else gives a null ID.
  static KXObjectID fromValue(const kx::Value& value);

  bool operator==(const KXObjectID& other) const {
    return table_ == other.table_ && primaryKey_ == other.primaryKey_;
  }
  bool operator!=(const KXObjectID& other) const { return !(*this == other); }
  bool operator<(const KXObjectID& other) const;

 private:
  const KXEntityDescription* table_ = nullptr;
  std::int64_t primaryKey_ = 0;
};

struct KXObjectIDHash {
  std::size_t operator()(const KXObjectID& id) const {
    return std::hash<const void*>{}(id.table()) ^
           (std::hash<std::int64_t>{}(id.primaryKey()) * 0x9E3779B97F4A7C15ULL);
  }
};

void PrintTo(const KXObjectID& id, std::ostream* os);

#endif  // ZN_DATA_KXOBJECTID_H_
