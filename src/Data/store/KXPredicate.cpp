// KXPredicate: the compounds, validation against an entity, the canonical
// text, and what the SQL generator and the evaluator share (key resolution
// and constant conversion). The parser, the SQL generator and the evaluator
// are in KXPredicateParser.cpp, KXPredicateSQL.cpp and
// KXPredicateEvaluator.cpp.

#include "Data/store/KXPredicate.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Data/store/KXModel.h"
#include "Data/store/KXObjectID.h"
#include "Data/store/KXPredicateNode.h"
#include "Data/store/KXStoreError.h"

namespace kx::predicate_internal {

const char* OpText(Op op) {
  switch (op) {
    case Op::Eq: return "==";
    case Op::Ne: return "!=";
    case Op::Lt: return "<";
    case Op::Le: return "<=";
    case Op::Gt: return ">";
    case Op::Ge: return ">=";
    case Op::In: return "IN";
    case Op::Contains: return "CONTAINS";
    case Op::EndsWith: return "ENDSWITH";
  }
  return "?";
}

std::string_view BytesOf(const kx::Value& v) {
  if (v.isString()) return v.string();
  if (v.isData()) {
    const kx::Bytes& b = v.bytes();
    return {reinterpret_cast<const char*>(b.data()), b.size()};
  }
  return {};
}

std::string FormatConstant(const kx::Value& v) {
  switch (v.kind()) {
    case kx::Value::Kind::Null: return "nil";
    case kx::Value::Kind::Bool: return v.boolValue() ? "YES" : "NO";
    case kx::Value::Kind::String: {
      std::string out = "\"";
      for (char c : v.string()) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      return out + "\"";
    }
    case kx::Value::Kind::Array: {
      std::string out = "{";
      bool first = true;
      for (const kx::Value& e : v.array()) {
        if (!first) out += ", ";
        first = false;
        out += FormatConstant(e);
      }
      return out + "}";
    }
    default: return v.isNumber() ? v.stringValue() : v.description();
  }
}

[[nodiscard]] bool Resolve(const MutableNode& node, const KXEntityDescription& entity,
                           Resolved* out, kx::Error* error) {
  const KXPropertyDescription* p = entity.property(node.key);
  if (!p) {
    kx::SetError(error,
                 KXStoreMakeError(kKXStoreUnknownKeyError, "The entity " + entity.name() +
                                                               " has no key \"" + node.key + "\""));
    return false;
  }
  if (node.count) {
    if (p->kind() != KXPropertyDescription::Kind::ToMany) {
      kx::SetError(error, KXStoreMakeError(kKXStoreUnknownKeyError,
                                           "\"" + node.key + "\" of " + entity.name() +
                                               " is not a to-many relationship"));
      return false;
    }
    out->relationship = static_cast<const KXRelationshipDescription*>(p);
    return true;
  }
  if (p->isAttribute()) {
    out->attribute = static_cast<const KXAttributeDescription*>(p);
    return true;
  }
  if (p->kind() == KXPropertyDescription::Kind::ToOne && (node.op == Op::Eq || node.op == Op::Ne)) {
    out->relationship = static_cast<const KXRelationshipDescription*>(p);
    return true;
  }
  kx::SetError(error,
               KXStoreMakeError(
                   kKXStoreTypeError,
                   "The relationship \"" + node.key + "\" of " + entity.name() +
                       " can only be compared with nil or an object ID" +
                       (p->kind() == KXPropertyDescription::Kind::ToMany ? " (use .@count)" : "")));
  return false;
}

const TypedConstant* ConstantFor(const MutableNode& node, KXAttributeType type,
                                 const std::string& what, kx::Error* error) {
  const TypedConstant& t = node.forType(type);
  if (!t.ok) {
    kx::SetError(error,
                 KXStoreMakeError(kKXStoreTypeError,
                                  "Cannot compare " + what + " (" + KXAttributeTypeName(type) +
                                      ") with " + FormatConstant(node.constant) + ": " + t.why));
    return nullptr;
  }
  return &t;
}

// The row key named by a to-one comparison's constant: 0 for nil, -1 for an
// ID of another table (matches nothing), or the key.
[[nodiscard]] bool ToOneKey(const MutableNode& node, const KXRelationshipDescription& rel,
                            std::int64_t* key, kx::Error* error) {
  if (node.constant.isNull()) {
    *key = 0;
    return true;
  }
  KXObjectID id = KXObjectID::fromValue(node.constant);
  if (id.isNull()) {
    kx::SetError(error, KXStoreMakeError(kKXStoreTypeError, "\"" + node.key +
                                                                "\" can only be compared with nil "
                                                                "or an object ID"));
    return false;
  }
  *key = (id.table() == &rel.destination().rootEntity()) ? id.primaryKey() : -1;
  return true;
}

}  // namespace kx::predicate_internal

using namespace kx::predicate_internal;

