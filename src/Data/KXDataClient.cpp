#include "Data/KXDataClient.h"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "CommonUtils/KXRegularExpression.h"
#include "CommonUtils/NSNumberBoolString.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/FileMeta.h"
#include "Data/KXDataContext.h"
#include "Data/KXFileManager.h"
#include "Data/KXManagedObjectContext.h"
#include "Data/KXModel.h"
#include "Data/KXPredicate.h"
#include "Data/KXStoreError.h"
#include "Data/Notebook.h"
#include "Data/Resource.h"
#include "Data/Root.h"
#include "Data/Tag.h"
#include "Data/User.h"
#include "platform/Text.h"
#include "platform/Time.h"
#include "search/KXSContext.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSSearchProxy.h"

namespace {

// Conditions of the listings, as the rest of the system writes them.
constexpr const char* kChildrenCondition = "parentId = %@ && remoteRemoved = NO";
constexpr const char* kChildrenOfManyCondition = "parentId IN %@ && remoteRemoved = NO";
constexpr const char* kWholeTreeCondition = "remoteRemoved = NO && del = NO && parentId <> '-2'";
constexpr const char* kDupTitleCondition =
    "(del = NO) AND (title = %@) AND (parentId = %@) AND (fileId <> %@)";
constexpr const char* kSiblingsCondition = "(del = NO) AND (parentId = %@) AND (fileId <> %@)";

// Parent ids handed to one fetch of a level walk. The condition layer writes
// one "?" per id and SQLite caps the "?" of a statement (32766 by default),
// so a wider level is fetched in parts.
constexpr std::size_t kParentIdsPerFetch = 10000;

// The recent list that folder filtering compares virtual folders with.
constexpr std::int64_t kRecentFilterLimit = 1000;

const char* const kInternalInconsistency = "NSInternalInconsistencyException";
const char* const kShouldNotBeCalled = "this method shoud not be callde";

// Joins a caller's predicate to a fixed condition. The predicate goes in
// brackets so that an OR inside it cannot reach past the fixed part.
std::string JoinCondition(const char* fixed, const std::optional<std::string>& predicate) {
  if (!predicate || predicate->empty()) return fixed;
  return std::string(fixed) + " && (" + *predicate + ")";
}

kx::Array WithArguments(kx::Value first, const kx::Array& more) {
  kx::Array arguments;
  arguments.reserve(more.size() + 1);
  arguments.push_back(std::move(first));
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

// Fetches objects of an entity in a context. No log and no presentation:
// these fetches also answer the foundation layer's hooks, which must not
// log. A failure answers an empty array (and *error).
std::vector<KXManagedObjectPtr> Fetch(KXManagedObjectContext& context, std::string_view entity,
                                      std::string_view format, const kx::Array& arguments,
                                      std::int64_t limit = 0, kx::Error* error = nullptr) {
  KXFetchRequest request;
  request.entityName = std::string(entity);
  if (!format.empty()) {
    request.predicate = KXPredicate::withFormat(format, arguments, error);
    if (!request.predicate) return {};
  }
  request.fetchLimit = limit;
  return context.fetch(request, error);
}

KXManagedObjectPtr FetchFirst(KXManagedObjectContext& context, std::string_view entity,
                              std::string_view format, const kx::Array& arguments,
                              kx::Error* error = nullptr) {
  std::vector<KXManagedObjectPtr> objects = Fetch(context, entity, format, arguments, 1, error);
  return objects.empty() ? nullptr : objects.front();
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

// In-memory tests with the store's two-valued semantics: a nil attribute
// equals nothing and is unequal to everything.
bool IsLive(const FileMeta& entry) {  // remoteRemoved = NO && del = NO
  return !entry.isNil("remoteRemoved") && !entry.remoteRemoved() && !entry.isNil("del") &&
         !entry.del();
}
bool ParentIn(const FileMeta& entry, const std::unordered_set<std::string>& ids) {
  return !entry.isNil("parentId") && ids.count(entry.parentId()) != 0;
}

std::unordered_set<std::string> FileIdsOf(const KXFileMetaArray& entries) {
  std::unordered_set<std::string> ids;
  ids.reserve(entries.size());
  for (const KXFileMetaPtr& entry : entries) {
    if (!entry->isNil("fileId")) ids.insert(entry->fileId());
  }
  return ids;
}

KXFileMetaArray Cut(KXFileMetaArray entries, std::int64_t limit) {
  if (limit >= 0 && static_cast<std::uint64_t>(limit) < entries.size()) {
    entries.resize(static_cast<std::size_t>(limit));
  }
  return entries;
}

kx::Dictionary DupTitleInfo(bool isDup, std::string newTitle, std::string dupFileId) {
  return kx::Dictionary{{kKXDupTitleIsDupKey, kx::Value(isDup)},
                        {kKXDupTitleNewTitleKey, kx::Value(std::move(newTitle))},
                        {kKXDupTitleDupFileIdKey, kx::Value(std::move(dupFileId))}};
}

}  // namespace

// ---------------------------------------------------------------------------
// Frame
// ---------------------------------------------------------------------------

KXDataClient& KXDataClient::defaultDataClient() {
  // The default context lives for the process; the client holds it without
  // owning it.
  static KXDataClient* client = new KXDataClient(
      std::shared_ptr<KXDataContext>(&KXDataContext::defaultContext(), [](KXDataContext*) {}));
  return *client;
}

KXDataClient::KXDataClient(std::shared_ptr<KXDataContext> context) : context_(std::move(context)) {
  KXSContext::sharedContext().setConfig(*this);
  ftsIndexer_ = KXSIndexProxy::create();
  ftsSearcher_ = &KXSSearchProxy::sharedProxy();
  installHooks();
  dataConvert();
}

KXDataClient::~KXDataClient() {
  // Reads and writes queued by this client may still refer to it.
  if (std::shared_ptr<KXDataContext> data = dataContext()) {
    data->dbQueue().sync([] {});
    data->readQueue().sync([] {});
  }
}

std::string KXDataClient::indexDirectory() const {
  return KXFileManager::defaultManauger().URLForCurrentUserFulltextInexDirectory();
}

std::string KXDataClient::indexStopWordsFile() const {
  return KXFileManager::defaultManauger().URLForFulltextStopWordsFile();
}

bool KXDataClient::dataConvert() { return true; }

void KXDataClient::closeDB() {
  std::shared_ptr<KXDataContext> dropped;  // let go of outside the lock
  std::lock_guard<std::mutex> lock(mu_);
  dropped.swap(context_);
}

std::shared_ptr<KXDataContext> KXDataClient::dataContext() const {
  std::lock_guard<std::mutex> lock(mu_);
  return context_;
}

kx::Value KXDataClient::currentSessionVersion() const {
  std::lock_guard<std::mutex> lock(mu_);
  return currentSessionVersion_;
}

void KXDataClient::setCurrentSessionVersion(kx::Value version) {
  std::lock_guard<std::mutex> lock(mu_);
  currentSessionVersion_ = std::move(version);
}

void KXDataClient::installHooks() {
  // The hooks hold the data context weakly: once the client has dropped it
  // (closeDB) they answer that there is nothing.
  std::weak_ptr<KXDataContext> weak = dataContext();
  KXHooks::setRootEntryIdProvider([weak]() -> std::string {
    std::shared_ptr<KXDataContext> data = weak.lock();
    if (!data) return {};
    std::string fileId;
    data->performSyncReadBlock([&](KXManagedObjectContext& context) {
      if (KXManagedObjectPtr root = FetchFirst(context, "Root", {}, {})) {
        fileId = root->stringValue("fileId");
      }
    });
    return fileId;
  });
  KXCrashLogger::setUserRecordProvider([weak]() -> std::optional<KXCrashLogger::UserRecord> {
    std::shared_ptr<KXDataContext> data = weak.lock();
    if (!data) return std::nullopt;
    std::optional<KXCrashLogger::UserRecord> record;
    data->performSyncReadBlock([&](KXManagedObjectContext& context) {
      if (auto user = KXCast<User>(FetchFirst(context, "User", {}, {}))) {
        record = KXCrashLogger::UserRecord{user->userId(), user->nickname()};
      }
    });
    return record;
  });
}

template <class Fn>
auto KXDataClient::onReadQueue(Fn&& fn)
    -> decltype(fn(static_cast<KXManagedObjectContext*>(nullptr))) {
  using Result = decltype(fn(static_cast<KXManagedObjectContext*>(nullptr)));
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return Result();
  if constexpr (std::is_void_v<Result>) {
    data->performSyncReadBlock([&](KXManagedObjectContext& context) { fn(&context); });
  } else {
    Result result{};
    data->performSyncReadBlock([&](KXManagedObjectContext& context) { result = fn(&context); });
    return result;
  }
}

namespace {

// The context a twin works in: the one given, else the read context (held
// in *holder for the call). nullptr after closeDB.
KXManagedObjectContext* ContextOrReader(KXManagedObjectContext* context,
                                        const std::shared_ptr<KXDataContext>& data,
                                        std::shared_ptr<KXManagedObjectContext>* holder) {
  if (context) return context;
  if (!data) return nullptr;
  *holder = data->readContext();
  return holder->get();
}

}  // namespace

// ---------------------------------------------------------------------------
// Query core
// ---------------------------------------------------------------------------

std::optional<KXFetchRequest> KXDataClient::buildQuery(const kx::Dictionary& queryInfo,
                                                       kx::Error* error) {
  const kx::Value* entity = queryInfo.find(kKXQueryEntityKey);
  if (!entity || !entity->isString() || entity->string().empty()) {
    kx::SetError(error, KXStoreError(kKXStoreUnknownEntityError, "The query names no entity"));
    return std::nullopt;
  }
  KXFetchRequest request;
  request.entityName = entity->string();
  if (const kx::Value* limit = queryInfo.find(kKXQueryLimitKey)) {
    request.fetchLimit = limit->intValue();
  }
  if (const kx::Value* offset = queryInfo.find(kKXQueryOffsetKey)) {
    request.fetchOffset = offset->intValue();
  }
  if (const kx::Value* condition = queryInfo.find(kKXQueryConditionKey)) {
    if (!condition->isNull()) {
      const kx::Value* arguments = queryInfo.find(kKXQueryArgumentsKey);
      request.predicate = KXPredicate::withFormat(
          condition->stringValue(), arguments ? arguments->array() : kx::Array(), error);
      if (!request.predicate) return std::nullopt;
    }
  }
  if (const kx::Value* prefetch = queryInfo.find(kKXQueryPrefetchKey)) {
    for (const kx::Value& path : prefetch->array()) {
      request.relationshipKeyPathsForPrefetching.push_back(path.stringValue());
    }
  }
  if (const kx::Value* retType = queryInfo.find(kKXQueryRetTypeKey)) {
    // Result types outside the four known ones are refused by the fetch.
    std::int64_t type = retType->intValue();
    if (type < 0 || type > 4) type = 3;
    request.resultType = static_cast<KXFetchRequest::ResultType>(type);
  }
  if (const kx::Value* distinct = queryInfo.find(kKXQueryDistinctKey)) {
    request.returnsDistinctResults = distinct->boolValue();
  }
  return request;
}

std::optional<KXFetchResult> KXDataClient::executeSyncQuery(const std::string& entityName,
                                                            const kx::Dictionary& queryInfo,
                                                            KXManagedObjectContext* context,
                                                            kx::Error* error) {
  kx::Dictionary query = queryInfo;
  query.set(kKXQueryEntityKey, kx::Value(entityName));

  kx::Error failure;
  std::optional<KXFetchResult> answer;
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) {
    failure = KXStoreError(kKXStoreUnavailableError, "The store is closed");
  } else if (std::optional<KXFetchRequest> request = buildQuery(query, &failure)) {
    KXFetchResult result;
    if (target->execute(*request, &result, &failure)) answer = std::move(result);
  }
  if (!answer && error) {
    *error = failure;
    KXLOG("%s: %s", kKXErrQueryDatabaseFail, failure.localizedDescription().c_str());
    KXPresentError(kKXErrQueryDatabaseFail);
  }
  return answer;
}

void KXDataClient::executeAsyncQueryForType(int type, const std::string& entityName,
                                            const kx::Dictionary& queryInfo,
                                            KXDataCallback callback) {
  (void)type;
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performReadBlock([this, entityName, queryInfo,
                          callback = std::move(callback)](KXManagedObjectContext& context) {
    kx::Error error;
    std::optional<KXFetchResult> result = executeSyncQuery(entityName, queryInfo, &context, &error);
    if (!callback) return;
    callback(result ? KXResultInfo::withFetch(std::move(*result)) : KXResultInfo::none(), error);
  });
}

void KXDataClient::performSyncReadBlock(const std::function<void()>& block) {
  if (!block) return;
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performSyncReadBlock([&](KXManagedObjectContext&) { block(); });
}

KXManagedObjectPtr KXDataClient::relationObjectSync(const kx::Dictionary& relationInfo,
                                                    KXManagedObjectContext* context) {
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return nullptr;

  // The attribute name comes from the caller's data and becomes part of a
  // condition: only an attribute of the entity in the model may stand there.
  const std::string entityName = relationInfo[kKXRelationObjectKey].stringValue();
  const std::string attributeName = relationInfo[kKXRelationNameKey].stringValue();
  const KXEntityDescription* entity = KXModel::shared().entity(entityName);
  if (!entity || !entity->attribute(attributeName)) {
    KXLOG("relation lookup refused: entity \"%s\" has no attribute \"%s\"", entityName.c_str(),
          attributeName.c_str());
    return nullptr;
  }
  const std::string condition = attributeName + " = %@";

  // A missing value would compare the attribute with nil and link any
  // object that lacks it.
  // A lookup that failed has not shown the object to be missing, so
  // nothing is created in its place.
  for (const char* key : {kKXRelationValueKey, kKXRelationDefaultKey}) {
    const kx::Value* value = relationInfo.find(key);
    if (!value || value->isNull()) continue;
    kx::Error error;
    if (KXManagedObjectPtr found = FetchFirst(*target, entityName, condition, {*value}, &error)) {
      return found;
    }
    if (error) {
      KXLOG("relation lookup of %s failed: %s", entityName.c_str(),
            error.localizedDescription().c_str());
      return nullptr;
    }
  }

  const kx::Value* autoCreate = relationInfo.find(kKXRelationAutoCreateKey);
  if (autoCreate && !autoCreate->boolValue()) return nullptr;
  const kx::Value* createInfo = relationInfo.find(kKXRelationAutoCreateInfoKey);
  if (!createInfo || !createInfo->isDictionary()) return nullptr;
  KXManagedObjectPtr created;
  addManagedObjectsSync(entityName, target, kx::Array{*createInfo},
                        [&](const KXResultInfo& info, const kx::Error&) {
                          if (!info.fetch.objects.empty()) created = info.fetch.objects.front();
                        });
  return created;
}

std::vector<KXManagedObjectPtr> KXDataClient::addManagedObjectsSync(
    const std::string& entityName, KXManagedObjectContext* context, const kx::Array& items,
    const KXDataCallback& callback) {
  std::vector<KXManagedObjectPtr> inserted;
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);

