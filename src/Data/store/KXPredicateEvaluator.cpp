// KXPredicate's evaluator: tests objects in memory with the rules the SQL
// generator gives SQLite (its ordering of storage classes, two-valued
// comparisons with nil). The only part of the predicate that needs the
// object classes.

#include "Data/store/KXPredicate.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Data/store/KXManagedObject.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXObjectID.h"
#include "Data/store/KXPredicateNode.h"

using namespace kx::predicate_internal;

namespace {

bool IsNumeric(const kx::Value& v) {
  switch (v.kind()) {
    case kx::Value::Kind::Bool:
    case kx::Value::Kind::Int64:
    case kx::Value::Kind::UInt64:
    case kx::Value::Kind::Double:
    case kx::Value::Kind::Date: return true;
    default: return false;
  }
}

// Storage class rank as SQLite orders values: NULL < numbers < text < blobs.
int ClassRank(const kx::Value& v) {
  if (v.isNull()) return 0;
  if (IsNumeric(v)) return 1;
  if (v.isString()) return 2;
  return 3;
}

int CompareNumbers(const kx::Value& a, const kx::Value& b) {
  auto isInt = [](const kx::Value& v) {
    return v.kind() == kx::Value::Kind::Int64 || v.kind() == kx::Value::Kind::Bool;
  };
  if (isInt(a) && isInt(b)) {
    std::int64_t x = a.intValue(), y = b.intValue();
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  auto asLong = [](const kx::Value& v) -> long double {
    switch (v.kind()) {
      case kx::Value::Kind::Int64:
      case kx::Value::Kind::Bool: return static_cast<long double>(v.intValue());
      case kx::Value::Kind::UInt64: return static_cast<long double>(v.unsignedValue());
      case kx::Value::Kind::Date: return static_cast<long double>(v.dateValue());
      default: return static_cast<long double>(v.doubleValue());
    }
  };
  long double x = asLong(a), y = asLong(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// SQLite's comparison of two non-null values.
int CompareScalars(const kx::Value& a, const kx::Value& b) {
  int ra = ClassRank(a), rb = ClassRank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra == 1) return CompareNumbers(a, b);
  int c = BytesOf(a).compare(BytesOf(b));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool EqualScalars(const kx::Value& a, const kx::Value& b) {
  if (ClassRank(a) != ClassRank(b)) return false;
  return CompareScalars(a, b) == 0;
}

// ---------------------------------------------------------------------------
// Evaluation
// ---------------------------------------------------------------------------

bool CompareValue(Op op, const kx::Value& v, const TypedConstant& c) {
  switch (op) {
    case Op::In: {
      if (v.isNull()) return false;
      if (!c.textSet.empty() && v.isString()) return c.textSet.count(v.string()) != 0;
      for (const kx::Value& e : c.list) {
        if (EqualScalars(v, e)) return true;
      }
      return false;
    }
    case Op::Contains:
    case Op::EndsWith: {
      if (!c.hasNeedle || c.needle.empty() || v.isNull()) return false;
      std::string_view hay = BytesOf(v);
      if (op == Op::Contains) return hay.find(c.needle) != std::string_view::npos;
      return hay.size() >= c.needle.size() &&
             hay.compare(hay.size() - c.needle.size(), c.needle.size(), c.needle) == 0;
    }
    default: break;
  }
  if (c.scalar.isNull()) {
    if (op == Op::Eq) return v.isNull();
    if (op == Op::Ne) return !v.isNull();
    return false;
  }
  if (v.isNull()) return op == Op::Ne;
  if (op == Op::Eq) return EqualScalars(v, c.scalar);
  if (op == Op::Ne) return !EqualScalars(v, c.scalar);
  int cmp = CompareScalars(v, c.scalar);
  switch (op) {
    case Op::Lt: return cmp < 0;
    case Op::Le: return cmp <= 0;
    case Op::Gt: return cmp > 0;
    case Op::Ge: return cmp >= 0;
    default: return false;
  }
}

[[nodiscard]] bool Evaluate(const MutableNode& node, const KXManagedObject& object, bool* ok,
                            kx::Error* error) {
  switch (node.kind) {
    case MutableNode::Kind::True: return true;
    case MutableNode::Kind::False: return false;
    case MutableNode::Kind::Not: return !Evaluate(*node.children[0], object, ok, error);
    case MutableNode::Kind::And:
      for (const auto& child : node.children) {
        if (!Evaluate(*child, object, ok, error)) return false;
      }
      return true;
    case MutableNode::Kind::Or:
      for (const auto& child : node.children) {
        if (Evaluate(*child, object, ok, error)) return true;
      }
      return false;
    case MutableNode::Kind::Compare: break;
  }
  Resolved r;
  if (!Resolve(node, object.entity(), &r, error)) {
    *ok = false;
    return false;
  }
  if (r.attribute) {
    const TypedConstant* c = ConstantFor(node, r.attribute->type(), node.key, error);
    if (!c) {
      *ok = false;
      return false;
    }
    return CompareValue(node.op, object.value(*r.attribute), *c);
  }
  if (node.count) {
    const TypedConstant* c =
        ConstantFor(node, KXAttributeType::Integer, node.key + ".@count", error);
    if (!c) {
      *ok = false;
      return false;
    }
    kx::Value count(static_cast<long long>(object.countOfObjects(node.key)));
    return CompareValue(node.op, count, *c);
  }
  std::int64_t key = 0;
  if (!ToOneKey(node, *r.relationship, &key, error)) {
    *ok = false;
    return false;
  }
  KXObjectID current = KXObjectID::fromValue(object.value(node.key));
  bool equal = key == 0 ? current.isNull() : (!current.isNull() && current.primaryKey() == key);
  return node.op == Op::Eq ? equal : !equal;
}

}  // namespace

bool KXPredicate::evaluate(const KXManagedObject& object, kx::Error* error) const {
  bool ok = true;
  bool result = Evaluate(*root_, object, &ok, error);
  return ok && result;
}

std::vector<KXManagedObjectPtr> KXPredicate::filter(const std::vector<KXManagedObjectPtr>& objects,
                                                    kx::Error* error) const {
  std::vector<KXManagedObjectPtr> out;
  bool reported = false;
  for (const auto& object : objects) {
    if (!object) continue;
    bool ok = true;
    kx::Error e;
    bool keep = Evaluate(*root_, *object, &ok, &e);
    if (!ok) {
      if (!reported) kx::SetError(error, e);
      reported = true;
      continue;
    }
    if (keep) out.push_back(object);
  }
  return out;
}
