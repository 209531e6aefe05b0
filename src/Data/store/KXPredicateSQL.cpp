// KXPredicate's SQL generator: nodes to a WHERE expression and its
// bindings, with the same two-valued rules the evaluator keeps.

#include "Data/store/KXPredicate.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Data/store/KXModel.h"
#include "Data/store/KXPredicateNode.h"
#include "Data/store/KXStoreSchema.h"

using namespace kx::predicate_internal;

namespace {

std::string QuoteIdentifier(std::string_view name) { return KXStoreSchema::quoteIdentifier(name); }

// ---------------------------------------------------------------------------
// SQL
// ---------------------------------------------------------------------------

// A statement may hold only so many "?" (32766 by SQLite's default, 250000
// in Debian's build), and a caller's IN list can be longer. A list of more
// than kInlineInList values is bound as one JSON array and read back with
// json_each, so the statement has one "?" for it whatever its length (and
// its text, cached by the connection, does not depend on the length).
// Bytes travel as upper-case hex and are compared with hex() of the column.
// Only a list that JSON cannot carry exactly (bytes on the free-typed
// DbState value, a number that is not finite or beyond 64 bits, text with
// a NUL) keeps one "?" per value.
constexpr std::size_t kInlineInList = 64;

void AppendJSONString(std::string_view text, std::string* out) {
  static const char* const kHex = "0123456789abcdef";
  *out += '"';
  for (unsigned char ch : text) {
    if (ch == '"' || ch == '\\') {
      *out += '\\';
      *out += static_cast<char>(ch);
    } else if (ch < 0x20) {
      *out += "\\u00";
      *out += kHex[ch >> 4];
      *out += kHex[ch & 15];
    } else {
      *out += static_cast<char>(ch);
    }
  }
  *out += '"';
}

}  // namespace

bool kx::predicate_internal::JSONList(const std::vector<kx::Value>& list, bool hexBytes,
                                      std::string* out) {
  static const char* const kHex = "0123456789ABCDEF";
  out->clear();
  *out += '[';
  for (std::size_t i = 0; i < list.size(); ++i) {
    const kx::Value& v = list[i];
    if (i) *out += ',';
    if (hexBytes) {
      if (!v.isData()) return false;
      *out += '"';
      for (std::uint8_t b : v.bytes()) {
        *out += kHex[b >> 4];
        *out += kHex[b & 15];
      }
      *out += '"';
      continue;
    }
    switch (v.kind()) {
      case kx::Value::Kind::Bool: *out += v.boolValue() ? '1' : '0'; break;
      case kx::Value::Kind::Int64: *out += std::to_string(v.intValue()); break;
      case kx::Value::Kind::UInt64:
        if (v.unsignedValue() > static_cast<std::uint64_t>(INT64_MAX)) return false;
        *out += std::to_string(v.unsignedValue());
        break;
      case kx::Value::Kind::Double:
      case kx::Value::Kind::Date: {
        double d = v.kind() == kx::Value::Kind::Date ? v.dateValue() : v.doubleValue();
        if (!std::isfinite(d)) return false;
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", d);
        *out += buffer;
        // Keep it a real number for SQLite, as the bound value would be.
        if (!std::strpbrk(buffer, ".eE")) *out += ".0";
        break;
      }
      case kx::Value::Kind::String:
        if (v.string().find('\0') != std::string::npos) return false;
        AppendJSONString(v.string(), out);
        break;
      default: return false;
    }
  }
  *out += ']';
  return true;
}

