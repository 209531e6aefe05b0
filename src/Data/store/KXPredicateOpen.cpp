// KXPredicate's open conditions: the SQL of a condition text written once
// with its %@ left open, and the arguments of each use converted and bound
// the way a condition parsed with them would bind them.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "Data/store/KXModel.h"
#include "Data/store/KXPredicate.h"
#include "Data/store/KXPredicateNode.h"
#include "Data/store/KXStoreSchema.h"

using namespace kx::predicate_internal;

namespace {

// The comparison operators whose SQL is "column op ?" for every non-nil
// value, as the SQL generator writes them.
const char* ScalarOperator(Op op) {
  switch (op) {
    case Op::Eq: return " = ?";
    case Op::Ne: return " IS NOT ?";
    case Op::Lt: return " < ?";
    case Op::Le: return " <= ?";
    case Op::Gt: return " > ?";
    case Op::Ge: return " >= ?";
    default: return nullptr;
  }
}

bool AppendOpenSQL(const Node& node, const KXEntityDescription& entity, std::string_view alias,
                   std::string* sql, std::vector<KXPredicate::OpenBinding>* bindings) {
  switch (node.kind) {
    case Node::Kind::Not:
      *sql += "NOT coalesce((";
      if (!AppendOpenSQL(*node.children[0], entity, alias, sql, bindings)) return false;
      *sql += "), 0)";
      return true;
    case Node::Kind::And:
    case Node::Kind::Or: {
      *sql += "(";
      bool first = true;
      for (const auto& child : node.children) {
        if (!first) *sql += node.kind == Node::Kind::And ? " AND " : " OR ";
        first = false;
        if (!AppendOpenSQL(*child, entity, alias, sql, bindings)) return false;
      }
      *sql += ")";
      return true;
    }
    case Node::Kind::True:
    case Node::Kind::False:
    case Node::Kind::Compare: break;
  }
  if (node.argument < 0) {
    // A comparison with a constant of the text: the generator's own SQL.
    std::vector<kx::Value> fixed;
    if (!AppendNodeSQL(node, entity, alias, sql, &fixed, nullptr)) return false;
    for (kx::Value& value : fixed) {
      KXPredicate::OpenBinding binding;
      binding.fixed = std::move(value);
      bindings->push_back(std::move(binding));
    }
    return true;
  }
  if (node.count) return false;
  const KXAttributeDescription* attribute = entity.attribute(node.key);
  if (!attribute) return false;  // a relationship, or no such key
  const std::string column =
      std::string(alias) + "." + KXStoreSchema::quoteIdentifier(attribute->name());
  KXPredicate::OpenBinding binding;
  binding.argument = node.argument;
  binding.type = static_cast<int>(attribute->type());
  if (node.op == Op::In) {
    if (attribute->type() == KXAttributeType::Bytes || attribute->type() == KXAttributeType::Any) {
      return false;
    }
    // Any length of list is one "?": the form the generator takes for long
    // lists, which selects the same rows as one "?" per value.
    *sql += column + " IN (SELECT value FROM json_each(?))";
    binding.list = true;
  } else {
    const char* op = ScalarOperator(node.op);
    if (!op) return false;
    *sql += column + op;
  }
  bindings->push_back(std::move(binding));
  return true;
}

}  // namespace

bool KXPredicate::openSQL(std::string_view format, const KXEntityDescription& entity,
                          std::string_view alias, std::string* sql,
                          std::vector<OpenBinding>* bindings, std::size_t* placeholders) {
  NodePtr root = ParseOpen(format, placeholders);
  if (!root) return false;
  return AppendOpenSQL(*root, entity, alias, sql, bindings);
}

bool KXPredicate::bindOpen(const std::vector<OpenBinding>& bindings, std::size_t placeholders,
                           const kx::Array& arguments, std::vector<kx::Value>* values) {
  if (arguments.size() < placeholders) return false;
  values->clear();
  values->reserve(bindings.size());
  std::string why;
  for (const OpenBinding& binding : bindings) {
    if (binding.argument < 0) {
      values->push_back(binding.fixed);
      continue;
    }
    const kx::Value& given = arguments[static_cast<std::size_t>(binding.argument)];
    const auto type = static_cast<KXAttributeType>(binding.type);
    if (!binding.list) {
      // Nil is "IS NULL" in the generator's SQL, not "= ?".
      if (given.isNull() || given.isArray() || given.isDictionary()) return false;
      kx::Value converted;
      if (!CoerceConstant(type, given, &converted, &why) || converted.isNull()) return false;
      values->push_back(std::move(converted));
      continue;
    }
    if (!given.isArray()) return false;
    std::vector<kx::Value> list;
    list.reserve(given.array().size());
    for (const kx::Value& element : given.array()) {
      if (element.isNull()) continue;
      kx::Value converted;
      if (!CoerceConstant(type, element, &converted, &why)) return false;
      list.push_back(std::move(converted));
    }
    // An empty list matches nothing: "0" in the generator's SQL.
    if (list.empty()) return false;
    std::string json;
    if (!JSONList(list, false, &json)) return false;
    values->emplace_back(std::move(json));
  }
  return true;
}
