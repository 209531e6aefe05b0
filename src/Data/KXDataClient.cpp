// KXDataClient: the frame (the default client, the context it holds, the
// hooks it installs for lower layers) and the query core every read and
// write goes through.
#include "Data/KXDataClient.h"

#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "Data/KXDataClientInternal.h"
#include "Data/KXDataContext.h"
#include "Data/KXFileManager.h"
#include "Data/KXIndexFeed.h"
#include "Data/KXManagedObjectContext.h"
#include "Data/KXModel.h"
#include "Data/KXStoreError.h"
#include "Data/ResourceEntry.h"
#include "Data/User.h"
#include "search/KXSContext.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSSearchProxy.h"

using namespace kx_data_client;

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
  indexFeed_ = KXIndexFeed::create(ftsIndexer_);
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
  // What the client's saves handed over reaches the indexer, also what
  // still waits for the batch before it.
  indexFeed_->close();
}

std::string KXDataClient::indexDirectory() const {
  return KXFileManager::defaultManauger().URLForCurrentUserFulltextInexDirectory();
}

std::string KXDataClient::indexStopWordsFile() const {
  return KXFileManager::defaultManauger().URLForFulltextStopWordsFile();
}

void KXDataClient::closeDB() {
  std::shared_ptr<KXDataContext> dropped;  // let go of outside the lock
  kx::MutexLock lock(mu_);
  dropped.swap(context_);
}

std::shared_ptr<KXDataContext> KXDataClient::dataContext() const {
  kx::MutexLock lock(mu_);
  return context_;
}

kx::Value KXDataClient::currentSessionVersion() const {
  kx::MutexLock lock(mu_);
  return currentSessionVersion_;
}

void KXDataClient::setCurrentSessionVersion(kx::Value version) {
  kx::MutexLock lock(mu_);
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
  KXFileManager::setResourceFileLookup([weak](const std::string& resourceId) -> std::string {
    std::shared_ptr<KXDataContext> data = weak.lock();
    if (!data) return {};
    std::string path;
    // The resource and its entry are read on the read queue, which owns the
    // context they belong to.
    data->performSyncReadBlock([&](KXManagedObjectContext& context) {
      std::shared_ptr<Resource> resource = ResourceWithID(context, resourceId);
      std::shared_ptr<ResourceEntry> entry = resource ? resource->entry() : nullptr;
      if (entry) path = entry->file();
    });
    return path;
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

// ---------------------------------------------------------------------------
// Query core
// ---------------------------------------------------------------------------

std::optional<KXFetchRequest> KXDataClient::buildQuery(const kx::Dictionary& queryInfo,
                                                       kx::Error* error) {
  const kx::Value* entity = queryInfo.find(kKXQueryEntityKey);
  if (!entity || !entity->isString() || entity->string().empty()) {
    kx::SetError(error, KXStoreMakeError(kKXStoreUnknownEntityError, "The query names no entity"));
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
    failure = KXStoreMakeError(kKXStoreUnavailableError, "The store is closed");
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