  for (const kx::Value& item : items) {
    if (!target || !item.isDictionary()) continue;
    const kx::Dictionary& given = item.dict();
    kx::Dictionary copy = given;

    std::string entity = entityName;
    if (entityName == "FileMeta") {
      entity = given["dir"].boolValue()      ? "Notebook"
               : given["domain"].boolValue() ? "NormalFile"
                                             : "Note";
    }

    if (entity == "Note" || entity == "Notebook" || entity == "NormalFile") {
      const kx::Value* fileId = given.find("fileId");
      if (fileId && !fileId->isNull() && objectForFileMetaID(fileId->stringValue(), target)) {
        continue;  // stored already
      }
      const kx::Value* title = given.find("title");
      const kx::Value* parentId = given.find("parentId");
      if (title && !title->isNull() && parentId && !parentId->isNull()) {
        kx::Dictionary dup = titleOfDuplicateTitle(title->stringValue(), parentId->stringValue(),
                                                   std::nullopt, entity);
        if (dup[kKXDupTitleIsDupKey].boolValue()) {
          copy.set("title", dup[kKXDupTitleNewTitleKey]);
          copy.set("localModified", kx::Value(true));
        }
      }
      // The titles of new notebooks and files join the full-text index
      // through the index feeder, which is not part of the client yet.
    } else if (entity == "Tag") {
      const kx::Value now(static_cast<long long>(kx::Time::nowSeconds()));
      copy.set("dateCreated", now);
      copy.set("dateUpdated", now);
      copy.set("isLocalCreated", kx::Value(true));
      copy.set("isLocalModified", kx::Value(false));
      copy.set("isLocalRemoved", kx::Value(false));
    }

    KXManagedObjectPtr related;
    std::string relationKey;
    if (given.contains(kKXRelationObjectKey)) {
      related = relationObjectSync(given, target);
      if (related) {
        relationKey = given[kKXRelationKeyKey].stringValue();
        for (const char* key :
             {kKXRelationObjectKey, kKXRelationKeyKey, kKXRelationNameKey, kKXRelationValueKey}) {
          copy.remove(key);
        }
      }
    }

    kx::Error error;
    KXManagedObjectPtr object = target->insertNewObject(entity, &error);
    if (!object) {
      KXLOG("insert of %s failed: %s", entity.c_str(), error.localizedDescription().c_str());
      continue;
    }
    object->setValuesForKeys(copy);
    if (related) {
      const KXRelationshipDescription* relationship = object->entity().relationship(relationKey);
      if (!relationship) {
        KXLOG("relation key \"%s\" names no relationship of %s", relationKey.c_str(),
              entity.c_str());
      } else if (relationship->isToMany()) {
        object->addObject(relationKey, related);
      } else {
        object->setObject(relationKey, related);
      }
    }
    inserted.push_back(std::move(object));
  }
  if (callback) callback(KXResultInfo::withObjects(inserted), kx::Error());
  return inserted;
}

