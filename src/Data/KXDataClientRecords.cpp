// The data client's records kept beside the file entries: share links, pull
// failures, usage counters, pen pages, push marks and the operation log.

#include <algorithm>
#include <exception>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "Data/FailedInfo.h"
#include "Data/FileMeta.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataClientInternal.h"
#include "Data/KXDataContext.h"
#include "Data/KXManagedObjectContext.h"
#include "Data/OperationLog.h"
#include "Data/PenEntry.h"
#include "Data/Root.h"
#include "Data/ShareLink.h"
#include "Data/Statistic.h"

namespace {

kx::Dictionary Query(const char* entity, const char* condition, kx::Array arguments) {
  return kx::Dictionary{{kKXQueryEntityKey, kx::Value(entity)},
                        {kKXQueryConditionKey, kx::Value(condition)},
                        {kKXQueryArgumentsKey, kx::Value(std::move(arguments))}};
}

// Fields of a pen page of the service, in the order they are set: the
// page's key, the field, and whether the field takes the integer of the
// value (otherwise the value as it comes).
struct PenField {
  const char* key;
  const char* field;
  bool integer;
};
constexpr PenField kPenFields[] = {
    {"avtice", "active", true},
    {"createTime", "createTime", false},
    {"deleted", "penNoteDelete", true},
    {"entryId", "entryId", false},
    {"entryType", "entryType", false},
    {"erased", "erased", true},
    {"favorited", "favorited", true},
    {"fileSize", "fileSize", true},
    {"modDeleted", "modDeleted", true},
    {"modifyTime", "modifyTime", true},
    {"name", "name", false},
    {"typeId", "typeId", false},
    {"userId", "userId", false},
    {"version", "version", false},
};

}  // namespace

// ---- Share links -----------------------------------------------------------------

void KXDataClient::updateShareInfo(const std::optional<std::string>& shareUrl,
                                   bool searchEngineEnable, const std::string& fileId) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  updateShareInfo(shareUrl, searchEngineEnable, fileId, *data);
}

void KXDataClient::updateShareInfo(const std::optional<std::string>& shareUrl,
                                   bool searchEngineEnable, const std::string& fileId,
                                   KXDataContext& dataContext) {
  dataContext.performWriteBlock(
      [this, shareUrl, searchEngineEnable, fileId](KXManagedObjectContext& context) {
        KXFileMetaPtr entry = objectForFileMetaID(fileId, &context);
        if (!entry) {
          // A link row that no entry points to would never be read or removed.
          KXLOG("share link of %s not kept: no such entry", fileId.c_str());
          return;
        }
        KXManagedObjectPtr link = entry->object("shareLinkInfo");
        const bool wanted = shareUrl && !shareUrl->empty() && !entry->del();
        if (wanted) {
          if (!link) {
            link = context.insertNewObject("ShareLink");
            if (!link) return;
            entry->setObject("shareLinkInfo", link);
          }
          link->setValue("entryId", kx::Value(fileId));
          link->setValue("shareUrl", kx::Value(*shareUrl));
          link->setValue("searchEngineEnable", kx::Value(searchEngineEnable));
        } else if (link) {
          entry->setObject("shareLinkInfo", nullptr);
          context.deleteObject(link);
        }
      });
}

std::uint64_t KXDataClient::getSubNotebookNumOfNotebook(const std::string& fileId) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return 0;
  std::uint64_t answer = 0;
  data->performSyncReadBlock([&](KXManagedObjectContext& context) {
    answer = getSubNotebookNumOfNotebook(fileId, &context);
  });
  return answer;
}

// ---- Pull failures ---------------------------------------------------------------

std::shared_ptr<FailedInfo> KXDataClient::failedInfoWithFileId(const std::string& fileId,
                                                               KXManagedObjectContext* context) {
  kx::Error error;
  std::optional<KXFetchResult> result = executeSyncQuery(
      "FailedInfo", Query("FailedInfo", "fileId = %@", {kx::Value(fileId)}), context, &error);
  if (!result || result->objects.empty()) return nullptr;
  return KXCast<FailedInfo>(result->objects.front());
}

void KXDataClient::pullFailedFileId(const std::optional<std::string>& fileId,
                                    const std::optional<std::string>& meta) {
  if (!fileId || !meta) return;
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock([this, fileId = *fileId, meta = *meta](KXManagedObjectContext& context) {
    std::int64_t retry = 1;
    if (std::shared_ptr<FailedInfo> row = failedInfoWithFileId(fileId, &context)) {
      if (row->retry() > kMaxPullRetry) return;
      retry = row->retry() + 1;
      context.deleteObject(row);
    }
    KXManagedObjectPtr row = context.insertNewObject("FailedInfo");
    if (!row) return;
    row->setValue("fileId", kx::Value(fileId));
    row->setValue("entryJson", kx::Value(meta));
    row->setValue("retry", kx::Value(retry));
    if (retry > kMaxPullRetry) {
      KXLOG("pull of %s gave up after %ld failures: kept for a full pull or a later change",
            fileId.c_str(), static_cast<long>(retry));
    }
  });
}

