// KXDataClient: inserts of new entries, tags and records.
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataClientInternal.h"
#include "Data/KXModel.h"
#include "platform/Time.h"

using namespace kx_data_client;

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
