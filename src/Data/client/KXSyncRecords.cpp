// KXSyncRecords: the records kept beside the file entries: share links,
// pull failures, usage counters, pen pages, push marks and the operation log.
#include <algorithm>
#include <exception>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/FailedInfo.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/OperationLog.h"
#include "Data/entities/PenEntry.h"
#include "Data/entities/Root.h"
#include "Data/entities/ShareLink.h"
#include "Data/entities/Statistic.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"

using namespace kx_data_client;

KXSyncRecords::KXSyncRecords(KXDataClient& client) : client_(client) {}

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

void KXSyncRecords::updateShareInfo(const std::optional<std::string>& shareUrl,
                                    bool searchEngineEnable, const std::string& fileId) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  updateShareInfo(shareUrl, searchEngineEnable, fileId, *data);
}

void KXSyncRecords::updateShareInfo(const std::optional<std::string>& shareUrl,
                                    bool searchEngineEnable, const std::string& fileId,
                                    KXDataContext& dataContext) {
  dataContext.performWriteBlock(
      [this, shareUrl, searchEngineEnable, fileId](KXManagedObjectContext& context) {
        KXFileMetaPtr entry = client_.readsIn(&context).objectForFileMetaID(fileId);
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

// ---- Pull failures ---------------------------------------------------------------

std::shared_ptr<FailedInfo> KXSyncRecords::failedInfoWithFileId(const std::string& fileId,
                                                                KXManagedObjectContext* context) {
  kx::Error error;
  std::optional<KXFetchResult> result = client_.readsIn(context).executeSyncQuery(
      "FailedInfo", Query("FailedInfo", "fileId = %@", {kx::Value(fileId)}), &error);
  if (!result || result->objects.empty()) return nullptr;
  return KXCast<FailedInfo>(result->objects.front());
}

void KXSyncRecords::pullFailedFileId(const std::optional<std::string>& fileId,
                                     const std::optional<std::string>& meta) {
  if (!fileId || !meta) return;
  std::shared_ptr<KXDataContext> data = client_.dataContext();
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

void KXSyncRecords::deletePullFailedFileId(const std::optional<std::string>& fileId) {
  if (!fileId) return;
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, fileId = *fileId](KXManagedObjectContext& context) {
    if (std::shared_ptr<FailedInfo> row = failedInfoWithFileId(fileId, &context)) {
      context.deleteObject(row);
    }
  });
}

kx::Array KXSyncRecords::fetchPullFailed() {
  return InContextOrOnReadQueue(client_, nullptr, [this](KXManagedObjectContext* context) {
    kx::Array entries;
    kx::Error error;
    std::optional<KXFetchResult> result = client_.readsIn(context).executeSyncQuery(
        "FailedInfo", Query("FailedInfo", "retry <= %@", {kx::Value(kMaxPullRetry)}), &error);
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

std::vector<std::string> KXSyncRecords::pullGaveUpFileIds() {
  return InContextOrOnReadQueue(client_, nullptr, [this](KXManagedObjectContext* context) {
    std::vector<std::string> ids;
    kx::Error error;
    std::optional<KXFetchResult> result = client_.readsIn(context).executeSyncQuery(
        "FailedInfo", Query("FailedInfo", "retry > %@", {kx::Value(kMaxPullRetry)}), &error);
    if (!result) return ids;
    for (const KXManagedObjectPtr& object : result->objects) {
      ids.push_back(object->stringValue("fileId"));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  });
}

// ---- Usage counters ----------------------------------------------------------------

std::shared_ptr<Statistic> KXSyncRecords::statisticWithKey(const std::string& key,
                                                           KXManagedObjectContext* context) {
  kx::Error error;
  std::optional<KXFetchResult> result = client_.readsIn(context).executeSyncQuery(
      "Statistic", Query("Statistic", "statisKey = %@", {kx::Value(key)}), &error);
  if (!result || result->objects.empty()) return nullptr;
  return KXCast<Statistic>(result->objects.front());
}

void KXSyncRecords::addStatisKey(const std::string& key, const kx::Value& value) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
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

kx::Dictionary KXSyncRecords::fetchStatisInfo() {
  return InContextOrOnReadQueue(client_, nullptr, [this](KXManagedObjectContext* context) {
    kx::Dictionary counts;
    kx::Error error;
    std::optional<KXFetchResult> result =
        client_.readsIn(context).executeSyncQuery("Statistic", kx::Dictionary{}, &error);
    if (!result) return counts;
    for (const KXManagedObjectPtr& row : result->objects) {
      const std::int64_t count = row->integerValue("statisValue");
      if (count > 0) counts.set(row->stringValue("statisKey"), kx::Value(count));
    }
    return counts;
  });
}

void KXSyncRecords::ZeroingStatisInfo() {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this](KXManagedObjectContext& context) {
    kx::Error error;
    std::optional<KXFetchResult> result =
        client_.readsIn(&context).executeSyncQuery("Statistic", kx::Dictionary{}, &error);
    if (!result) return;
    for (const KXManagedObjectPtr& row : result->objects) {
      row->setValue("statisValue", kx::Value(0));
    }
  });
}

void KXSyncRecords::deductStatisInfo(const kx::Dictionary& sent, std::function<void()> done) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
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
  client_.state().performSave([done = std::move(done)](const KXResultInfo&, const kx::Error&) {
    if (done) done();
  });
}

// ---- Pen pages ------------------------------------------------------------------------

std::vector<std::shared_ptr<PenEntry>> KXSyncRecords::penNotesList() {
  return InContextOrOnReadQueue(client_, nullptr, [this](KXManagedObjectContext* context) {
    return penNotesWithContext(context);
  });
}

std::vector<std::shared_ptr<PenEntry>> KXSyncRecords::penNotesWithContext(
    KXManagedObjectContext* context) {
  std::vector<std::shared_ptr<PenEntry>> pages;
  kx::Error error;
  std::optional<KXFetchResult> result = client_.readsIn(context).executeSyncQuery(
      "CloudPen", Query("CloudPen", "entryId != nil", {}), &error);
  if (!result) return pages;
  for (const KXManagedObjectPtr& object : result->objects) {
    if (auto page = KXCast<PenEntry>(object)) pages.push_back(std::move(page));
  }
  return pages;
}

std::shared_ptr<PenEntry> KXSyncRecords::objectForPenNnoteID(const std::string& entryId,
                                                             KXManagedObjectContext* context) {
  kx::Error error;
  std::optional<KXFetchResult> result = client_.readsIn(context).executeSyncQuery(
      "CloudPen", Query("CloudPen", "entryId = %@", {kx::Value(entryId)}), &error);
  if (!result || result->objects.empty()) return nullptr;
  return KXCast<PenEntry>(result->objects.front());
}

void KXSyncRecords::createUpdatePenNote(const kx::Dictionary& page) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
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

void KXSyncRecords::deletePenNote(const std::vector<KXObjectID>& objectIDs,
                                  KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
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

void KXSyncRecords::updateContentChanged(const kx::Value& contentChanged,
                                         const std::string& fileId) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, contentChanged, fileId](KXManagedObjectContext& context) {
    if (KXFileMetaPtr entry = client_.readsIn(&context).objectForFileMetaID(fileId)) {
      entry->setValue("contentChanged", contentChanged);
    }
  });
}

void KXSyncRecords::updateChecksum(const std::string& checksum, const std::string& fileId) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, checksum, fileId](KXManagedObjectContext& context) {
    if (KXFileMetaPtr entry = client_.readsIn(&context).objectForFileMetaID(fileId)) {
      entry->setValue("checksum", kx::Value(checksum));
    }
  });
}

