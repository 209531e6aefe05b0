// The parsed form of a KXPredicate, shared by the files that make up the
// class: the parser (KXPredicateParser.cpp) builds nodes, the SQL generator
// (KXPredicateSQL.cpp) and the evaluator (KXPredicateEvaluator.cpp) read
// them, and KXPredicate.cpp holds what both of those need: the resolution of
// a key against an entity and the conversion of a constant to an attribute's
// type. Only the evaluator needs the object classes. Include this header
// only from src/Data/KXPredicate*.cpp.
//
// Thread safety: a node is immutable once the parser or a compound has made
// it, except for the conversions of its constant, which are made once per
// type under std::call_once; nodes may be shared and read from any thread.

#ifndef ZN_DATA_KXPREDICATENODE_H_
#define ZN_DATA_KXPREDICATENODE_H_

// Internal to src/Data: the folder's library defines ZN_DATA_INTERNAL for its
// own sources, and nothing outside the folder may include this header.
#ifndef ZN_DATA_INTERNAL
#error "KXPredicateNode.h is internal to src/Data; include Data/KXPredicate.h instead"
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Data/store/KXModel.h"
#include "platform/Error.h"
#include "platform/Value.h"

namespace kx::predicate_internal {

enum class Op { Eq, Ne, Lt, Le, Gt, Ge, In, Contains, EndsWith };

const char* OpText(Op op);

constexpr std::size_t kTypeCount = 6;

// The constant of a comparison converted for one attribute type.
struct TypedConstant {
  bool ok = false;
  std::string why;
  kx::Value scalar;                         // =, !=, <, ...; Null for nil
  std::vector<kx::Value> list;              // IN, nils left out
  std::unordered_set<std::string> textSet;  // IN on text, for fast tests
  bool hasNeedle = false;                   // CONTAINS / ENDSWITH
  std::string needle;                       // their bytes
};

// The bytes of a text or bytes value; empty for anything else.
std::string_view BytesOf(const kx::Value& v);

// A constant as the condition's canonical text writes it.
std::string FormatConstant(const kx::Value& v);

// ---------------------------------------------------------------------------
// Resolving keys
// ---------------------------------------------------------------------------

struct Node;
using MutableNode = Node;

struct Resolved {
  const KXAttributeDescription* attribute = nullptr;
  const KXRelationshipDescription* relationship = nullptr;  // to-one, or to-many with count
};

[[nodiscard]] bool Resolve(const MutableNode& node, const KXEntityDescription& entity,
                           Resolved* out, kx::Error* error);

const TypedConstant* ConstantFor(const MutableNode& node, KXAttributeType type,
                                 const std::string& what, kx::Error* error);

// The row key named by a to-one comparison's constant: 0 for nil, -1 for an
// ID of another table (matches nothing), or the key.
[[nodiscard]] bool ToOneKey(const MutableNode& node, const KXRelationshipDescription& rel,
                            std::int64_t* key, kx::Error* error);

// A condition, or a compound of conditions.
struct Node {
  enum class Kind { And, Or, Not, True, False, Compare };
  Kind kind = Kind::True;
  std::vector<std::shared_ptr<const Node>> children;

  // Compare
  std::string key;
  bool count = false;  // key.@count
  Op op = Op::Eq;
  kx::Value constant;
  // In a condition kept open (ParseOpen): the index of the argument that
  // the comparison's %@ stands for, its constant then being nil; -1 for a
  // constant of the text.
  int argument = -1;

  // Conversions of the constant, made on first use for each type.
  mutable std::array<std::once_flag, kTypeCount> once;
  mutable std::array<TypedConstant, kTypeCount> typed;

  const TypedConstant& forType(KXAttributeType type) const {
    std::size_t i = static_cast<std::size_t>(type);
    std::call_once(once[i], [&] { typed[i] = convert(type); });
    return typed[i];
  }

  // The constant converted for an attribute of `type`.
  TypedConstant convert(KXAttributeType type) const;
};

using NodePtr = std::shared_ptr<const Node>;

// The condition text parsed with its %@ left open (Node::argument);
// *placeholders receives their number. nullptr when the text does not parse
// (parsed with its arguments it then tells why).
NodePtr ParseOpen(std::string_view format, std::size_t* placeholders);

// The SQL generator's expression of one node, as KXPredicate::appendSQL
// writes it.
bool AppendNodeSQL(const Node& node, const KXEntityDescription& entity, std::string_view alias,
                   std::string* sql, std::vector<kx::Value>* binds, kx::Error* error);

// A constant converted for comparison with an attribute of `type`, as the
// comparisons of a condition convert theirs.
bool CoerceConstant(KXAttributeType type, const kx::Value& in, kx::Value* out, std::string* why);

// A list of values as one JSON array of scalars, which the SQL generator
// binds as one "?" read back with json_each; false when a value has no
// exact JSON form. With `hexBytes` every value must be bytes and is written
// as upper-case hex text.
bool JSONList(const std::vector<kx::Value>& list, bool hexBytes, std::string* out);

}  // namespace kx::predicate_internal

#endif  // ZN_DATA_KXPREDICATENODE_H_
