// KXDataClient: inserts of new entries, tags and records.
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataClientInternal.h"
#include "Data/KXModel.h"
#include "Data/KXStoreError.h"
#include "platform/Time.h"

using namespace kx_data_client;

std::vector<KXManagedObjectPtr> KXDataClient::addManagedObjectsSync(
    const std::string& entityName, KXManagedObjectContext* context, const kx::Array& items,
    const KXDataCallback& callback) {
  std::vector<KXManagedObjectPtr> inserted;
  kx::Array docInfos;
  std::string refused;
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, dataContext(), &holder);

  for (const kx::Value& item : items) {
    if (!target || !item.isDictionary()) continue;
    const kx::Dictionary& given = item.dict();
    kx::Dictionary copy = given;
    kx::Value docInfo;

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
      // Listings and lookups select live entries by "del = NO" and
      // "remoteRemoved = NO", which an unset flag does not meet: an item that
      // does not say otherwise is a live entry.
      for (const char* flag : {"del", "remoteRemoved"}) {
        const kx::Value* value = given.find(flag);
        if (!value || value->isNull()) copy.set(flag, kx::Value(false));
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
      // Notes are indexed with their content when the editor saves them;
      // notebooks and other files are found by their titles.
      if (entity != "Note") {
        docInfo = kx::Value::dict({{"docContent", copy["title"]}, {"docID", given["fileId"]}});
      }
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
    // Keys that name no property are skipped; a value the store cannot
    // coerce is refused (and reported below) rather than stored.
    if (!object->setValuesForKeys(copy)) {
      KXLOG("insert of %s: a value was refused", entity.c_str());
      refused += (refused.empty() ? "" : ", ") + object->objectID().uriRepresentation();
    }
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
    if (!docInfo.isNull()) docInfos.push_back(std::move(docInfo));
    inserted.push_back(std::move(object));
  }
  if (!docInfos.empty()) indexNotes(docInfos);
  if (callback) {
    kx::Error error;
    if (!refused.empty()) {
      error = KXStoreMakeError(kKXStoreTypeError, "values refused on insert of " + refused);
    }
    callback(KXResultInfo::withObjects(inserted), error);
  }
  return inserted;
}

// ---- Wrappers on the write queue ----------------------------------------------------

namespace {

// Queues the generic insert of one entity on the write queue.
void QueueInsert(KXDataClient* client, const std::string& entityName, const kx::Array& items,
                 KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client->dataContext();
  if (!data) return;
  data->performWriteBlock(
      [client, entityName, items, callback = std::move(callback)](KXManagedObjectContext& context) {
        client->addManagedObjectsSync(entityName, &context, items, callback);
      });
}

}  // namespace

void KXDataClient::addFileMetas(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(this, "FileMeta", items, std::move(callback));
}

void KXDataClient::addRoot(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(this, "Root", items, std::move(callback));
}

void KXDataClient::addNotebooks(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(this, "Notebook", items, std::move(callback));
}

void KXDataClient::addNotes(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(this, "Note", items, std::move(callback));
}

void KXDataClient::addNormalFiles(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(this, "NormalFile", items, std::move(callback));
}

void KXDataClient::addTags(const kx::Array& items, KXDataCallback callback) {
  QueueInsert(this, "Tag", items, std::move(callback));
}

void KXDataClient::updateRootVersion(std::int64_t version) {
  std::shared_ptr<KXDataContext> data = dataContext();
  if (!data) return;
  data->performWriteBlock([this, version](KXManagedObjectContext& context) {
    std::optional<KXFetchResult> roots =
        executeSyncQuery("Root", kx::Dictionary{{kKXQueryEntityKey, "Root"}}, &context, nullptr);
    if (roots && !roots->objects.empty()) {
      kx::ignoreError(roots->objects.front()->setValue("version", kx::Value(version)));
    }
  });
}

void KXDataClient::updateResourceEntry(const KXManagedObjectPtr& /*entry*/) {
  if (std::shared_ptr<KXDataContext> data = dataContext()) {
    data->performWriteBlock([](KXManagedObjectContext&) {});
  }
}

void KXDataClient::addResourceEntry(const KXManagedObjectPtr& /*entry*/) {
  if (std::shared_ptr<KXDataContext> data = dataContext()) {
    data->performWriteBlock([](KXManagedObjectContext&) {});
  }
}
