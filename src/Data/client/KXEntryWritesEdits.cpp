// KXEntryWrites: deleting, modifying and erasing stored entries and tags.
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXStoreError.h"
#include "platform/Time.h"
#include "search/KXFTSDocument.h"
#include "search/KXSIndexProxy.h"

using namespace kx_data_client;

namespace {

constexpr const char* kPurgeTrashOperation = "trucate";

kx::Value IdsValue(const std::vector<KXObjectID>& objectIDs) {
  kx::Array ids;
  ids.reserve(objectIDs.size());
  for (const KXObjectID& objectID : objectIDs) ids.push_back(objectID.toValue());
  return kx::Value(std::move(ids));
}

// Sets a value the model is known to take; a refusal would be a fault of the
// model, which the object logs.
void Set(const KXManagedObjectPtr& object, std::string_view key, kx::Value value) {
  kx::ignoreError(object->setValue(key, value));
}

}  // namespace

// ---- Deleting -------------------------------------------------------------------------

std::vector<KXObjectID> KXEntryWrites::deleteManagedObjectSync(
    const std::string& entityName, KXManagedObjectContext* context,
    const std::vector<KXObjectID>& objectIDs, const KXDataCallback& callback) {
  KXSIndexProxy::Documents removals;
  std::vector<std::string> strippedTags;
  for (const KXObjectID& objectID : objectIDs) {
    KXManagedObjectPtr object =
        (context && !objectID.isNull()) ? context->existingObject(objectID) : nullptr;
    if (!object) {
      KXLOG("delete of %s skipped: no such object", objectID.uriRepresentation().c_str());
      continue;
    }
    const kx::Value now(static_cast<long long>(kx::Time::nowSeconds()));
    if (object->isKindOfEntity("FileMeta")) {
      if (object->boolValue("del")) {
        // In the trash already: purged, and pushed as such.
        Set(object, "remoteRemoved", kx::Value(true));
        Set(object, "localModified", kx::Value(true));
        Set(object, "trashModifyData", kx::Value(kPurgeTrashOperation));
        Set(object, "localTrashOp", kx::Value(true));
        if (entityName == "Note") {
          removals.push_back(
              std::make_shared<KXFTSDocument>(object->stringValue("fileId"), std::string()));
        }
      } else {
        // To the trash, remembering the folder it came from for a restore.
        const kx::Value formerParent = object->value("parentId");
        Set(object, "del", kx::Value(true));
        Set(object, "remoteRemoved", kx::Value(false));
        Set(object, "localModified", kx::Value(true));
        Set(object, "parentId", kx::Value(KXDataClient::kTrashParentId));
        std::optional<std::string> parentId;
        if (!formerParent.isNull()) parentId = formerParent.stringValue();
        Set(object, "namePath",
            kx::Value(client_.readsIn(context).namePathFromNotebookId(parentId)));
      }
      Set(object, "modifyTime", now);
      if (object->isKindOfEntity("Notebook")) {
        const bool purged = object->boolValue("remoteRemoved");
        // The children keep their parent ids: the tree stays whole in the
        // trash and comes back whole.
        for (const KXFileMetaPtr& child :
             client_.readsIn(context).objectsUnderFileId(object->stringValue("fileId"))) {
          Set(child, "del", kx::Value(true));
          if (purged) {
            Set(child, "remoteRemoved", kx::Value(true));
            Set(child, "localModified", kx::Value(true));
          }
        }
      }
    } else if (object->isKindOfEntity("Tag")) {
      if (object->boolValue("isLocalRemoved")) {
        context->deleteObject(object);
      } else {
        Set(object, "dateUpdated", now);
        Set(object, "isLocalRemoved", kx::Value(true));
        strippedTags.push_back(object->stringValue("tagId"));
      }
    } else {
      context->deleteObject(object);
    }
  }
  if (!removals.empty() && context) {
    client_.indexing().removeWhenCommitted(*context, removals);
  }
  for (const std::string& tagId : strippedTags) client_.tags().updateFileMetaForDeletedTagId(tagId);
  if (callback) callback(KXResultInfo::withValue(IdsValue(objectIDs)), kx::Error());
  return objectIDs;
}