// ---------------------------------------------------------------------------
// Read wrappers
// ---------------------------------------------------------------------------

std::optional<std::vector<KXManagedObjectPtr>> KXDataClient::readFileMetasSyncForQuery(
    const std::optional<std::string>& condition, const kx::Array& arguments,
    const std::string& entityName, kx::Error* error) {
  kx::Dictionary query{{kKXQueryEntityKey, kx::Value(entityName)}};
  if (condition) {
    query.set(kKXQueryConditionKey, kx::Value(*condition));
    if (!arguments.empty()) query.set(kKXQueryArgumentsKey, kx::Value(arguments));
  }
  kx::Error failure = KXStoreError(kKXStoreUnavailableError, "The store is closed");
  std::optional<KXFetchResult> result = onReadQueue([&](KXManagedObjectContext* context) {
    return executeSyncQuery(entityName, query, context, error ? &failure : nullptr);
  });
  if (!result) {
    kx::SetError(error, failure);
    return std::nullopt;
  }
  return std::move(result->objects);
}

namespace {
const char* const kNotebookEntity = "Notebook";
const char* const kNoteEntity = "Note";
const char* const kNormalFileEntity = "NormalFile";
const char* const kResourceEntity = "Resource";
}  // namespace

std::optional<KXFetchResult> KXDataClient::readSyncForEntity(const char* entityName,
                                                             const kx::Dictionary& queryInfo,
                                                             kx::Error* error) {
  kx::Error failure = KXStoreError(kKXStoreUnavailableError, "The store is closed");
  std::optional<KXFetchResult> result = onReadQueue([&](KXManagedObjectContext* context) {
    return executeSyncQuery(entityName, queryInfo, context, error ? &failure : nullptr);
  });
  if (!result) kx::SetError(error, failure);
  return result;
}

