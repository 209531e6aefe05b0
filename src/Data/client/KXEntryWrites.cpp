// KXEntryWrites: inserts of new entries, tags and records.
#include "Data/client/KXEntryWrites.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXStoreError.h"
#include "platform/GlobalQueue.h"
#include "platform/Time.h"

using namespace kx_data_client;

KXEntryWrites::KXEntryWrites(KXDataClient& client) : client_(client) {}

std::vector<KXManagedObjectPtr> KXEntryWrites::addManagedObjectsSync(
    const std::string& entityName, KXManagedObjectContext* context, const kx::Array& items,
    const KXDataCallback& callback) {
  std::vector<KXManagedObjectPtr> inserted;
  kx::Array docInfos;
  std::string refused;
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, client_.dataContext(), &holder);

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
      if (fileId && !fileId->isNull() &&
          client_.readsIn(target).objectForFileMetaID(fileId->stringValue())) {
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
        kx::Dictionary dup = client_.reads().titleOfDuplicateTitle(
            title->stringValue(), parentId->stringValue(), std::nullopt, entity);
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
  if (!docInfos.empty()) client_.indexing().indexNotes(docInfos);
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
        client->writes().addManagedObjectsSync(entityName, &context, items, callback);
      });
}

}  // namespace

void KXEntryWrites::addFileMetas(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(&client_, "FileMeta", items, std::move(callback));
}

void KXEntryWrites::addRoot(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(&client_, "Root", items, std::move(callback));
}

void KXEntryWrites::addNotebooks(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(&client_, "Notebook", items, std::move(callback));
}

void KXEntryWrites::addNotes(const kx::Array& items, bool /*local*/, KXDataCallback callback) {
  QueueInsert(&client_, "Note", items, std::move(callback));
}

void KXEntryWrites::addNormalFiles(const kx::Array& items, bool /*local*/,
                                   KXDataCallback callback) {
  QueueInsert(&client_, "NormalFile", items, std::move(callback));
}

void KXEntryWrites::addTags(const kx::Array& items, KXDataCallback callback) {
  QueueInsert(&client_, "Tag", items, std::move(callback));
}

void KXEntryWrites::updateRootVersion(std::int64_t version) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, version](KXManagedObjectContext& context) {
    std::optional<KXFetchResult> roots = client_.readsIn(&context).executeSyncQuery(
        "Root", kx::Dictionary{{kKXQueryEntityKey, "Root"}}, nullptr);
    if (roots && !roots->objects.empty()) {
      kx::ignoreError(roots->objects.front()->setValue("version", kx::Value(version)));
    }
  });
}

void KXEntryWrites::updateResourceEntry(const KXManagedObjectPtr& /*entry*/) {
  if (std::shared_ptr<KXDataContext> data = client_.dataContext()) {
    data->performWriteBlock([](KXManagedObjectContext&) {});
  }
}

void KXEntryWrites::addResourceEntry(const KXManagedObjectPtr& /*entry*/) {
  if (std::shared_ptr<KXDataContext> data = client_.dataContext()) {
    data->performWriteBlock([](KXManagedObjectContext&) {});
  }
}

KXManagedObjectPtr KXEntryWrites::relationObjectSync(const kx::Dictionary& relationInfo,
                                                     KXManagedObjectContext* context) {
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, client_.dataContext(), &holder);
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

void KXEntryWrites::updateNotesSummary(const std::string& fileId, const std::string& summary) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, fileId, summary](KXManagedObjectContext& context) {
    KXFileMetaPtr entry = client_.readsIn(&context).objectForFileMetaID(fileId);
    if (!entry) return;
    const char* trimmed = "\r\n ";
    std::size_t first = summary.find_first_not_of(trimmed);
    std::string text = first == std::string::npos
                           ? std::string()
                           : summary.substr(first, summary.find_last_not_of(trimmed) - first + 1);
    kx::ignoreError(entry->setValue("summary", kx::Value(std::move(text))));
  });
}
