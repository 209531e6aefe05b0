// KXEntryReads: the binding, the queries, the read wrappers of the
// entities, single entries and values, and the lists of unpushed changes.
#include "Data/client/KXEntryReads.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "CommonUtils/NSNumberBoolString.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReadsInternal.h"
#include "Data/entities/DbState.h"
#include "Data/entities/Notebook.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/entities/Root.h"
#include "Data/entities/Tag.h"
#include "Data/entities/User.h"
#include "Data/store/KXStoreError.h"

using namespace kx_data_client;

KXEntryReads::KXEntryReads(KXDataClient& client, KXManagedObjectContext* context)
    : client_(&client), bound_(context) {}

// ---------------------------------------------------------------------------
// Read wrappers
// ---------------------------------------------------------------------------

std::optional<std::vector<KXManagedObjectPtr>> KXEntryReads::readFileMetasSyncForQuery(
    const std::optional<std::string>& condition, const kx::Array& arguments,
    const std::string& entityName, kx::Error* error) {
  kx::Dictionary query{{kKXQueryEntityKey, kx::Value(entityName)}};
  if (condition) {
    query.set(kKXQueryConditionKey, kx::Value(*condition));
    if (!arguments.empty()) query.set(kKXQueryArgumentsKey, kx::Value(arguments));
  }
  kx::Error failure = KXStoreMakeError(kKXStoreUnavailableError, "The store is closed");
  std::optional<KXFetchResult> result = onReadQueue([&](KXManagedObjectContext* context) {
    return executeSyncQuery(entityName, query, error ? &failure : nullptr);
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

std::optional<KXFetchResult> KXEntryReads::readSyncForEntity(const char* entityName,
                                                             const kx::Dictionary& queryInfo,
                                                             kx::Error* error) {
  kx::Error failure = KXStoreMakeError(kKXStoreUnavailableError, "The store is closed");
  std::optional<KXFetchResult> result = onReadQueue([&](KXManagedObjectContext* context) {
    return executeSyncQuery(entityName, queryInfo, error ? &failure : nullptr);
  });
  if (!result) kx::SetError(error, failure);
  return result;
}

std::optional<KXFetchResult> KXEntryReads::readNotebookSyncForCondition(
    const kx::Dictionary& queryInfo, kx::Error* error) {
  return readSyncForEntity(kNotebookEntity, queryInfo, error);
}

std::optional<KXFetchResult> KXEntryReads::readNoteSyncForCondition(const kx::Dictionary& queryInfo,
                                                                    kx::Error* error) {
  return readSyncForEntity(kNoteEntity, queryInfo, error);
}

std::optional<KXFetchResult> KXEntryReads::readNormalFileSyncForCondition(
    const kx::Dictionary& queryInfo, kx::Error* error) {
  return readSyncForEntity(kNormalFileEntity, queryInfo, error);
}

std::optional<KXFetchResult> KXEntryReads::readResourceSyncForCondition(
    const kx::Dictionary& queryInfo, kx::Error* error) {
  return readSyncForEntity(kResourceEntity, queryInfo, error);
}

void KXEntryReads::readNotebookForCondition(const kx::Dictionary& queryInfo,
                                            KXDataCallback callback) {
  executeAsyncQueryForType(1, kNotebookEntity, queryInfo, std::move(callback));
}

void KXEntryReads::readNoteForCondition(const kx::Dictionary& queryInfo, KXDataCallback callback) {
  executeAsyncQueryForType(1, kNoteEntity, queryInfo, std::move(callback));
}

void KXEntryReads::readNormalFileForCondition(const kx::Dictionary& queryInfo,
                                              KXDataCallback callback) {
  executeAsyncQueryForType(1, kNormalFileEntity, queryInfo, std::move(callback));
}

void KXEntryReads::readResourceForCondition(const kx::Dictionary& queryInfo,
                                            KXDataCallback callback) {
  executeAsyncQueryForType(1, kResourceEntity, queryInfo, std::move(callback));
}

std::vector<KXManagedObjectPtr> KXEntryReads::readGroupSyncForCondiction(const kx::Dictionary&,
                                                                         kx::Error*) {
  throw kx::Exception(kInternalInconsistency, kShouldNotBeCalled);
}

// ---------------------------------------------------------------------------
// Single entries and values
// ---------------------------------------------------------------------------

KXFileMetaPtr KXEntryReads::objectForFileMetaID(const std::string& fileId) {
  if (!bound_) {
    return onReadQueue(
        [&](KXManagedObjectContext* context) { return in(context).objectForFileMetaID(fileId); });
  }
  KXManagedObjectContext* context = bound_;
  if (fileId.empty()) return nullptr;
  if (fileId == KXDataClient::kRootFileId) return rootEntryWithContext(context);
  KXManagedObjectContext* target = context;
  return KXCast<FileMeta>(FetchFirst(*target, "FileMeta", "fileId = %@", {kx::Value(fileId)}));
}

std::shared_ptr<Tag> KXEntryReads::objectForTagID(const std::string& tagId) {
  if (!bound_) {
    return onReadQueue(
        [&](KXManagedObjectContext* context) { return in(context).objectForTagID(tagId); });
  }
  KXManagedObjectContext* context = bound_;
  if (tagId.empty()) return nullptr;
  KXManagedObjectContext* target = context;
  return KXCast<Tag>(FetchFirst(*target, "Tag", "tagId = %@", {kx::Value(tagId)}));
}

std::shared_ptr<Notebook> KXEntryReads::objectForBookName(const std::string& name) {
  if (name.empty()) return nullptr;
  if (!bound_) {
    return onReadQueue(
        [&](KXManagedObjectContext* context) { return in(context).objectForBookName(name); });
  }
  KXManagedObjectContext* context = bound_;
  KXManagedObjectContext* target = context;
  return KXCast<Notebook>(FetchFirst(*target, "Notebook", "title = %@", {kx::Value(name)}));
}

std::shared_ptr<Resource> KXEntryReads::objectForResourceID(const std::string& resourceId) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).objectForResourceID(resourceId);
    });
  }
  KXManagedObjectContext* context = bound_;
  KXManagedObjectContext* target = context;
  return ResourceWithID(*target, resourceId);
}