namespace {

void QueueDelete(KXDataClient* client, const std::string& entityName,
                 const std::vector<KXObjectID>& objectIDs, KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client->dataContext();
  if (!data) return;
  data->performWriteBlock([client, entityName, objectIDs,
                           callback = std::move(callback)](KXManagedObjectContext& context) {
    client->writes().deleteManagedObjectSync(entityName, &context, objectIDs, callback);
  });
}

}  // namespace

void KXEntryWrites::deleteNotebooks(const std::vector<KXObjectID>& objectIDs,
                                    KXDataCallback callback) {
  QueueDelete(&client_, "Notebook", objectIDs, std::move(callback));
}

void KXEntryWrites::deleteNotes(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback) {
  QueueDelete(&client_, "Note", objectIDs, std::move(callback));
}

void KXEntryWrites::deleteNormalFiles(const std::vector<KXObjectID>& objectIDs,
                                      KXDataCallback callback) {
  QueueDelete(&client_, "NormalFile", objectIDs, std::move(callback));
}

void KXEntryWrites::deleteResources(const std::vector<KXObjectID>& objectIDs,
                                    KXDataCallback callback) {
  QueueDelete(&client_, "Resource", objectIDs, std::move(callback));
}

void KXEntryWrites::deleteTags(const std::vector<KXObjectID>& objectIDs, KXDataCallback callback) {
  QueueDelete(&client_, "Tag", objectIDs, std::move(callback));
}

// ---- Modifying --------------------------------------------------------------------------

