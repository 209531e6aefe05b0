#include "Data/store/KXModel.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

const char* KXAttributeTypeName(KXAttributeType type) {
  switch (type) {
    case KXAttributeType::String: return "text";
    case KXAttributeType::Integer: return "integer";
    case KXAttributeType::Boolean: return "Boolean";
    case KXAttributeType::Time: return "time";
    case KXAttributeType::Bytes: return "bytes";
    case KXAttributeType::Any: return "any";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// Coercion
// ---------------------------------------------------------------------------

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool ParseInteger(std::string_view text, std::int64_t* out) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseDouble(std::string_view text, double* out) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size() && std::isfinite(*out);
}

// Doubles in [-2^63, 2^63) convert to int64 without overflow.
bool DoubleToInteger(double d, std::int64_t* out) {
  if (!std::isfinite(d)) return false;
  double t = std::trunc(d);
  if (t < -9223372036854775808.0 || t >= 9223372036854775808.0) return false;
  *out = static_cast<std::int64_t>(t);
  return true;
}

bool ToInteger(const kx::Value& in, bool acceptDate, std::int64_t* out, std::string* why) {
  switch (in.kind()) {
    case kx::Value::Kind::Int64: *out = in.intValue(); return true;
    case kx::Value::Kind::UInt64:
      if (in.unsignedValue() >
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        if (why) *why = "the number is too large";
        return false;
      }
      *out = static_cast<std::int64_t>(in.unsignedValue());
      return true;
    case kx::Value::Kind::Bool: *out = in.boolValue() ? 1 : 0; return true;
    case kx::Value::Kind::Double:
      if (!DoubleToInteger(in.doubleValue(), out)) {
        if (why) *why = "the number is out of range";
        return false;
      }
      return true;
    case kx::Value::Kind::Date:
      if (!acceptDate) break;
      if (!DoubleToInteger(std::floor(in.dateValue()), out)) {
        if (why) *why = "the date is out of range";
        return false;
      }
      return true;
    case kx::Value::Kind::String: {
      if (ParseInteger(in.string(), out)) return true;
      double d = 0;
      if (ParseDouble(in.string(), &d) && DoubleToInteger(d, out)) return true;
      if (why) *why = "the text \"" + in.string() + "\" is not a number";
      return false;
    }
    default: break;
  }
  if (why) *why = "a value of kind " + in.description() + " is not a number";
  return false;
}

}  // namespace

bool KXAttributeDescription::coerce(const kx::Value& in, kx::Value* out, std::string* why) const {
  return coerce(type_, in, out, why);
}