std::optional<KXFetchResult> KXDataClient::readNotebookSyncForCondition(
    const kx::Dictionary& queryInfo, kx::Error* error) {
  return readSyncForEntity(kNotebookEntity, queryInfo, error);
}

std::optional<KXFetchResult> KXDataClient::readNoteSyncForCondition(const kx::Dictionary& queryInfo,
                                                                    kx::Error* error) {
  return readSyncForEntity(kNoteEntity, queryInfo, error);
}

std::optional<KXFetchResult> KXDataClient::readNormalFileSyncForCondition(
    const kx::Dictionary& queryInfo, kx::Error* error) {
  return readSyncForEntity(kNormalFileEntity, queryInfo, error);
}

std::optional<KXFetchResult> KXDataClient::readResourceSyncForCondition(
    const kx::Dictionary& queryInfo, kx::Error* error) {
  return readSyncForEntity(kResourceEntity, queryInfo, error);
}

void KXDataClient::readNotebookForCondition(const kx::Dictionary& queryInfo,
                                            KXDataCallback callback) {
  executeAsyncQueryForType(1, kNotebookEntity, queryInfo, std::move(callback));
}

void KXDataClient::readNoteForCondition(const kx::Dictionary& queryInfo, KXDataCallback callback) {
  executeAsyncQueryForType(1, kNoteEntity, queryInfo, std::move(callback));
}

void KXDataClient::readNormalFileForCondition(const kx::Dictionary& queryInfo,
                                              KXDataCallback callback) {
  executeAsyncQueryForType(1, kNormalFileEntity, queryInfo, std::move(callback));
}

void KXDataClient::readResourceForCondition(const kx::Dictionary& queryInfo,
                                            KXDataCallback callback) {
  executeAsyncQueryForType(1, kResourceEntity, queryInfo, std::move(callback));
}

std::vector<KXManagedObjectPtr> KXDataClient::readGroupSyncForCondiction(const kx::Dictionary&,
                                                                         kx::Error*) {
  throw kx::Exception(kInternalInconsistency, kShouldNotBeCalled);
}

// ---------------------------------------------------------------------------
// Single entries and values
// ---------------------------------------------------------------------------

KXFileMetaPtr KXDataClient::objectForFileMetaID(const std::string& fileId) {
  return onReadQueue(
      [&](KXManagedObjectContext* context) { return objectForFileMetaID(fileId, context); });
}

KXFileMetaPtr KXDataClient::objectForFileMetaID(const std::string& fileId,
                                                KXManagedObjectContext* context) {
  if (fileId.empty()) return nullptr;
  if (fileId == kRootFileId) return rootEntryWithContext(context);
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return nullptr;
  return KXCast<FileMeta>(FetchFirst(*target, "FileMeta", "fileId = %@", {kx::Value(fileId)}));
}