std::vector<KXObjectID> KXEntryWrites::modifyManagedObjectSync(const std::string& entityName,
                                                               KXManagedObjectContext* context,
                                                               const kx::Array& infos,
                                                               const KXDataCallback& callback) {
  std::vector<KXObjectID> applied;
  std::vector<std::string> failures;
  std::int64_t failureCode = 0;
  kx::Array docInfos;
  const KXEntityDescription* entity = KXModel::shared().entity(entityName);

  auto fail = [&](std::int64_t code, std::string what) {
    KXLOG("modify of %s: %s", entityName.c_str(), what.c_str());
    if (failures.empty()) failureCode = code;
    failures.push_back(std::move(what));
  };

  for (const kx::Value& item : infos) {
    if (!item.isDictionary()) {
      fail(kKXStoreTypeError, "an item that is not a dictionary");
      continue;
    }
    const kx::Dictionary& info = item.dict();
    const KXObjectID objectID = KXObjectID::fromValue(info[kModifyIdentityKey]);
    if (objectID.isNull()) {
      fail(kKXStoreObjectNotFoundError, "try to get object with nil id");
      continue;
    }
    const std::string uri = objectID.uriRepresentation();
    KXManagedObjectPtr object = context ? context->existingObject(objectID) : nullptr;
    if (!object || !entity) {
      fail(kKXStoreObjectNotFoundError, uri + ": no such object");
      continue;
    }
    kx::Dictionary fields;
    if (info[kModifyFieldsKey].isDictionary()) fields = info[kModifyFieldsKey].dict();

    kx::Value docInfo;
    if (object->isKindOfEntity("FileMeta")) {
      const kx::Value* title = fields.find("title");
      const bool hasTitle = title && !title->isNull();
      kx::Value parentId = fields["parentId"];
      if (parentId.isNull()) parentId = object->value("parentId");
      const kx::Value fileId = object->value("fileId");
      const kx::Value content = info[kModifyContentKey];
      const bool titleRequest = hasTitle && !parentId.isNull() && !fileId.isNull();
      if (titleRequest) {
        kx::Dictionary dup = client_.reads().titleOfDuplicateTitle(
            title->stringValue(), parentId.stringValue(), fileId.stringValue(), entityName);
        if (dup[kKXDupTitleIsDupKey].boolValue()) {
          fields.set("title", dup[kKXDupTitleNewTitleKey]);
          fields.set("localModified", kx::Value(true));
        }
      }
      // Notebooks and other files are found by their titles; a note's text
      // is indexed when the editor saves it.
      const bool indexed =
          object->isKindOfEntity("Notebook") || object->isKindOfEntity("NormalFile");
      const bool hasContent = !content.isNull();
      const std::string stored = object->stringValue("title");
      // The text as requested: the user searches for what they typed.
      const std::string requested = hasTitle ? title->stringValue() : stored;
      if (indexed && (hasContent || titleRequest) &&
          (hasContent || !hasTitle || requested != stored)) {
        std::string text = hasContent ? requested + " " + content.stringValue() : requested;
        docInfo = kx::Value::dict({{"docContent", text}, {"docID", fileId}});
      }
    } else if (object->isKindOfEntity("Tag")) {
      fields.set("dateUpdated", kx::Value(static_cast<long long>(kx::Time::nowSeconds())));
      fields.set("isLocalModified", kx::Value(true));
    }

    // The item goes in whole or not at all: every value is tried against
    // the store's coercion before anything is set.
    std::string refused;
    auto check = [&](const KXAttributeDescription& attribute, const kx::Value& value) {
      kx::Value coerced;
      std::string why;
      if (!attribute.coerce(value, &coerced, &why)) {
        refused += (refused.empty() ? "" : "; ") + attribute.name() + ": " + why;
      }
    };
    for (const KXPropertyDescription* property : entity->properties()) {
      const kx::Value* value = fields.find(property->name());
      if (!value) continue;
      // The operation's entity may name a kind the object is not of.
      const KXPropertyDescription* own = object->entity().property(property->name());
      if (!own) {
        refused += (refused.empty() ? "" : "; ") + property->name() + ": not a property of " +
                   object->entity().name();
      } else if (own->isAttribute()) {
        check(*static_cast<const KXAttributeDescription*>(own), *value);
      }
    }
    const kx::Value* version = info.find(kModifyVersionKey);
    const KXAttributeDescription* versionAttribute = object->entity().attribute("version");
    if (version && !version->isNull()) {
      if (versionAttribute) {
        check(*versionAttribute, *version);
      } else {
        refused += (refused.empty() ? "" : "; ") + std::string("version: no such attribute");
      }
    }
    if (!refused.empty()) {
      fail(kKXStoreTypeError, uri + ": " + refused);
      continue;
    }

    bool whole = true;
    for (const KXPropertyDescription* property : entity->properties()) {
      if (const kx::Value* value = fields.find(property->name())) {
        whole = object->setValue(property->name(), *value) && whole;
      }
    }
    if (version && !version->isNull()) whole = object->setValue("version", *version) && whole;

    if (const kx::Value* relation = info.find(kModifyAddRelationKey);
        relation && relation->isDictionary()) {
      const std::string key = relation->dict()[kKXRelationKeyKey].stringValue();
      const KXRelationshipDescription* relationship = object->entity().relationship(key);
      KXManagedObjectPtr related = relationObjectSync(relation->dict(), context);
      if (!relationship) {
        whole = false;
        KXLOG("relation key \"%s\" names no relationship of %s", key.c_str(),
              object->entity().name().c_str());
      } else if (!relationship->isToMany()) {
        whole = object->setObject(key, related) && whole;
      } else if (related) {
        whole = object->addObject(key, related) && whole;
      }
    }
    if (!whole) {
      fail(kKXStoreTypeError, uri + ": not every change could be applied");
      continue;
    }
    if (!docInfo.isNull()) docInfos.push_back(std::move(docInfo));
    applied.push_back(objectID);
  }
  if (!docInfos.empty()) client_.indexing().indexNotes(docInfos);
  if (callback) {
    kx::Error error;
    if (!failures.empty()) {
      std::string description = "modification not applied: ";
      for (std::size_t i = 0; i < failures.size(); ++i) {
        description += (i ? "; " : "") + failures[i];
      }
      error = KXStoreMakeError(failureCode, description);
    }
    callback(KXResultInfo::withValue(IdsValue(applied)), error);
  }
  return applied;
}

