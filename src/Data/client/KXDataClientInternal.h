// Helpers shared by the source files of the data client and its parts
// (KXEntryReads, KXEntryWrites, KXStoreState, KXEditorSave, KXTagStore,
// KXSyncRecords, KXIndexFeed, KXDataConversion). Not part of their
// interface: only those source files include this header.
//
// Thread safety: the functions work in the context they are given and must
// run on the queue that owns it; onReadQueue hops to the read queue itself.

#ifndef ZN_DATA_KXDATACLIENTINTERNAL_H_
#define ZN_DATA_KXDATACLIENTINTERNAL_H_

// Internal to src/Data: the folder's library defines ZN_DATA_INTERNAL for its
// own sources, and nothing outside the folder may include this header.
#ifndef ZN_DATA_INTERNAL
#error "KXDataClientInternal.h is internal to src/Data; include Data/KXDataClient.h instead"
#endif

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXFetchRequest.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXPredicate.h"

namespace kx_data_client {

inline const char* const kInternalInconsistency = "NSInternalInconsistencyException";
inline const char* const kShouldNotBeCalled = "this method shoud not be callde";

// Joins a caller's predicate to a fixed condition. The predicate goes in
// brackets so that an OR inside it cannot reach past the fixed part.
inline std::string JoinCondition(const char* fixed, const std::optional<std::string>& predicate) {
  if (!predicate || predicate->empty()) return fixed;
  return std::string(fixed) + " && (" + *predicate + ")";
}

inline kx::Array WithArguments(kx::Value first, const kx::Array& more) {
  kx::Array arguments;
  arguments.reserve(more.size() + 1);
  arguments.push_back(std::move(first));
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

// Fetches objects of an entity in a context. No log and no presentation:
// these fetches also answer the foundation layer's hooks, which must not
// log. A failure answers an empty array (and *error).
inline std::vector<KXManagedObjectPtr> Fetch(KXManagedObjectContext& context,
                                             std::string_view entity, std::string_view format,
                                             const kx::Array& arguments, std::int64_t limit = 0,
                                             kx::Error* error = nullptr) {
  return context.fetch(entity, format, arguments, limit, error);
}

inline KXManagedObjectPtr FetchFirst(KXManagedObjectContext& context, std::string_view entity,
                                     std::string_view format, const kx::Array& arguments,
                                     kx::Error* error = nullptr) {
  std::vector<KXManagedObjectPtr> objects = Fetch(context, entity, format, arguments, 1, error);
  return objects.empty() ? nullptr : objects.front();
}

// The resource whose fileId is resourceId. Without an id the condition would
// compare with nil and find any resource that has none.
inline std::shared_ptr<Resource> ResourceWithID(KXManagedObjectContext& context,
                                                const std::string& resourceId) {
  if (resourceId.empty()) return nullptr;
  return KXCast<Resource>(FetchFirst(context, "Resource", "fileId = %@", {kx::Value(resourceId)}));
}

template <class T>
std::vector<std::shared_ptr<T>> CastAll(const std::vector<KXManagedObjectPtr>& objects) {
  std::vector<std::shared_ptr<T>> out;
  out.reserve(objects.size());
  for (const KXManagedObjectPtr& object : objects) {
    if (auto typed = std::dynamic_pointer_cast<T>(object)) out.push_back(std::move(typed));
  }
  return out;
}

// The entries for which a store condition holds, in order. Listings that
// filter in memory test the same condition text a fetch would run, with the
// predicate's own evaluator, so an in-memory filter and a fetch cannot drift
// apart (a nil attribute equals nothing and is unequal to everything).
// A condition that cannot be parsed keeps nothing.
inline KXFileMetaArray Where(const KXFileMetaArray& entries, std::string_view format,
                             const kx::Array& arguments = {}) {
  KXPredicatePtr predicate = KXPredicate::withFormat(format, arguments);
  if (!predicate) return {};
  KXFileMetaArray kept;
  for (const KXFileMetaPtr& entry : entries) {
    if (predicate->evaluate(*entry)) kept.push_back(entry);
  }
  return kept;
}

// The fileIds of entries, as an argument of "IN %@".
inline kx::Array FileIdArrayOf(const KXFileMetaArray& entries) {
  kx::Array ids;
  ids.reserve(entries.size());
  for (const KXFileMetaPtr& entry : entries) {
    if (!entry->isNil("fileId")) ids.emplace_back(entry->fileId());
  }
  return ids;
}

// The context a twin works in: the one given, else the read context (held
// in *holder for the call). nullptr after closeDB.
inline KXManagedObjectContext* ContextOrReader(KXManagedObjectContext* context,
                                               const std::shared_ptr<KXDataContext>& data,
                                               std::shared_ptr<KXManagedObjectContext>* holder) {
  if (context) return context;
  if (!data) return nullptr;
  *holder = data->readContext();
  return holder->get();
}

// fn(context) with the context given, on the caller's queue; for nullptr,
// fn(read context) on the read queue (inline when called there). A default
// answer after closeDB.
template <class Fn>
auto InContextOrOnReadQueue(KXDataClient& client, KXManagedObjectContext* context, Fn&& fn)
    -> decltype(fn(static_cast<KXManagedObjectContext*>(nullptr))) {
  using Result = decltype(fn(static_cast<KXManagedObjectContext*>(nullptr)));
  if (context) return fn(context);
  std::shared_ptr<KXDataContext> data = client.dataContext();
  if (!data) return Result();
  if constexpr (std::is_void_v<Result>) {
    data->performSyncReadBlock([&](KXManagedObjectContext& reader) { fn(&reader); });
  } else {
    Result result{};
    data->performSyncReadBlock([&](KXManagedObjectContext& reader) { result = fn(&reader); });
    return result;
  }
}

}  // namespace kx_data_client

#endif  // ZN_DATA_KXDATACLIENTINTERNAL_H_