std::shared_ptr<Tag> KXDataClient::objectForTagID(const std::string& tagId) {
  return onReadQueue(
      [&](KXManagedObjectContext* context) { return objectForTagID(tagId, context); });
}

std::shared_ptr<Tag> KXDataClient::objectForTagID(const std::string& tagId,
                                                  KXManagedObjectContext* context) {
  if (tagId.empty()) return nullptr;
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return nullptr;
  return KXCast<Tag>(FetchFirst(*target, "Tag", "tagId = %@", {kx::Value(tagId)}));
}

std::shared_ptr<Notebook> KXDataClient::objectForBookName(const std::string& name) {
  if (name.empty()) return nullptr;
  return onReadQueue(
      [&](KXManagedObjectContext* context) { return objectForBookName(name, context); });
}

std::shared_ptr<Notebook> KXDataClient::objectForBookName(const std::string& name,
                                                          KXManagedObjectContext* context) {
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return nullptr;
  return KXCast<Notebook>(FetchFirst(*target, "Notebook", "title = %@", {kx::Value(name)}));
}

std::shared_ptr<Resource> KXDataClient::objectForResourceID(const std::string& resourceId) {
  return onReadQueue(
      [&](KXManagedObjectContext* context) { return objectForResourceID(resourceId, context); });
}

std::shared_ptr<Resource> KXDataClient::objectForResourceID(const std::string& resourceId,
                                                            KXManagedObjectContext* context) {
  // Without an id the condition would compare with nil and find any
  // resource that has none.
  if (resourceId.empty()) return nullptr;
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return nullptr;
  return KXCast<Resource>(FetchFirst(*target, "Resource", "fileId = %@", {kx::Value(resourceId)}));
}

std::shared_ptr<Root> KXDataClient::rootEntry() {
  return onReadQueue(
      [&](KXManagedObjectContext* context) { return rootEntryWithContext(context); });
}

std::shared_ptr<Root> KXDataClient::rootEntryWithContext(KXManagedObjectContext* context) {
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return nullptr;
  return KXCast<Root>(FetchFirst(*target, "Root", {}, {}));
}

std::int64_t KXDataClient::baseVersion() {
  if (!dataContext()) return -1;
  return onReadQueue([&](KXManagedObjectContext* context) { return baseVersion(context); });
}

std::int64_t KXDataClient::baseVersion(KXManagedObjectContext* context) {
  std::shared_ptr<Root> root = rootEntryWithContext(context);
  return root ? root->version() : -1;
}

std::int64_t KXDataClient::countOfTrash() {
  return onReadQueue([&](KXManagedObjectContext* context) { return countOfTrash(context); });
}

std::int64_t KXDataClient::countOfTrash(KXManagedObjectContext* context) {
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return 0;
  KXFetchRequest request(
      "Note", KXPredicate::withFormat("del = %@ AND remoteRemoved = NO", {kx::Value(1)}));
  std::int64_t count = target->count(request);
  return count < 0 ? 0 : count;
}

std::int64_t KXDataClient::getMaxTime(const FileMeta& entry) {
  const std::int64_t modifyTime =
      NSNumberBoolString::dateNumber(entry.value("modifyTime")).intValue();
  const std::int64_t stickTime =
      NSNumberBoolString::dateNumber(entry.value("stickTime")).intValue();
  return modifyTime > stickTime ? modifyTime : stickTime;
}

// ---------------------------------------------------------------------------
// Lists for the sync engine
// ---------------------------------------------------------------------------

KXFileMetaArray KXDataClient::readForUnpushedFilemeta() {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return CastAll<FileMeta>(
        Fetch(*context, "FileMeta",
              "(localModified > 0) AND (parentId <> '0') AND (parentId <> '-2')", {}));
  });
}

std::vector<std::shared_ptr<Resource>> KXDataClient::readForUnpushedResources() {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return CastAll<Resource>(
        Fetch(*context, "Resource", "localModified = YES AND notes.@count != 0", {}));
  });
}

KXFileMetaArray KXDataClient::readForUnpushedTrashOperation() {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return CastAll<FileMeta>(Fetch(*context, "Note", "localTrashOp = YES", {}));
  });
}

// ---------------------------------------------------------------------------
// Folders and subtrees
// ---------------------------------------------------------------------------

KXFileMetaArray KXDataClient::objectsForParentId(const std::string& parentId,
                                                 const std::string& entityName,
                                                 const std::optional<std::string>& predicate,
                                                 const kx::Array& options,
                                                 KXManagedObjectContext* context) {
  if (parentId.empty()) return {};
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return {};
  return CastAll<FileMeta>(Fetch(*target, entityName, JoinCondition(kChildrenCondition, predicate),
                                 WithArguments(kx::Value(parentId), options)));
}

KXFileMetaArray KXDataClient::objectsForParentIds(const std::vector<std::string>& parentIds,
                                                  const std::string& entityName,
                                                  const std::optional<std::string>& predicate,
                                                  const kx::Array& options,
                                                  KXManagedObjectContext* context) {
  if (parentIds.empty()) return {};
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return {};
  const std::string condition = JoinCondition(kChildrenOfManyCondition, predicate);
  std::vector<KXManagedObjectPtr> objects;
  for (std::size_t start = 0; start < parentIds.size(); start += kParentIdsPerFetch) {
    const std::size_t end = std::min(parentIds.size(), start + kParentIdsPerFetch);
    kx::Array ids(parentIds.begin() + static_cast<std::ptrdiff_t>(start),
                  parentIds.begin() + static_cast<std::ptrdiff_t>(end));
    std::vector<KXManagedObjectPtr> part =
        Fetch(*target, entityName, condition, WithArguments(kx::Value(std::move(ids)), options));
    if (objects.empty()) {
      objects = std::move(part);
    } else {
      objects.insert(objects.end(), std::make_move_iterator(part.begin()),
                     std::make_move_iterator(part.end()));
    }
  }
  if (parentIds.size() > kParentIdsPerFetch) {
    // Each chunk answers in store order; together they must too.
    std::sort(objects.begin(), objects.end(),
              [](const KXManagedObjectPtr& a, const KXManagedObjectPtr& b) {
                return a->objectID().primaryKey() < b->objectID().primaryKey();
              });
  }
  return CastAll<FileMeta>(objects);
}