std::shared_ptr<Root> KXEntryReads::rootEntry() { return rootEntryWithContext(nullptr); }

std::shared_ptr<Root> KXEntryReads::rootEntryWithContext(KXManagedObjectContext* context) {
  if (!context) context = bound_;
  if (!context) {
    return onReadQueue(
        [&](KXManagedObjectContext* reader) { return rootEntryWithContext(reader); });
  }
  KXManagedObjectContext* target = context;
  return KXCast<Root>(FetchFirst(*target, "Root", {}, {}));
}

std::int64_t KXEntryReads::baseVersion() {
  if (!bound_ && !client_->dataContext()) return -1;
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) { return in(context).baseVersion(); });
  }
  KXManagedObjectContext* context = bound_;
  std::shared_ptr<Root> root = rootEntryWithContext(context);
  return root ? root->version() : -1;
}

std::int64_t KXEntryReads::countOfTrash() {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) { return in(context).countOfTrash(); });
  }
  KXManagedObjectContext* context = bound_;
  KXManagedObjectContext* target = context;
  KXFetchRequest request(
      "Note", KXPredicate::withFormat("del = %@ AND remoteRemoved = NO", {kx::Value(1)}));
  std::int64_t count = target->count(request);
  return count < 0 ? 0 : count;
}

std::int64_t KXEntryReads::getMaxTime(const FileMeta& entry) {
  const std::int64_t modifyTime =
      NSNumberBoolString::dateNumber(entry.value("modifyTime")).intValue();
  const std::int64_t stickTime =
      NSNumberBoolString::dateNumber(entry.value("stickTime")).intValue();
  return modifyTime > stickTime ? modifyTime : stickTime;
}