void KXSyncRecords::markPushFailedWithId(const std::optional<std::string>& fileId) {
  if (!fileId) return;
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  // Inline when the caller is on the write queue already.
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    if (KXFileMetaPtr entry = client_.readsIn(&context).objectForFileMetaID(*fileId)) {
      entry->setValue("localModified", kx::Value(2));
    }
  });
}

void KXSyncRecords::markPushFailed() {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    std::shared_ptr<Root> root = client_.reads().rootEntryWithContext(&context);
    if (!root) return;
    for (const KXFileMetaPtr& entry : client_.readsIn(&context).objectsUnderParent(
             root, "FileMeta", std::string("localModified = YES"), {})) {
      entry->setValue("localModified", kx::Value(2));
    }
  });
}

// ---- Operation log ---------------------------------------------------------------------

void KXSyncRecords::addOperationLog(std::int64_t type, const kx::Value& data) {
  std::shared_ptr<KXDataContext> store = client_.dataContext();
  if (!store) return;
  store->performWriteBlock([this, type, data](KXManagedObjectContext& context) {
    if (objectForOperationType(type, &context)) return;
    KXManagedObjectPtr row = context.insertNewObject("OperationLog");
    if (!row) return;
    row->setValue("opType", kx::Value(type));
    if (!data.isNull()) row->setValue("opData", data);
  });
}

std::shared_ptr<OperationLog> KXSyncRecords::objectForOperationType(
    std::int64_t type, KXManagedObjectContext* context) {
  kx::Error error;
  std::optional<KXFetchResult> result = client_.readsIn(context).executeSyncQuery(
      "OperationLog", Query("OperationLog", "opType = %@", {kx::Value(type)}), &error);
  if (!result || result->objects.empty()) return nullptr;
  return KXCast<OperationLog>(result->objects.front());
}