KXFileMetaArray KXDataClient::objectsForParentId(const std::string& parentId,
                                                 const std::string& entityName,
                                                 KXManagedObjectContext* context) {
  return objectsForParentId(parentId, entityName, std::nullopt, {}, context);
}

KXFileMetaArray KXDataClient::objectsForParentId(const std::string& parentId,
                                                 const std::string& entityName) {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return objectsForParentId(parentId, entityName, context);
  });
}

KXFileMetaArray KXDataClient::objectsUnderParent(const KXManagedObjectPtr& parent,
                                                 const std::string& entityName,
                                                 const std::optional<std::string>& predicate,
                                                 const kx::Array& options,
                                                 KXManagedObjectContext* context) {
  if (!parent || !parent->isKindOfEntity("Notebook")) return {};
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return {};

  if (parent->isKindOfEntity("Root")) {
    return CastAll<FileMeta>(
        Fetch(*target, entityName, JoinCondition(kWholeTreeCondition, predicate), options));
  }

  // Level by level. Rows already listed (the start among them) are not
  // listed again and folder ids already walked are not walked again, so
  // parent ids that form a cycle end the walk.
  const std::string startId = parent->stringValue("fileId");
  std::unordered_set<std::int64_t> listedRows{parent->objectID().primaryKey()};
  std::unordered_set<std::string> walkedIds{startId};
  std::vector<std::string> ids{startId};
  KXFileMetaArray result;
  while (!ids.empty()) {
    KXFileMetaArray level = objectsForParentIds(ids, entityName, predicate, options, target);
    ids.clear();
    result.reserve(result.size() + level.size());
    for (KXFileMetaPtr& entry : level) {
      if (!listedRows.insert(entry->objectID().primaryKey()).second) {
        KXLOG("subtree of %s: %s is reached again, the parent ids form a cycle", startId.c_str(),
              entry->fileId().c_str());
        continue;
      }
      if (entry->isKindOfEntity("Notebook")) {
        std::string fileId = entry->fileId();
        if (walkedIds.insert(fileId).second) ids.push_back(std::move(fileId));
      }
      result.push_back(std::move(entry));
    }
  }
  return result;
}

KXFileMetaArray KXDataClient::objectsUnderFileId(const std::string& fileId,
                                                 KXManagedObjectContext* context) {
  KXFileMetaPtr folder = objectForFileMetaID(fileId, context);
  return objectsUnderParent(folder, "FileMeta", std::nullopt, {}, context);
}

KXFileMetaArray KXDataClient::objectsUnderFileId(const std::string& fileId) {
  return onReadQueue(
      [&](KXManagedObjectContext* context) { return objectsUnderFileId(fileId, context); });
}

// ---------------------------------------------------------------------------
// Tags, shares, encrypted folders, names
// ---------------------------------------------------------------------------

KXFileMetaArray KXDataClient::objectsWithTagId(const std::string& tagId, bool includeEncrypted,
                                               KXManagedObjectContext* context) {
  if (tagId.empty()) return {};
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return {};
  KXFileMetaArray tagged = CastAll<FileMeta>(
      Fetch(*target, "FileMeta", "dir = NO && remoteRemoved = NO && del = NO && tags CONTAINS %@",
            {kx::Value(tagId)}));
  if (includeEncrypted || tagged.empty()) return tagged;
  const std::unordered_set<std::string> encrypted = FileIdsOf(encryptedDirsInContext(target));
  if (encrypted.empty()) return tagged;
  KXFileMetaArray visible;
  visible.reserve(tagged.size());
  for (KXFileMetaPtr& entry : tagged) {
    if (!ParentIn(*entry, encrypted)) visible.push_back(std::move(entry));
  }
  return visible;
}

KXFileMetaArray KXDataClient::objectsWithTagId(const std::string& tagId, bool includeEncrypted) {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return objectsWithTagId(tagId, includeEncrypted, context);
  });
}

KXFileMetaArray KXDataClient::myshareFilemetasWithContext(KXManagedObjectContext* context) {
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return {};
  return CastAll<FileMeta>(Fetch(*target, "FileMeta", "shareType > 0 && del != true", {}));
}

KXFileMetaArray KXDataClient::myshareFilemetas() {
  return onReadQueue(
      [&](KXManagedObjectContext* context) { return myshareFilemetasWithContext(context); });
}

KXFileMetaArray KXDataClient::encryptedDirsInContext(KXManagedObjectContext* context) {
  std::shared_ptr<Root> root = rootEntryWithContext(context);
  if (!root) return {};
  KXFileMetaArray encrypted =
      objectsUnderParent(root, "Notebook", std::string("encrypted = YES"), {}, context);
  KXFileMetaArray result = encrypted;
  for (const KXFileMetaPtr& folder : encrypted) {
    KXFileMetaArray below = objectsUnderParent(folder, "Notebook", std::nullopt, {}, context);
    result.insert(result.end(), below.begin(), below.end());
  }
  return result;
}