namespace {

[[nodiscard]] bool AppendSQL(const MutableNode& node, const KXEntityDescription& entity,
                             std::string_view alias, std::string* sql,
                             std::vector<kx::Value>* binds, kx::Error* error) {
  switch (node.kind) {
    case MutableNode::Kind::True: *sql += "1"; return true;
    case MutableNode::Kind::False: *sql += "0"; return true;
    case MutableNode::Kind::Not:
      // Children may yield NULL where the platform says false; coalesce turns
      // that into 0 before negating, so NOT stays two-valued.
      *sql += "NOT coalesce((";
      if (!AppendSQL(*node.children[0], entity, alias, sql, binds, error)) return false;
      *sql += "), 0)";
      return true;
    case MutableNode::Kind::And:
    case MutableNode::Kind::Or: {
      *sql += "(";
      bool first = true;
      for (const auto& child : node.children) {
        if (!first) *sql += node.kind == MutableNode::Kind::And ? " AND " : " OR ";
        first = false;
        if (!AppendSQL(*child, entity, alias, sql, binds, error)) return false;
      }
      *sql += ")";
      return true;
    }
    case MutableNode::Kind::Compare: break;
  }
  Resolved r;
  if (!Resolve(node, entity, &r, error)) return false;
  std::string prefix = std::string(alias) + ".";

  if (r.relationship && !node.count) {
    std::int64_t key = 0;
    if (!ToOneKey(node, *r.relationship, &key, error)) return false;
    std::string col = prefix + QuoteIdentifier(r.relationship->name());
    if (key == 0) {
      *sql += col + (node.op == Op::Eq ? " IS NULL" : " IS NOT NULL");
    } else {
      *sql += col + (node.op == Op::Eq ? " = ?" : " IS NOT ?");
      binds->push_back(kx::Value(static_cast<long long>(key)));
    }
    return true;
  }

  std::string lhs;
  const TypedConstant* c = nullptr;
  if (node.count) {
    c = ConstantFor(node, KXAttributeType::Integer, node.key + ".@count", error);
    if (!c) return false;
    const KXRelationshipDescription& rel = *r.relationship;
    if (rel.storage() == KXRelationshipDescription::Storage::JoinTable) {
      lhs = "(SELECT count(*) FROM " + QuoteIdentifier(rel.joinTable()) + " WHERE " +
            QuoteIdentifier(rel.joinSourceColumn()) + " = " + prefix + "\"Z_PK\")";
    } else {
      const KXEntityDescription& dest = rel.destination();
      lhs = "(SELECT count(*) FROM " + QuoteIdentifier(dest.tableName()) + " WHERE " +
            QuoteIdentifier(dest.columns()[static_cast<std::size_t>(rel.column())].name) + " = " +
            prefix + "\"Z_PK\")";
    }
  } else {
    c = ConstantFor(node, r.attribute->type(), node.key, error);
    if (!c) return false;
    lhs = prefix + QuoteIdentifier(r.attribute->name());
  }

  switch (node.op) {
    case Op::In: {
      if (c->list.empty()) {
        *sql += "0";
        return true;
      }
      if (c->list.size() > kInlineInList) {
        const bool bytes = !node.count && r.attribute->type() == KXAttributeType::Bytes;
        std::string json;
        if (JSONList(c->list, bytes, &json)) {
          if (bytes) {
            *sql += "(typeof(" + lhs + ") = 'blob' AND hex(" + lhs +
                    ") IN (SELECT value FROM json_each(?)))";
          } else {
            *sql += lhs + " IN (SELECT value FROM json_each(?))";
          }
          binds->push_back(kx::Value(std::move(json)));
          return true;
        }
      }
      *sql += lhs + " IN (";
      for (std::size_t i = 0; i < c->list.size(); ++i) {
        *sql += i ? ",?" : "?";
        binds->push_back(c->list[i]);
      }
      *sql += ")";
      return true;
    }
    case Op::Contains:
    case Op::EndsWith: {
      if (!c->hasNeedle || c->needle.empty()) {
        *sql += "0";
        return true;
      }
      kx::Value needle = kx::Value::data(c->needle.data(), c->needle.size());
      if (node.op == Op::Contains) {
        *sql += "instr(CAST(" + lhs + " AS BLOB), ?) > 0";
      } else {
        *sql += "substr(CAST(" + lhs + " AS BLOB), -" + std::to_string(c->needle.size()) + ") = ?";
      }
      binds->push_back(std::move(needle));
      return true;
    }
    default: break;
  }
  if (c->scalar.isNull()) {
    if (node.op == Op::Eq)
      *sql += lhs + " IS NULL";
    else if (node.op == Op::Ne)
      *sql += lhs + " IS NOT NULL";
    else
      *sql += "0";
    return true;
  }
  switch (node.op) {
    case Op::Eq: *sql += lhs + " = ?"; break;
    case Op::Ne: *sql += lhs + " IS NOT ?"; break;
    case Op::Lt: *sql += lhs + " < ?"; break;
    case Op::Le: *sql += lhs + " <= ?"; break;
    case Op::Gt: *sql += lhs + " > ?"; break;
    case Op::Ge: *sql += lhs + " >= ?"; break;
    default: break;
  }
  binds->push_back(c->scalar);
  return true;
}

}  // namespace

bool kx::predicate_internal::AppendNodeSQL(const Node& node, const KXEntityDescription& entity,
                                           std::string_view alias, std::string* sql,
                                           std::vector<kx::Value>* binds, kx::Error* error) {
  return AppendSQL(node, entity, alias, sql, binds, error);
}

bool KXPredicate::appendSQL(const KXEntityDescription& entity, std::string_view alias,
                            std::string* sql, std::vector<kx::Value>* bindings,
                            kx::Error* error) const {
  return AppendSQL(*root_, entity, alias, sql, bindings, error);
}
