// The records the data client's parts exchange with their callers: the keys
// of query, relation and title-check records, the result a completion
// receives (KXResultInfo) and the completion type itself. Plain types and
// constants, shared by KXDataClient and every part it hands out.
//
// Thread safety: values only; a KXResultInfo is not shared between threads
// while it is being changed.
#ifndef ZN_DATA_KXDATACLIENTTYPES_H_
#define ZN_DATA_KXDATACLIENTTYPES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "Data/store/KXFetchRequest.h"
#include "Data/store/KXManagedObject.h"
#include "platform/Error.h"
#include "platform/Value.h"

class FileMeta;

// Keys of a query record (KXQueryInfo). Every key is optional except
// "entity".
inline constexpr const char* kKXQueryEntityKey = "entity";        // entity name
inline constexpr const char* kKXQueryConditionKey = "condition";  // condition format
inline constexpr const char* kKXQueryArgumentsKey = "arguments";  // array for its %@
inline constexpr const char* kKXQueryOffsetKey = "offset";        // number
inline constexpr const char* kKXQueryLimitKey = "limit";          // number
// 0 objects, 1 object IDs, 2 dictionaries, 4 count.
inline constexpr const char* kKXQueryRetTypeKey = "retType";
inline constexpr const char* kKXQueryPrefetchKey = "prefetch";  // array of key paths
inline constexpr const char* kKXQueryDistinctKey = "distinct";  // Bool

// Keys of a relation record (KXRelationInfo): inside an insert item, or the
// "addRelation" dictionary of an update item, they name an existing object
// to link, found by the value of one of its attributes or created.
inline constexpr const char* kKXRelationObjectKey = "relationObject";  // entity looked in
inline constexpr const char* kKXRelationNameKey = "relationName";      // attribute compared
inline constexpr const char* kKXRelationValueKey = "relationValue";    // value it must equal
inline constexpr const char* kKXRelationDefaultKey = "default";        // value tried second
// Bool; NO forbids creating the object. Absent counts as YES.
inline constexpr const char* kKXRelationAutoCreateKey = "relationAutoCreate";
// Insert item that creates the object when none is found.
inline constexpr const char* kKXRelationAutoCreateInfoKey = "relationAutoCreateInfo";
// Relationship of the inserted or updated object that receives the object.
inline constexpr const char* kKXRelationKeyKey = "relationKey";

// Keys of the title check's answer (KXDupTitleInfo).
inline constexpr const char* kKXDupTitleIsDupKey = "isDup";          // Bool
inline constexpr const char* kKXDupTitleNewTitleKey = "newTitle";    // text
inline constexpr const char* kKXDupTitleDupFileIdKey = "dupFileId";  // text, "" when free

// The key of the outcome in a result record.
inline constexpr const char* kKXResultKey = "result";

// What a completion of the client receives (KXResultInfo): the outcome a
// result record keeps under "result". hasResult is false when there is none
// (a failed read); otherwise the member that the operation names holds it:
// `fetch` for reads and inserts (objects, or the object IDs, dictionaries or
// count that the query asked for), `value` for plain outcomes (a save's
// success as a Bool).
struct KXResultInfo {
  bool hasResult = false;
  KXFetchResult fetch;
  kx::Value value;

  static KXResultInfo none() { return {}; }
  static KXResultInfo withFetch(KXFetchResult result) {
    KXResultInfo info;
    info.hasResult = true;
    info.fetch = std::move(result);
    return info;
  }
  static KXResultInfo withObjects(std::vector<KXManagedObjectPtr> objects) {
    KXFetchResult result;
    result.count = static_cast<std::int64_t>(objects.size());
    result.objects = std::move(objects);
    return withFetch(std::move(result));
  }
  static KXResultInfo withValue(kx::Value outcome) {
    KXResultInfo info;
    info.hasResult = true;
    info.value = std::move(outcome);
    return info;
  }
};

// The completion of the client's writes and asynchronous reads.
using KXDataCallback = std::function<void(const KXResultInfo& info, const kx::Error& error)>;

using KXFileMetaPtr = std::shared_ptr<FileMeta>;
using KXFileMetaArray = std::vector<KXFileMetaPtr>;

#endif  // ZN_DATA_KXDATACLIENTTYPES_H_