void KXDataClient::setParentNameForResult(const KXFileMetaArray& entries,
                                          KXManagedObjectContext* context) {
  // Reserved parent ids ("0", "1", "-2") are shorter than any folder id.
  auto hasFolderParent = [](const FileMeta& entry, std::string* parentId) {
    if (entry.isNil("parentId")) return false;
    *parentId = entry.parentId();
    return kx::Text::utf16Length(*parentId) >= 3;
  };
  kx::Array parentIds;
  std::unordered_set<std::string> seen;
  std::string parentId;
  for (const KXFileMetaPtr& entry : entries) {
    if (hasFolderParent(*entry, &parentId) && seen.insert(parentId).second) {
      parentIds.emplace_back(parentId);
    }
  }
  std::unordered_map<std::string, std::string> titles;
  if (!parentIds.empty()) {
    std::shared_ptr<Root> root = rootEntryWithContext(context);
    for (const KXFileMetaPtr& folder :
         objectsUnderParent(root, "Notebook", std::string("fileId IN %@"),
                            {kx::Value(std::move(parentIds))}, context)) {
      titles.emplace(folder->fileId(), folder->title());
    }
  }
  for (const KXFileMetaPtr& entry : entries) {
    if (!hasFolderParent(*entry, &parentId)) continue;
    auto found = titles.find(parentId);
    if (found != titles.end()) {
      entry->setParentName(found->second);
    } else {
      KXLOG("meta %s parent %s not exist", entry->fileId().c_str(), parentId.c_str());
    }
  }
}

void KXDataClient::setParentNameForResult(const KXFileMetaArray& entries) {
  onReadQueue([&](KXManagedObjectContext* context) { setParentNameForResult(entries, context); });
}

std::pair<KXFileMetaArray, KXFileMetaArray> KXDataClient::objectsFilteredUnderFileId(
    const std::string& folderId, const KXFileMetaArray& originObjects) {
  KXFileMetaArray kept;
  KXFileMetaPtr folder = objectForFileMetaID(folderId);
  if (folder) {
    if (folder->isKindOfEntity("Root")) {
      kept = originObjects;
    } else {
      KXFileMetaArray notebooks = onReadQueue([&](KXManagedObjectContext* context) {
        return objectsUnderParent(folder, "Notebook", std::nullopt, {}, context);
      });
      std::unordered_set<std::string> folders = FileIdsOf(notebooks);
      folders.insert(folder->fileId());
      for (const KXFileMetaPtr& entry : originObjects) {
        if (ParentIn(*entry, folders)) kept.push_back(entry);
      }
    }
    // remoteRemoved = NO && del = NO && parentId <> '-2'
    std::erase_if(kept, [](const KXFileMetaPtr& entry) {
      return !IsLive(*entry) || (!entry->isNil("parentId") && entry->parentId() == kHiddenParentId);
    });
  } else if (folderId.empty()) {
    return {};
  } else if (folderId == kHiddenParentId) {
    for (const KXFileMetaPtr& entry : originObjects) {
      if (!entry->isNil("parentId") && entry->parentId() == kHiddenParentId) kept.push_back(entry);
    }
    return {std::move(kept), {}};
  } else {
    // A virtual folder (the recent list): the hits among the most recent
    // entries.
    const std::unordered_set<std::string> recent =
        FileIdsOf(recentObjectsWithLimit(kRecentFilterLimit, false));
    for (const KXFileMetaPtr& entry : originObjects) {
      if (!entry->isNil("fileId") && recent.count(entry->fileId())) kept.push_back(entry);
    }
  }

  const std::unordered_set<std::string> encrypted = FileIdsOf(onReadQueue(
      [&](KXManagedObjectContext* context) { return encryptedDirsInContext(context); }));
  KXFileMetaArray inEncrypted;
  for (const KXFileMetaPtr& entry : kept) {
    if (ParentIn(*entry, encrypted)) inEncrypted.push_back(entry);
  }
  return {std::move(kept), std::move(inEncrypted)};
}

KXFileMetaArray KXDataClient::recentObjectsWithLimit(std::int64_t limit, bool deleted,
                                                     KXManagedObjectContext* context) {
  if (!deleted) return Cut(recentObjectsNotDeletedWithLimit(limit, context), limit);
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return {};
  return Cut(CastAll<FileMeta>(Fetch(*target, "FileMeta", "parentId = %@ AND remoteRemoved = %@",
                                     {kx::Value(kTrashParentId), kx::Value(false)})),
             limit);
}

KXFileMetaArray KXDataClient::recentObjectsWithLimit(std::int64_t limit, bool deleted) {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return recentObjectsWithLimit(limit, deleted, context);
  });
}

KXFileMetaArray KXDataClient::recentObjectsNotDeletedWithLimit(std::int64_t limit,
                                                               KXManagedObjectContext* context) {
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target || limit == 0) return {};
  KXFileMetaArray candidates = CastAll<FileMeta>(
      Fetch(*target, "FileMeta",
            "transactionTime > 0 && transactionId != nil && remoteRemoved = NO && del = NO", {}));
  if (candidates.empty()) return {};

  // The sort keys, read once per entry.
  struct Keyed {
    bool stick;
    std::int64_t time;  // getMaxTime when pinned, else transactionTime
    std::string fileId;
    KXFileMetaPtr entry;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(candidates.size());
  for (KXFileMetaPtr& entry : candidates) {
    const bool stick = entry->stick();
    keyed.push_back(Keyed{stick, stick ? getMaxTime(*entry) : entry->transactionTime(),
                          stick ? std::string() : entry->fileId(), std::move(entry)});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.stick != b.stick) return a.stick;
    if (a.time != b.time) return a.time > b.time;
    return !a.stick && a.fileId > b.fileId;
  });

  const std::unordered_set<std::string> encrypted = FileIdsOf(encryptedDirsInContext(target));
  const std::size_t total = keyed.size();
  // The window starts at twice the limit and doubles while too few entries
  // remain; a negative limit takes the whole list at once. Sizes are
  // compared without multiplying past the list's length.
  std::size_t window = total;
  if (limit > 0 && static_cast<std::uint64_t>(limit) <= total / 2) {
    window = static_cast<std::size_t>(limit) * 2;
  }
  KXFileMetaArray kept;
  std::size_t scanned = 0;
  for (;;) {
    for (; scanned < window; ++scanned) {
      if (!ParentIn(*keyed[scanned].entry, encrypted)) kept.push_back(keyed[scanned].entry);
    }
    if (window >= total || limit < 0 || kept.size() >= static_cast<std::uint64_t>(limit)) break;
    window = window <= total / 2 ? window * 2 : total;
  }
  setParentNameForResult(kept, target);
  return kept;
}