bool KXAttributeDescription::coerce(KXAttributeType type, const kx::Value& in, kx::Value* out,
                                    std::string* why) {
  if (in.isNull()) {
    *out = kx::Value();
    return true;
  }
  switch (type) {
    case KXAttributeType::String:
      if (in.isString()) {
        *out = in;
        return true;
      }
      if (in.isNumber() || in.isBool()) {
        *out = kx::Value(in.stringValue());
        return true;
      }
      if (why) *why = "text expected";
      return false;
    case KXAttributeType::Integer:
    case KXAttributeType::Time: {
      std::int64_t v = 0;
      if (!ToInteger(in, type == KXAttributeType::Time, &v, why)) return false;
      *out = kx::Value(static_cast<long long>(v));
      return true;
    }
    case KXAttributeType::Boolean: {
      switch (in.kind()) {
        case kx::Value::Kind::Bool: *out = in; return true;
        case kx::Value::Kind::Int64:
        case kx::Value::Kind::UInt64:
        case kx::Value::Kind::Double:
          *out = kx::Value(in.doubleValue() != 0.0 || in.intValue() != 0);
          return true;
        case kx::Value::Kind::String: {
          std::string t(Trim(in.string()));
          for (char& c : t) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
          }
          if (t == "yes" || t == "true") {
            *out = kx::Value(true);
            return true;
          }
          if (t == "no" || t == "false") {
            *out = kx::Value(false);
            return true;
          }
          double d = 0;
          if (ParseDouble(t, &d)) {
            *out = kx::Value(d != 0.0);
            return true;
          }
          if (why) *why = "the text \"" + in.string() + "\" is not a Boolean";
          return false;
        }
        default:
          if (why) *why = "a Boolean expected";
          return false;
      }
    }
    case KXAttributeType::Bytes:
      if (in.isData()) {
        *out = in;
        return true;
      }
      if (in.isString()) {
        *out = kx::Value::data(in.string().data(), in.string().size());
        return true;
      }
      if (why) *why = "bytes expected";
      return false;
    case KXAttributeType::Any:
      switch (in.kind()) {
        case kx::Value::Kind::Bool:
          *out = kx::Value(static_cast<long long>(in.boolValue() ? 1 : 0));
          return true;
        case kx::Value::Kind::UInt64:
          if (in.unsignedValue() <=
              static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            *out = kx::Value(static_cast<long long>(in.unsignedValue()));
          } else {
            *out = kx::Value(static_cast<double>(in.unsignedValue()));
          }
          return true;
        case kx::Value::Kind::Date: *out = kx::Value(in.dateValue()); return true;
        case kx::Value::Kind::Double:
          if (!std::isfinite(in.doubleValue())) {
            if (why) *why = "the number is not finite";
            return false;
          }
          *out = in;
          return true;
        case kx::Value::Kind::Int64:
        case kx::Value::Kind::String:
        case kx::Value::Kind::Data: *out = in; return true;
        default:
          if (why) *why = "a number, text or bytes expected";
          return false;
      }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Entities
// ---------------------------------------------------------------------------

bool KXEntityDescription::isKindOfEntity(const KXEntityDescription& other) const {
  for (const KXEntityDescription* e = this; e; e = e->parent_) {
    if (e == &other) return true;
  }
  return false;
}

bool KXEntityDescription::isKindOfEntity(std::string_view otherName) const {
  for (const KXEntityDescription* e = this; e; e = e->parent_) {
    if (e->name_ == otherName) return true;
  }
  return false;
}

std::vector<std::string> KXEntityDescription::propertyNames() const {
  std::vector<std::string> names;
  names.reserve(properties_.size());
  for (const auto* p : properties_) names.push_back(p->name());
  return names;
}

const KXPropertyDescription* KXEntityDescription::property(std::string_view name) const {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second;
}

const KXAttributeDescription* KXEntityDescription::attribute(std::string_view name) const {
  const KXPropertyDescription* p = property(name);
  return p && p->isAttribute() ? static_cast<const KXAttributeDescription*>(p) : nullptr;
}

const KXRelationshipDescription* KXEntityDescription::relationship(std::string_view name) const {
  const KXPropertyDescription* p = property(name);
  return p && p->isRelationship() ? static_cast<const KXRelationshipDescription*>(p) : nullptr;
}

std::shared_ptr<KXManagedObject> KXEntityDescription::newObject() const { return factory_(); }

// ---------------------------------------------------------------------------
// The model
// ---------------------------------------------------------------------------

const KXModel& KXModel::shared() {
  static const KXModel* model = new KXModel();
  return *model;
}

KXModel::KXModel() : name_("ZarvelMetaModel") { build(); }

const KXEntityDescription* KXModel::entity(std::string_view name) const {
  auto it = byName_.find(name);
  return it == byName_.end() ? nullptr : it->second;
}

const KXEntityDescription* KXModel::entityForNumber(int number) const {
  if (number < 0 || static_cast<std::size_t>(number) >= byNumber_.size()) return nullptr;
  return byNumber_[static_cast<std::size_t>(number)];
}

const std::vector<const KXRelationshipDescription*>& KXModel::foreignKeysInto(
    const KXEntityDescription& table) const {
  static const std::vector<const KXRelationshipDescription*> none;
  auto it = foreignKeys_.find(&table.rootEntity());
  return it == foreignKeys_.end() ? none : it->second;
}

void KXModel::build() {
  std::vector<EntitySpec> specs = entitySpecs();
  for (EntitySpec& spec : specs) {
    auto e = std::make_unique<KXEntityDescription>();
    e->name_ = spec.name;
    e->className_ = spec.className;
    e->number_ = spec.number;
    e->parentName_ = spec.parent;
    e->factory_ = std::move(spec.factory);
    for (const AttributeSpec& a : spec.attributes) {
      e->ownProperties_.push_back(std::make_unique<KXAttributeDescription>(a.name, a.type));
    }
    for (const RelationshipSpec& r : spec.relationships) {
      e->ownProperties_.push_back(
          std::make_unique<KXRelationshipDescription>(r.name, r.toMany, r.destination, r.inverse));
    }
    for (auto& p : e->ownProperties_) p->entity_ = e.get();
    byName_[e->name_] = e.get();
    if (byNumber_.size() <= static_cast<std::size_t>(e->number_)) {
      byNumber_.resize(static_cast<std::size_t>(e->number_) + 1, nullptr);
    }
    byNumber_[static_cast<std::size_t>(e->number_)] = e.get();
    entityList_.push_back(e.get());
    owned_.push_back(std::move(e));
  }

  // Inheritance. Parents come before their children in the list.
  for (auto& owned : owned_) {
    KXEntityDescription* e = owned.get();
    if (!e->parentName_.empty()) {
      auto* parent = const_cast<KXEntityDescription*>(entity(e->parentName_));
      e->parent_ = parent;
      parent->children_.push_back(e);
      e->root_ = parent->root_;
    } else {
      e->root_ = e;
      roots_.push_back(e);
    }
    if (e->parent_) {
      e->properties_ = e->parent_->properties_;
      e->attributes_ = e->parent_->attributes_;
      e->relationships_ = e->parent_->relationships_;
      e->byName_ = e->parent_->byName_;
    }
    for (auto& p : e->ownProperties_) {
      e->properties_.push_back(p.get());
      e->byName_[p->name()] = p.get();
      if (p->isAttribute()) {
        e->attributes_.push_back(static_cast<KXAttributeDescription*>(p.get()));
      } else {
        e->relationships_.push_back(static_cast<KXRelationshipDescription*>(p.get()));
      }
    }
  }
  for (auto& owned : owned_) {
    KXEntityDescription* e = owned.get();
    for (const KXEntityDescription* k = e; k; k = k->parent_) {
      const_cast<KXEntityDescription*>(k)->kindNumbers_.push_back(e->number_);
    }
  }

  // Relationships: destinations and inverses.
  for (auto& owned : owned_) {
    for (auto& p : owned->ownProperties_) {
      if (!p->isRelationship()) continue;
      auto* rel = static_cast<KXRelationshipDescription*>(p.get());
      rel->destination_ = entity(rel->destinationName_);
      if (!rel->inverseName_.empty())
        rel->inverse_ = rel->destination_->relationship(rel->inverseName_);
    }
  }

  // Columns: every attribute of the root and its descendants, then one
  // foreign key per to-one relationship, in declaration order.
  for (const KXEntityDescription* root : roots_) {
    auto* r = const_cast<KXEntityDescription*>(root);
    std::vector<KXEntityDescription*> family;
    std::vector<KXEntityDescription*> stack{r};
    while (!stack.empty()) {
      KXEntityDescription* e = stack.front();
      stack.erase(stack.begin());
      family.push_back(e);
      for (const auto* c : e->children_) stack.push_back(const_cast<KXEntityDescription*>(c));
    }
    for (KXEntityDescription* e : family) {
      for (auto& p : e->ownProperties_) {
        if (p->isAttribute()) {
          auto* a = static_cast<KXAttributeDescription*>(p.get());
          a->column_ = static_cast<int>(r->columns_.size());
          r->columns_.push_back({a->name(), a->type(), nullptr});
        }
      }
    }
    for (KXEntityDescription* e : family) {
      for (auto& p : e->ownProperties_) {
        auto* rel =
            p->isRelationship() ? static_cast<KXRelationshipDescription*>(p.get()) : nullptr;
        if (!rel || rel->isToMany()) continue;
        rel->storage_ = KXRelationshipDescription::Storage::ForeignKey;
        rel->column_ = static_cast<int>(r->columns_.size());
        r->columns_.push_back(
            {rel->name(), KXAttributeType::Integer, &rel->destination_->rootEntity()});
        foreignKeys_[&rel->destination_->rootEntity()].push_back(rel);
      }
    }
  }

  // To-many relationships: answered by the inverse's foreign key, or by a
  // join table when both sides are to-many.
  for (auto& owned : owned_) {
    for (auto& p : owned->ownProperties_) {
      auto* rel = p->isRelationship() ? static_cast<KXRelationshipDescription*>(p.get()) : nullptr;
      if (!rel || !rel->isToMany()) continue;
      if (rel->inverse_ && !rel->inverse_->isToMany()) {
        rel->storage_ = KXRelationshipDescription::Storage::InverseForeignKey;
        rel->column_ = rel->inverse_->column_;
        continue;
      }
      rel->storage_ = KXRelationshipDescription::Storage::JoinTable;
      const std::string& a = owned->rootEntity().name();
      const std::string& b = rel->destination_->rootEntity().name();
      // One table per pair, named after the side declared first.
      std::string joinName;
      for (const auto& j : joins_) {
        if ((j.firstTable == &owned->rootEntity() &&
             j.secondTable == &rel->destination_->rootEntity()) ||
            (j.secondTable == &owned->rootEntity() &&
             j.firstTable == &rel->destination_->rootEntity())) {
          joinName = j.name;
        }
      }
      if (joinName.empty()) {
        joinName = "Z_" + a + "_" + rel->name();
        joins_.push_back({joinName, a, b, &owned->rootEntity(), &rel->destination_->rootEntity()});
      }
      rel->joinTable_ = joinName;
      rel->joinSourceColumn_ = a;
      rel->joinDestinationColumn_ = b;
    }
  }

  for (const KXEntityDescription* root : roots_) {
    if (root->columns_.size() > kMaxColumns) std::abort();  // a model error: raise kMaxColumns
  }
  for (auto& owned : owned_) {
    KXEntityDescription* e = owned.get();
    const auto& cols = e->columns();
    e->columnAttributes_.assign(cols.size(), nullptr);
    for (const KXAttributeDescription* a : e->attributes_) {
      e->columnAttributes_[static_cast<std::size_t>(a->column())] = a;
    }
  }

  indexes_ = {
      {"FileMeta", "fileId"},     {"FileMeta", "parentId"}, {"FileMeta", "shareLinkInfo"},
      {"Resource", "fileId"},     {"Resource", "entry"},    {"ResourceEntry", "dataHash"},
      {"Tag", "tagId"},           {"DbState", "stateKey"},  {"ShareLink", "entryId"},
      {"CloudPen", "entryId"},    {"FailedInfo", "fileId"}, {"Statistic", "statisKey"},
      {"OperationLog", "opType"},
  };
}
