// KXPredicate is a parsed fetch condition: the one parser of the condition
// strings the store's callers write ("parentId = %@ && remoteRemoved = NO"),
// the one SQL generator that turns a condition into a WHERE clause, and the
// one in-memory evaluator that tests objects. The generator and the
// evaluator share one set of rules, so a condition selects the same objects
// in a fetch as in a filter.
//
// Syntax (keywords in any case):
//   condition  := or
//   or         := and (("OR" | "||") and)*
//   and        := not (("AND" | "&&") not)*
//   not        := ("NOT" | "!") not | "(" or ")" | TRUEPREDICATE | FALSEPREDICATE | comparison
//   comparison := keypath operator value
//   operator   := "=" "==" "!=" "<>" "<" "<=" "=<" ">" ">=" "=>" IN CONTAINS ENDSWITH
//   value      := 'text' | "text" | number | YES | NO | TRUE | FALSE | NIL | NULL | %@
//   keypath    := attribute | relationship | toManyRelationship ".@count"
// Each %@ takes the next argument, in order: text, numbers, booleans, null,
// arrays (for IN) and object IDs (KXObjectID::toValue, for to-one
// relationships). Anything else (other operators, modifiers such as [c],
// key paths through relationships, constants on the left) is an error, as is
// a key the entity does not have: the store never guesses.
//
// Semantics (those of the platform's object store, which plain SQL lacks):
//  - every comparison is two-valued: a nil attribute is not equal to NO or 0,
//    is unequal to 1, is neither less nor greater than anything, and NOT
//    (x IN list) holds for a nil x;
//  - constants are converted to the attribute's type before comparing
//    ("del = 1" and "del = YES" are the same; YES is exactly 1, so
//    "localModified = YES" does not match 2);
//  - CONTAINS and ENDSWITH compare exact bytes (no case folding, no
//    wildcards) and never match an empty or nil needle;
//  - an empty IN list matches nothing;
//  - text compares byte by byte, numbers by value.
//
// Thread safety: a predicate is immutable once made and may be shared and
// used from any thread.
#ifndef ZN_DATA_KXPREDICATE_H_
#define ZN_DATA_KXPREDICATE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

class KXEntityDescription;
class KXManagedObject;
using KXManagedObjectPtr = std::shared_ptr<KXManagedObject>;

namespace kx::predicate_internal {
struct Node;
}  // namespace kx::predicate_internal

class KXPredicate;
using KXPredicatePtr = std::shared_ptr<const KXPredicate>;

class KXPredicate {
 public:
  // Parses `format` with its arguments; nullptr and *error on a syntax
  // error or a wrong number or kind of arguments (extra arguments are
  // ignored, as the platform does).
  static KXPredicatePtr withFormat(std::string_view format, const kx::Array& arguments,
                                   kx::Error* error = nullptr);
  static KXPredicatePtr withFormat(std::string_view format, kx::Error* error = nullptr) {
    return withFormat(format, kx::Array(), error);
  }
  // Compounds; null members are skipped (an empty AND is true, an empty OR
  // false).
  static KXPredicatePtr andPredicate(const std::vector<KXPredicatePtr>& predicates);
  static KXPredicatePtr orPredicate(const std::vector<KXPredicatePtr>& predicates);
  static KXPredicatePtr notPredicate(const KXPredicatePtr& predicate);

  // Checks keys and constants against an entity.
  [[nodiscard]] bool validate(const KXEntityDescription& entity, kx::Error* error = nullptr) const;

  // Appends a SQL boolean expression over the table alias `alias` to *sql
  // and the values to bind for its "?" to *bindings (already converted to
  // the attributes' types; bytes for CONTAINS and ENDSWITH). The expression
  // may yield NULL only where NULL counts as false (outside any NOT).
  [[nodiscard]] bool appendSQL(const KXEntityDescription& entity, std::string_view alias,
                               std::string* sql, std::vector<kx::Value>* bindings,
                               kx::Error* error = nullptr) const;

  // Tests an object. A key that the object's entity lacks gives false and
  // *error. To-many counts are read from the object's context.
  [[nodiscard]] bool evaluate(const KXManagedObject& object, kx::Error* error = nullptr) const;
  // The objects for which the predicate holds, in order. Objects that cannot
  // be tested are left out (the first error is reported).
  std::vector<KXManagedObjectPtr> filter(const std::vector<KXManagedObjectPtr>& objects,
                                         kx::Error* error = nullptr) const;

  // A canonical text of the condition with the constants in place.
  std::string predicateFormat() const;

  // ---- Conditions kept open (KXPredicateOpen.cpp), for fetches that run
  // one condition text again and again with other arguments (KXFetchPlan):
  // the text is parsed and its SQL written once, and each use only converts
  // and binds its arguments.

  // One "?" of an open condition's SQL: a constant of the text, or the
  // argument of a %@, converted to its attribute's type at each use.
  struct OpenBinding {
    int argument = -1;  // the %@'s argument; -1 for `fixed`
    int type = 0;       // the attribute's KXAttributeType
    bool list = false;  // IN: the converted values as one JSON array
    kx::Value fixed;
  };
  // The WHERE expression of `format` over `entity` (table alias `alias`)
  // with its %@ left open, the "?" it holds, and the number of %@. False
  // when the text does not parse, or when one of its %@ is where the
  // expression depends on the argument's value: a to-one relationship, a
  // count, CONTAINS, ENDSWITH, IN on bytes or on a free-typed attribute.
  [[nodiscard]] static bool openSQL(std::string_view format, const KXEntityDescription& entity,
                                    std::string_view alias, std::string* sql,
                                    std::vector<OpenBinding>* bindings, std::size_t* placeholders);
  // The values to bind for the arguments of one use. False when an
  // argument is one the open expression does not stand for (nil, a
  // collection where a value is due, a value the attribute cannot take, an
  // empty IN list, one JSON cannot carry exactly) or when there are fewer
  // arguments than %@: the condition is then parsed with its arguments,
  // which answers the same or tells what is wrong.
  [[nodiscard]] static bool bindOpen(const std::vector<OpenBinding>& bindings,
                                     std::size_t placeholders, const kx::Array& arguments,
                                     std::vector<kx::Value>* values);

  // The parsed form (KXPredicateNode.h, internal to the predicate).
  using Node = kx::predicate_internal::Node;
  explicit KXPredicate(std::shared_ptr<const Node> root) : root_(std::move(root)) {}

 private:
  std::shared_ptr<const Node> root_;
};

#endif  // ZN_DATA_KXPREDICATE_H_