// ---------------------------------------------------------------------------
// Duplicate titles
// ---------------------------------------------------------------------------

kx::Dictionary KXDataClient::titleOfDuplicateTitle(const std::optional<std::string>& title,
                                                   const std::optional<std::string>& parentId,
                                                   const std::optional<std::string>& overLookFileId,
                                                   const std::string& className) {
  static const std::string kEmptyTitle = "emptyTitle";
  const std::string asked = title.value_or(kEmptyTitle);
  if (!parentId) {
    KXLOG("parentId is nil (title check of \"%s\")", asked.c_str());
    return DupTitleInfo(false, asked, "");
  }
  // Hidden folders ("-2") keep whatever titles they are given.
  if (kx::Value(*parentId).intValue() < 0) return DupTitleInfo(false, asked, "");
  const std::string overlook = overLookFileId.value_or("");

  kx::Dictionary answer = DupTitleInfo(false, asked, "");
  onReadQueue([&](KXManagedObjectContext* context) {
    // One fetch answers the common case, a free title. When it is taken, the
    // folder's titles are read once and the numbered forms tried in memory,
    // all within this one block, so the answer reflects one state.
    KXManagedObjectPtr holder =
        FetchFirst(*context, className, kDupTitleCondition,
                   {kx::Value(asked), kx::Value(*parentId), kx::Value(overlook)});
    if (!holder) return;
    const std::string dupFileId = holder->stringValue("fileId");

    std::unordered_set<std::string> taken{asked};
    for (const KXManagedObjectPtr& sibling : Fetch(*context, className, kSiblingsCondition,
                                                   {kx::Value(*parentId), kx::Value(overlook)})) {
      if (!sibling->isNil("title")) taken.insert(sibling->stringValue("title"));
    }

    const bool fileForm = className == "Note" || className == "NormalFile";
    NSStringDupTitle::Comps comps = fileForm ? NSStringDupTitle::dupFileTitleComps(asked)
                                             : NSStringDupTitle::dupTitleComps(asked);
    std::string candidate = asked;
    for (int tries = 0; tries < kMaxDupTitleTries && taken.count(candidate); ++tries) {
      if (comps.counter == std::numeric_limits<std::int64_t>::max()) {
        // The number cannot grow: number the whole title afresh instead.
        std::string stem = asked;
        if (!comps.tail.empty() && stem.ends_with(comps.tail)) {
          stem.resize(stem.size() - comps.tail.size());
        }
        comps.base = std::move(stem);
        comps.counter = 0;
      }
      ++comps.counter;
      candidate = NSStringDupTitle::dupTitleFromComps(comps);
    }
    answer = DupTitleInfo(true, candidate, dupFileId);
  });
  return answer;
}

std::string KXDataClient::titleOfDuplicateNotebookTitle(const std::string& title) {
  std::optional<KXRegularExpression> pattern = KXRegularExpression::make(
      "^" + KXRegularExpression::escapedPattern(title) + "(?:\\[\\d+])?$");
  std::vector<std::string> titles;
  onReadQueue([&](KXManagedObjectContext* context) {
    if (!pattern) return;
    for (const KXManagedObjectPtr& notebook : Fetch(*context, "Notebook", "del = NO", {})) {
      if (notebook->isNil("title")) continue;
      std::string candidate = notebook->stringValue("title");
      std::optional<KXRegularExpression::Match> match = pattern->firstMatch(candidate);
      if (match && match->byteRanges[0].length == candidate.size()) {
        titles.push_back(std::move(candidate));
      }
    }
  });
  return KXDataClient::title(title, titles);
}

std::string KXDataClient::title(const std::string& title, const std::vector<std::string>& titles) {
  if (titles.empty()) return title;
  std::int64_t maximum = 0;
  bool allBracketed = true;
  for (const std::string& other : titles) {
    const std::size_t open = other.find('[');
    const std::size_t close = open == std::string::npos ? open : other.find(']', open);
    if (close == std::string::npos) {
      allBracketed = false;
      continue;
    }
    // The number between the first "[" and the first "]" after it.
    const std::int64_t number =
        kx::Text::leadingInt64(std::string_view(other).substr(open + 1, close - open - 1));
    maximum = std::max(maximum, number);
  }
  if (!allBracketed) {
    const std::int64_t next =
        maximum == std::numeric_limits<std::int64_t>::max() ? maximum : maximum + 1;
    return title + "[" + kx::Text::toString(next) + "]";
  }
  const std::size_t open = title.find('[');
  return open == std::string::npos ? title : title.substr(0, open);
}

std::string KXDataClient::titleOfDuplicateNoteGroupTitle(const std::string&) {
  throw kx::Exception(kInternalInconsistency, kShouldNotBeCalled);
}