// ---------------------------------------------------------------------------
// Lists for the sync engine
// ---------------------------------------------------------------------------

KXFileMetaArray KXEntryReads::readForUnpushedFilemeta() {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return CastAll<FileMeta>(
        Fetch(*context, "FileMeta",
              "(localModified > 0) AND (parentId <> '0') AND (parentId <> '-2')", {}));
  });
}

std::vector<std::shared_ptr<Resource>> KXEntryReads::readForUnpushedResources() {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return CastAll<Resource>(
        Fetch(*context, "Resource", "localModified = YES AND notes.@count != 0", {}));
  });
}

KXFileMetaArray KXEntryReads::readForUnpushedTrashOperation() {
  return onReadQueue([&](KXManagedObjectContext* context) {
    return CastAll<FileMeta>(Fetch(*context, "Note", "localTrashOp = YES", {}));
  });
}

std::optional<KXFetchRequest> KXEntryReads::buildQuery(const kx::Dictionary& queryInfo,
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

std::optional<KXFetchResult> KXEntryReads::executeSyncQuery(const std::string& entityName,
                                                            const kx::Dictionary& queryInfo,
                                                            kx::Error* error) {
  // A closed store answers here, with its error, rather than on the queue.
  if (!bound_ && client_->dataContext()) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).executeSyncQuery(entityName, queryInfo, error);
    });
  }
  kx::Dictionary query = queryInfo;
  query.set(kKXQueryEntityKey, kx::Value(entityName));

  kx::Error failure;
  std::optional<KXFetchResult> answer;
  KXManagedObjectContext* target = bound_;
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

void KXEntryReads::executeAsyncQueryForType(int type, const std::string& entityName,
                                            const kx::Dictionary& queryInfo,
                                            KXDataCallback callback) {
  (void)type;
  std::shared_ptr<KXDataContext> data = client_->dataContext();
  if (!data) return;
  // The reads object may be a temporary; the client outlives its queues.
  KXDataClient* client = client_;
  data->performReadBlock([client, entityName, queryInfo,
                          callback = std::move(callback)](KXManagedObjectContext& context) {
    kx::Error error;
    std::optional<KXFetchResult> result =
        client->readsIn(&context).executeSyncQuery(entityName, queryInfo, &error);
    if (!callback) return;
    callback(result ? KXResultInfo::withFetch(std::move(*result)) : KXResultInfo::none(), error);
  });
}

void KXEntryReads::performSyncReadBlock(const std::function<void()>& block) {
  if (!block) return;
  std::shared_ptr<KXDataContext> data = client_->dataContext();
  if (!data) return;
  data->performSyncReadBlock([&](KXManagedObjectContext&) { block(); });
}

std::shared_ptr<DbState> KXEntryReads::dbStateObjectWithKey(const std::optional<std::string>& key) {
  if (!bound_) {
    return onReadQueue(
        [&](KXManagedObjectContext* context) { return in(context).dbStateObjectWithKey(key); });
  }
  KXManagedObjectContext* context = bound_;
  if (!key) return nullptr;
  KXManagedObjectContext* target = context;
  return KXCast<DbState>(FetchFirst(*target, "DbState", "stateKey = %@", {kx::Value(*key)}));
}

std::shared_ptr<User> KXEntryReads::user() {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) { return in(context).user(); });
  }
  KXManagedObjectContext* context = bound_;
  KXManagedObjectContext* target = context;
  return KXCast<User>(FetchFirst(*target, "User", {}, {}));
}

std::shared_ptr<ResourceEntry> KXEntryReads::resourceEntryForHashCode(
    const std::optional<std::string>& hash) {
  if (!bound_) {
    return onReadQueue([&](KXManagedObjectContext* context) {
      return in(context).resourceEntryForHashCode(hash);
    });
  }
  if (!hash) return nullptr;
  return KXCast<ResourceEntry>(
      FetchFirst(*bound_, "ResourceEntry", "dataHash = %@", {kx::Value(*hash)}));
}
