// KXDataClient: the read wrappers of the entities, single entries and
// values, and the lists of unpushed changes.
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "CommonUtils/NSNumberBoolString.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataClientInternal.h"
#include "Data/KXStoreError.h"
#include "Data/Notebook.h"
#include "Data/Root.h"
#include "Data/Tag.h"

using namespace kx_data_client;

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
  kx::Error failure = KXStoreMakeError(kKXStoreUnavailableError, "The store is closed");
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
  kx::Error failure = KXStoreMakeError(kKXStoreUnavailableError, "The store is closed");
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
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);
  if (!target) return nullptr;
  return ResourceWithID(*target, resourceId);
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