void KXDataClient::deletePullFailedFileId(const std::optional<std::string>& fileId) {
  if (!fileId) return;
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock([this, fileId = *fileId](KXManagedObjectContext& context) {
    if (std::shared_ptr<FailedInfo> row = failedInfoWithFileId(fileId, &context)) {
      context.deleteObject(row);
    }
  });
}

kx::Array KXDataClient::fetchPullFailed() {
  return onReadQueue([this](KXManagedObjectContext* context) {
    kx::Array entries;
    kx::Error error;
    std::optional<KXFetchResult> result = executeSyncQuery(
        "FailedInfo", Query("FailedInfo", "retry <= %@", {kx::Value(kMaxPullRetry)}), context,
        &error);
    if (!result) return entries;
    for (const KXManagedObjectPtr& object : result->objects) {
      if (object->isNil("entryJson")) continue;
      const std::string text = object->stringValue("entryJson");
      kx::Error parseError;
      kx::Value parsed = objectFromJSONDataWithParseOptions(kx::Bytes(text.begin(), text.end()),
                                                            JKParseOptionValidFlags, &parseError);
      if (parseError || parsed.isNull()) continue;
      entries.push_back(std::move(parsed));
    }
    return entries;
  });
}

std::vector<std::string> KXDataClient::pullGaveUpFileIds() {
  return onReadQueue([this](KXManagedObjectContext* context) {
    std::vector<std::string> ids;
    kx::Error error;
    std::optional<KXFetchResult> result = executeSyncQuery(
        "FailedInfo", Query("FailedInfo", "retry > %@", {kx::Value(kMaxPullRetry)}), context,
        &error);
    if (!result) return ids;
    for (const KXManagedObjectPtr& object : result->objects) {
      ids.push_back(object->stringValue("fileId"));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  });
}

// ---- Usage counters ----------------------------------------------------------------

std::shared_ptr<Statistic> KXDataClient::statisticWithKey(const std::string& key,
                                                          KXManagedObjectContext* context) {
  kx::Error error;
  std::optional<KXFetchResult> result = executeSyncQuery(
      "Statistic", Query("Statistic", "statisKey = %@", {kx::Value(key)}), context, &error);
  if (!result || result->objects.empty()) return nullptr;
  return KXCast<Statistic>(result->objects.front());
}

void KXDataClient::addStatisKey(const std::string& key, const kx::Value& value) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  const std::int64_t amount = value.isNull() ? 1 : value.intValue();
  data->performWriteBlock([this, key, amount](KXManagedObjectContext& context) {
    KXManagedObjectPtr row = statisticWithKey(key, &context);
    if (!row) {
      row = context.insertNewObject("Statistic");
      if (!row) return;
      row->setValue("statisKey", kx::Value(key));
      row->setValue("statisValue", kx::Value(0));
    }
    row->setValue("statisValue", kx::Value(row->integerValue("statisValue") + amount));
  });
}

kx::Dictionary KXDataClient::fetchStatisInfo() {
  return onReadQueue([this](KXManagedObjectContext* context) {
    kx::Dictionary counts;
    kx::Error error;
    std::optional<KXFetchResult> result =
        executeSyncQuery("Statistic", kx::Dictionary{}, context, &error);
    if (!result) return counts;
    for (const KXManagedObjectPtr& row : result->objects) {
      const std::int64_t count = row->integerValue("statisValue");
      if (count > 0) counts.set(row->stringValue("statisKey"), kx::Value(count));
    }
    return counts;
  });
}

void KXDataClient::ZeroingStatisInfo() {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock([this](KXManagedObjectContext& context) {
    kx::Error error;
    std::optional<KXFetchResult> result =
        executeSyncQuery("Statistic", kx::Dictionary{}, &context, &error);
    if (!result) return;
    for (const KXManagedObjectPtr& row : result->objects) {
      row->setValue("statisValue", kx::Value(0));
    }
  });
}

void KXDataClient::deductStatisInfo(const kx::Dictionary& sent, std::function<void()> done) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) {
    if (done) done();
    return;
  }
  data->performWriteBlock([this, sent](KXManagedObjectContext& context) {
    for (const auto& [key, value] : sent) {
      KXManagedObjectPtr row = statisticWithKey(key, &context);
      if (!row) continue;
      const std::int64_t left = row->integerValue("statisValue") - value.intValue();
      row->setValue("statisValue", kx::Value(left > 0 ? left : 0));
    }
  });
  performSave([done = std::move(done)](const KXResultInfo&, const kx::Error&) {
    if (done) done();
  });
}

// ---- Pen pages ------------------------------------------------------------------------

std::vector<std::shared_ptr<PenEntry>> KXDataClient::penNotesList() {
  return onReadQueue(
      [this](KXManagedObjectContext* context) { return penNotesWithContext(context); });
}