namespace {

[[nodiscard]] bool Validate(const MutableNode& node, const KXEntityDescription& entity,
                            kx::Error* error) {
  if (node.kind != MutableNode::Kind::Compare) {
    for (const auto& child : node.children) {
      if (!Validate(*child, entity, error)) return false;
    }
    return true;
  }
  Resolved r;
  if (!Resolve(node, entity, &r, error)) return false;
  if (r.attribute) return ConstantFor(node, r.attribute->type(), node.key, error) != nullptr;
  if (node.count) {
    return ConstantFor(node, KXAttributeType::Integer, node.key + ".@count", error) != nullptr;
  }
  std::int64_t key = 0;
  return ToOneKey(node, *r.relationship, &key, error);
}

std::string Format(const MutableNode& node) {
  switch (node.kind) {
    case MutableNode::Kind::True: return "TRUEPREDICATE";
    case MutableNode::Kind::False: return "FALSEPREDICATE";
    case MutableNode::Kind::Not: return "NOT (" + Format(*node.children[0]) + ")";
    case MutableNode::Kind::And:
    case MutableNode::Kind::Or: {
      std::string out = "(";
      bool first = true;
      for (const auto& child : node.children) {
        if (!first) out += node.kind == MutableNode::Kind::And ? " AND " : " OR ";
        first = false;
        out += Format(*child);
      }
      return out + ")";
    }
    case MutableNode::Kind::Compare: break;
  }
  return node.key + (node.count ? ".@count " : " ") + OpText(node.op) + " " +
         FormatConstant(node.constant);
}

}  // namespace

// Converts a constant for comparison with an attribute of `type`: the
// attribute's own conversion, except that a fractional number compared with
// an integer keeps its fraction ("size > 0.5" is not "size > 0").
bool kx::predicate_internal::CoerceConstant(KXAttributeType type, const kx::Value& in,
                                            kx::Value* out, std::string* why) {
  if ((type == KXAttributeType::Integer || type == KXAttributeType::Time) &&
      in.kind() == kx::Value::Kind::Double) {
    double d = in.doubleValue();
    if (std::isfinite(d) && d != std::trunc(d)) {
      *out = in;
      return true;
    }
  }
  return KXAttributeDescription::coerce(type, in, out, why);
}

TypedConstant kx::predicate_internal::Node::convert(KXAttributeType type) const {
  TypedConstant t;
  std::string why;
  if (op == Op::In) {
    if (constant.isNull()) {
      t.ok = true;
      return t;
    }
    for (const kx::Value& e : constant.array()) {
      if (e.isNull()) continue;
      kx::Value c;
      if (!CoerceConstant(type, e, &c, &why)) {
        t.why = why;
        return t;
      }
      if (type == KXAttributeType::String) t.textSet.insert(c.string());
      t.list.push_back(std::move(c));
    }
    t.ok = true;
    return t;
  }
  if (op == Op::Contains || op == Op::EndsWith) {
    if (type != KXAttributeType::String && type != KXAttributeType::Bytes) {
      t.why = std::string(OpText(op)) + " needs a text or bytes attribute";
      return t;
    }
    if (constant.isNull()) {
      t.ok = true;
      return t;
    }
    kx::Value c;
    if (!KXAttributeDescription::coerce(type, constant, &c, &why)) {
      t.why = why;
      return t;
    }
    t.hasNeedle = true;
    t.needle = std::string(BytesOf(c));
    t.ok = true;
    return t;
  }
  if (!CoerceConstant(type, constant, &t.scalar, &why)) {
    t.why = why;
    return t;
  }
  t.ok = true;
  return t;
}

KXPredicatePtr KXPredicate::andPredicate(const std::vector<KXPredicatePtr>& predicates) {
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::And;
  for (const auto& p : predicates) {
    if (p) node->children.push_back(p->root_);
  }
  if (node->children.size() == 1) return std::make_shared<const KXPredicate>(node->children[0]);
  if (node->children.empty()) node->kind = Node::Kind::True;
  return std::make_shared<const KXPredicate>(std::move(node));
}

KXPredicatePtr KXPredicate::orPredicate(const std::vector<KXPredicatePtr>& predicates) {
  auto node = std::make_shared<Node>();
  node->kind = Node::Kind::Or;
  for (const auto& p : predicates) {
    if (p) node->children.push_back(p->root_);
  }
  if (node->children.size() == 1) return std::make_shared<const KXPredicate>(node->children[0]);
  if (node->children.empty()) node->kind = Node::Kind::False;
  return std::make_shared<const KXPredicate>(std::move(node));
}

KXPredicatePtr KXPredicate::notPredicate(const KXPredicatePtr& predicate) {
  auto node = std::make_shared<Node>();
  if (!predicate) {
    node->kind = Node::Kind::False;
  } else {
    node->kind = Node::Kind::Not;
    node->children.push_back(predicate->root_);
  }
  return std::make_shared<const KXPredicate>(std::move(node));
}

bool KXPredicate::validate(const KXEntityDescription& entity, kx::Error* error) const {
  return Validate(*root_, entity, error);
}

std::string KXPredicate::predicateFormat() const { return Format(*root_); }
