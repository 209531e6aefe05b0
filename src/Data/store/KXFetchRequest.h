// KXFetchRequest describes one fetch: the entity (sub-entities included),
// an optional predicate, a limit and an offset, the kind of result and
// whether dictionary results are made distinct. There is no ordering: every
// fetch answers in the store's order, which is the order in which the rows
// were inserted, so "the first" match is the oldest one. KXFetchResult holds
// what the fetch answered, in the member that its result type names.
//
// Thread safety: plain values.
#ifndef ZN_DATA_KXFETCHREQUEST_H_
#define ZN_DATA_KXFETCHREQUEST_H_

#include <cstdint>
#include <string>
#include <vector>

#include "Data/store/KXManagedObject.h"
#include "Data/store/KXObjectID.h"
#include "Data/store/KXPredicate.h"
#include "platform/Value.h"

struct KXFetchRequest {
  // The numbers are those of the query records' "retType".
  enum class ResultType { ManagedObject = 0, ManagedObjectID = 1, Dictionary = 2, Count = 4 };

  KXFetchRequest() = default;
  explicit KXFetchRequest(std::string entity, KXPredicatePtr condition = nullptr)
      : entityName(std::move(entity)), predicate(std::move(condition)) {}

  std::string entityName;
  KXPredicatePtr predicate;      // nullptr: every row of the entity
  std::int64_t fetchLimit = 0;   // 0 or less: no limit
  std::int64_t fetchOffset = 0;  // 0 or less: from the first row
  ResultType resultType = ResultType::ManagedObject;
  // Dictionary results only: leave out rows equal to an earlier one.
  bool returnsDistinctResults = false;
  // ManagedObject results only: to-many relationships ("name" or "a.b")
  // read for all the fetched objects at once, one query per relationship
  // (KXManagedObjectContext::prefetchRelationships).
  std::vector<std::string> relationshipKeyPathsForPrefetching;
};

struct KXFetchResult {
  std::vector<KXManagedObjectPtr> objects;  // ManagedObject
  std::vector<KXObjectID> objectIDs;        // ManagedObjectID
  // Dictionary: one dictionary per row of the entity's attributes that
  // have a value.
  std::vector<kx::Value> dictionaries;
  std::int64_t count = 0;  // Count; also the number of results of the others
};

#endif  // ZN_DATA_KXFETCHREQUEST_H_