std::vector<std::shared_ptr<PenEntry>> KXDataClient::penNotesWithContext(
    KXManagedObjectContext* context) {
  std::vector<std::shared_ptr<PenEntry>> pages;
  kx::Error error;
  std::optional<KXFetchResult> result =
      executeSyncQuery("CloudPen", Query("CloudPen", "entryId != nil", {}), context, &error);
  if (!result) return pages;
  for (const KXManagedObjectPtr& object : result->objects) {
    if (auto page = KXCast<PenEntry>(object)) pages.push_back(std::move(page));
  }
  return pages;
}

std::shared_ptr<PenEntry> KXDataClient::objectForPenNnoteID(const std::string& entryId,
                                                            KXManagedObjectContext* context) {
  kx::Error error;
  std::optional<KXFetchResult> result = executeSyncQuery(
      "CloudPen", Query("CloudPen", "entryId = %@", {kx::Value(entryId)}), context, &error);
  if (!result || result->objects.empty()) return nullptr;
  return KXCast<PenEntry>(result->objects.front());
}

void KXDataClient::createUpdatePenNote(const kx::Dictionary& page) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock([this, page](KXManagedObjectContext& context) {
    const kx::Value& entryId = page["entryId"];
    KXManagedObjectPtr row = objectForPenNnoteID(entryId.stringValue(), &context);
    if (row) {
      if (row->integerValue("penNoteDelete") != 0) {
        deletePenNote({row->objectID()}, nullptr);  // runs after this block
      }
      if (row->integerValue("version") >= page["version"].intValue()) return;
    } else {
      row = context.insertNewObject("CloudPen");
      if (!row) return;
      row->setValue("entryId", entryId);
    }
    for (const PenField& field : kPenFields) {
      const kx::Value& value = page[field.key];
      row->setValue(field.field, field.integer ? kx::Value(value.intValue()) : value);
    }
  });
  data->performWriteBlock([](KXManagedObjectContext& context) {
    kx::Error error;
    if (!context.save(&error)) {
      KXLOG("pen page not saved: %s", error.localizedDescription().c_str());
    }
  });
}

void KXDataClient::deletePenNote(const std::vector<KXObjectID>& objectIDs,
                                 KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock(
      [objectIDs, callback = std::move(callback)](KXManagedObjectContext& context) {
        kx::Array given;
        for (const KXObjectID& objectID : objectIDs) {
          given.push_back(objectID.toValue());
          KXManagedObjectPtr object = context.existingObject(objectID);
          if (object && object->isKindOfEntity("CloudPen")) context.deleteObject(object);
        }
        if (callback) callback(KXResultInfo::withValue(kx::Value(std::move(given))), kx::Error());
      });
}

// ---- Entry fields and push marks --------------------------------------------------------

void KXDataClient::updateContentChanged(const kx::Value& contentChanged,
                                        const std::string& fileId) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock([this, contentChanged, fileId](KXManagedObjectContext& context) {
    if (KXFileMetaPtr entry = objectForFileMetaID(fileId, &context)) {
      entry->setValue("contentChanged", contentChanged);
    }
  });
}

void KXDataClient::updateChecksum(const std::string& checksum, const std::string& fileId) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock([this, checksum, fileId](KXManagedObjectContext& context) {
    if (KXFileMetaPtr entry = objectForFileMetaID(fileId, &context)) {
      entry->setValue("checksum", kx::Value(checksum));
    }
  });
}

void KXDataClient::markPushFailedWithId(const std::optional<std::string>& fileId) {
  if (!fileId) return;
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  // Inline when the caller is on the write queue already.
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    if (KXFileMetaPtr entry = objectForFileMetaID(*fileId, &context)) {
      entry->setValue("localModified", kx::Value(2));
    }
  });
}

void KXDataClient::markPushFailed() {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    std::shared_ptr<Root> root = rootEntryWithContext(&context);
    if (!root) return;
    for (const KXFileMetaPtr& entry :
         objectsUnderParent(root, "FileMeta", std::string("localModified = YES"), {}, &context)) {
      entry->setValue("localModified", kx::Value(2));
    }
  });
}

// ---- Operation log ---------------------------------------------------------------------

void KXDataClient::addOperationLog(std::int64_t type, const kx::Value& data) {
  std::shared_ptr<KXDataContext> store = dataContext();
  if (!store) return;
  store->performWriteBlock([this, type, data](KXManagedObjectContext& context) {
    if (objectForOperationType(type, &context)) return;
    KXManagedObjectPtr row = context.insertNewObject("OperationLog");
    if (!row) return;
    row->setValue("opType", kx::Value(type));
    if (!data.isNull()) row->setValue("opData", data);
  });
}

std::shared_ptr<OperationLog> KXDataClient::objectForOperationType(std::int64_t type) {
  return onReadQueue([this, type](KXManagedObjectContext* context) {
    return objectForOperationType(type, context);
  });
}

std::shared_ptr<OperationLog> KXDataClient::objectForOperationType(
    std::int64_t type, KXManagedObjectContext* context) {
  kx::Error error;
  std::optional<KXFetchResult> result = executeSyncQuery(
      "OperationLog", Query("OperationLog", "opType = %@", {kx::Value(type)}), context, &error);
  if (!result || result->objects.empty()) return nullptr;
  return KXCast<OperationLog>(result->objects.front());
}
