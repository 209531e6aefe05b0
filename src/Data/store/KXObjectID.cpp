#include "Data/store/KXObjectID.h"

#include <charconv>
#include <ostream>

#include "Data/store/KXModel.h"

namespace {
constexpr std::string_view kScheme = "kxstore://";
}  // namespace

KXObjectID::KXObjectID(const KXEntityDescription* table, std::int64_t primaryKey)
    : table_(table ? &table->rootEntity() : nullptr), primaryKey_(primaryKey) {}

std::string KXObjectID::uriRepresentation() const {
  if (isNull()) return {};
  std::string out(kScheme);
  out += table_->tableName();
  out += '/';
  out += std::to_string(primaryKey_);
  return out;
}

kx::Value KXObjectID::toValue() const {
  if (isNull()) return kx::Value();
  return kx::Value(uriRepresentation());
}

KXObjectID KXObjectID::fromURI(std::string_view uri) {
  if (uri.substr(0, kScheme.size()) != kScheme) return {};
  uri.remove_prefix(kScheme.size());
  std::size_t slash = uri.find('/');
  if (slash == std::string_view::npos) return {};
  const KXEntityDescription* entity = KXModel::shared().entity(uri.substr(0, slash));
  if (!entity || !entity->isRootEntity()) return {};
  std::string_view digits = uri.substr(slash + 1);
  std::int64_t key = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), key);
  if (ec != std::errc() || end != digits.data() + digits.size() || key <= 0) return {};
  return KXObjectID(entity, key);
}

KXObjectID KXObjectID::fromValue(const kx::Value& value) {
  if (!value.isString()) return {};
  return fromURI(value.string());
}

bool KXObjectID::operator<(const KXObjectID& other) const {
  if (table_ != other.table_) {
    if (!table_ || !other.table_) return table_ == nullptr;
    return table_->entityNumber() < other.table_->entityNumber();
  }
  return primaryKey_ < other.primaryKey_;
}

void PrintTo(const KXObjectID& id, std::ostream* os) {
  *os << (id.isNull() ? std::string("<null object ID>") : id.uriRepresentation());
}