namespace {

void QueueModify(KXDataClient* client, const std::string& entityName, const kx::Array& infos,
                 KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client->dataContext();
  if (!data) return;
  data->performWriteBlock(
      [client, entityName, infos, callback = std::move(callback)](KXManagedObjectContext& context) {
        client->writes().modifyManagedObjectSync(entityName, &context, infos, callback);
      });
}

}  // namespace

void KXEntryWrites::modifyFileMetas(const kx::Array& infos, KXDataCallback callback) {
  QueueModify(&client_, "FileMeta", infos, std::move(callback));
}

void KXEntryWrites::modifyNotebooks(const kx::Array& infos, KXDataCallback callback) {
  QueueModify(&client_, "Notebook", infos, std::move(callback));
}

void KXEntryWrites::modifyNotes(const kx::Array& infos, KXDataCallback callback) {
  QueueModify(&client_, "Note", infos, std::move(callback));
}

void KXEntryWrites::modifyNormalFiles(const kx::Array& infos, KXDataCallback callback) {
  QueueModify(&client_, "NormalFile", infos, std::move(callback));
}

void KXEntryWrites::modifyTags(const kx::Array& infos, KXDataCallback callback) {
  QueueModify(&client_, "Tag", infos, std::move(callback));
}

void KXEntryWrites::modifyResources(const kx::Array& infos, KXDataCallback callback) {
  QueueModify(&client_, "Resource", infos, std::move(callback));
}

// ---- Erasing ------------------------------------------------------------------------------

namespace {

std::vector<std::string> FileIdsOf(const kx::Array& items) {
  std::vector<std::string> ids;
  for (const kx::Value& item : items) {
    if (!item.isDictionary()) continue;
    const kx::Value* fileId = item.dict().find("fileId");
    if (fileId && !fileId->isNull()) ids.push_back(fileId->stringValue());
  }
  return ids;
}

}  // namespace

void KXEntryWrites::eraseNotes(const kx::Array& items) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, ids = FileIdsOf(items)](KXManagedObjectContext& context) {
    for (const std::string& fileId : ids) {
      if (KXFileMetaPtr entry = client_.readsIn(&context).objectForFileMetaID(fileId)) {
        context.deleteObject(entry);
      }
    }
  });
}

void KXEntryWrites::eraseNormalFiles(const kx::Array& items) { eraseNotes(items); }

void KXEntryWrites::eraseNotebooks(const kx::Array& items) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, ids = FileIdsOf(items)](KXManagedObjectContext& context) {
    for (const std::string& fileId : ids) {
      // Everything that hangs beneath the id goes, removed-for-good rows
      // included, whether or not the notebook itself is still stored:
      // nothing could reach those rows any more.
      std::unordered_set<std::string> visited{fileId};
      std::vector<std::string> level{fileId};
      while (!level.empty()) {
        std::vector<std::string> next;
        for (const std::string& parentId : level) {
          for (const KXManagedObjectPtr& entry :
               Fetch(context, "FileMeta", "parentId = %@", {kx::Value(parentId)})) {
            const std::string childId = entry->stringValue("fileId");
            if (entry->isKindOfEntity("Notebook") && visited.insert(childId).second) {
              next.push_back(childId);
            }
            context.deleteObject(entry);
          }
        }
        level = std::move(next);
      }
      if (KXFileMetaPtr notebook = client_.readsIn(&context).objectForFileMetaID(fileId)) {
        context.deleteObject(notebook);
      }
    }
  });
}

void KXEntryWrites::eraseObjects(const std::vector<KXManagedObjectPtr>& objects) {
  for (const KXManagedObjectPtr& object : objects) {
    if (!object) continue;
    const kx::Array one{kx::Value::dict({{"fileId", object->stringValue("fileId")}})};
    if (object->isKindOfEntity("Note")) {
      eraseNotes(one);
    } else if (object->isKindOfEntity("Notebook")) {
      eraseNotebooks(one);
    } else if (object->isKindOfEntity("NormalFile")) {
      eraseNormalFiles(one);
    }
  }
}
