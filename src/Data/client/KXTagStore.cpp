// KXTagStore: the tag rows kept level with the service's tag list.
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/Tag.h"
#include "Data/store/KXStoreError.h"

using namespace kx_data_client;

KXTagStore::KXTagStore(KXDataClient& client) : client_(client) {}

namespace {

constexpr const char* kTagEntity = "Tag";
constexpr const char* kLiveTagsCondition = "isLocalRemoved = 0 AND tagId != nil";

// The first name, from `name` on, that is not among `taken`: the name
// itself, else its numbered forms in counting order.
std::string FreeTagName(const std::string& name, const std::unordered_set<std::string>& taken) {
  std::string current = name;
  NSStringDupTitle::Comps comps = NSStringDupTitle::dupTitleComps(current);
  for (int tries = 0; tries < KXTagStore::kMaxDupTagNameTries; ++tries) {
    if (!taken.contains(current)) return current;
    if (comps.counter == std::numeric_limits<std::int64_t>::max()) {
      // The number cannot grow: number the whole name afresh.
      comps.base = current;
      comps.counter = 0;
    }
    ++comps.counter;
    current = NSStringDupTitle::dupTitleFromComps(comps);
  }
  // Unreachable while the live tags are fewer than the tries: every
  // numbered form is a different name.
  KXLOG("no free tag name found for \"%s\"", name.c_str());
  return current;
}

// The names of the live tags other than the one with `tagId`.
std::unordered_set<std::string> TakenNames(const std::vector<KXManagedObjectPtr>& tags,
                                           const std::string& tagId) {
  std::unordered_set<std::string> taken;
  for (const KXManagedObjectPtr& tag : tags) {
    if (tag->isNil("name") || tag->stringValue("tagId") == tagId) continue;
    taken.insert(tag->stringValue("name"));
  }
  return taken;
}

}  // namespace

std::optional<std::vector<std::shared_ptr<Tag>>> KXTagStore::readTagSyncForCondition(
    const kx::Dictionary& queryInfo, kx::Error* error) {
  kx::Error failure = KXStoreMakeError(kKXStoreUnavailableError, "The store is closed");
  std::optional<KXFetchResult> result =
      InContextOrOnReadQueue(client_, nullptr, [&](KXManagedObjectContext* context) {
        return client_.readsIn(context).executeSyncQuery(kTagEntity, queryInfo, &failure);
      });
  if (!result) {
    kx::SetError(error, failure);
    return std::nullopt;
  }
  return CastAll<Tag>(result->objects);
}

void KXTagStore::readTagForCondition(const kx::Dictionary& /*queryInfo*/,
                                     KXDataCallback /*callback*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

std::string KXTagStore::checkDupTagName(const std::string& name, const std::string& tagId,
                                        KXManagedObjectContext* context) {
  const std::string asked = name.empty() ? std::string(kNewTagName) : name;
  if (!context) {
    if (!client_.dataContext()) return asked;
    return InContextOrOnReadQueue(client_, nullptr, [&](KXManagedObjectContext* reader) {
      return checkDupTagName(name, tagId, reader);
    });
  }
  KXManagedObjectContext* in = context;
  kx::Error error;
  std::vector<KXManagedObjectPtr> tags = Fetch(*in, kTagEntity, kLiveTagsCondition, {}, 0, &error);
  if (error) {
    KXLOG("live tags could not be read: %s", error.localizedDescription().c_str());
    return asked;
  }
  return FreeTagName(asked, TakenNames(tags, tagId));
}

void KXTagStore::createOrUpdateTag(const kx::Dictionary& tag) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  const kx::Value* idValue = tag.find("tagId");
  if (!idValue || idValue->isNull() || idValue->stringValue().empty()) {
    KXLOG("service tag without tagId ignored");
    return;
  }
  const std::string tagId = idValue->stringValue();
  auto integerOf = [&tag](const char* key) -> std::int64_t {
    const kx::Value* value = tag.find(key);
    return value ? value->intValue() : 0;
  };
  auto textOf = [&tag](const char* key) -> kx::Value {
    const kx::Value* value = tag.find(key);
    return value && !value->isNull() ? kx::Value(value->stringValue()) : kx::Value();
  };
  const std::int64_t dateCreated = integerOf("dateCreated");
  const std::int64_t dateUpdated = integerOf("dateUpdated");
  const kx::Value incomingName = textOf("name");
  const kx::Value pTagId = textOf("pTagId");

  data->performWriteBlock([this, tagId, dateCreated, dateUpdated, incomingName,
                           pTagId](KXManagedObjectContext& context) {
    KXManagedObjectPtr stored = client_.readsIn(&context).objectForTagID(tagId);
    if (stored && stored->integerValue("dateUpdated") >= dateUpdated) return;
    if (!stored) {
      stored = context.insertNewObject(kTagEntity);
      if (!stored) return;
      kx::ignoreError(stored->setValue("tagId", kx::Value(tagId)));
    }
    // The write context sees tags not saved yet, so two service tags of one
    // name taken in a row still get different names.
    const std::string wanted = incomingName.isNull() ? std::string() : incomingName.stringValue();
    const std::string name = checkDupTagName(wanted, tagId, &context);
    kx::ignoreError(stored->setValue("name", kx::Value(name)));
    kx::ignoreError(stored->setValue("pTagId", pTagId));
    kx::ignoreError(stored->setValue("dateCreated", kx::Value(dateCreated)));
    kx::ignoreError(stored->setValue("dateUpdated", kx::Value(dateUpdated)));
    // A name changed here has to go back to the service.
    kx::ignoreError(stored->setValue("isLocalModified", kx::Value(name != wanted)));
    kx::ignoreError(stored->setValue("isLocalRemoved", kx::Value(false)));
    kx::ignoreError(stored->setValue("isLocalCreated", kx::Value(false)));
  });
  client_.state().performSave(nullptr);
}

void KXTagStore::updateTagLocalProps(const kx::Dictionary& info) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  const kx::Value* idValue = info.find("tagId");
  const std::string tagId = idValue && !idValue->isNull() ? idValue->stringValue() : "";
  data->performWriteBlock([this, tagId](KXManagedObjectContext& context) {
    KXManagedObjectPtr stored = client_.readsIn(&context).objectForTagID(tagId);
    if (!stored) return;
    for (const char* flag : {"isLocalModified", "isLocalRemoved", "isLocalCreated"}) {
      kx::ignoreError(stored->setValue(flag, kx::Value(false)));
    }
  });
  client_.state().performSave(nullptr);
}

void KXTagStore::updateFileMetaForDeletedTagId(const std::string& tagId) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data || tagId.empty()) return;
  std::vector<KXObjectID> carriers;
  for (const KXFileMetaPtr& entry : client_.reads().objectsWithTagId(tagId, true)) {
    carriers.push_back(entry->objectID());
  }
  if (carriers.empty()) return;
  data->performWriteBlock([carriers, tagId](KXManagedObjectContext& context) {
    for (const KXObjectID& objectID : carriers) {
      KXManagedObjectPtr entry = context.existingObject(objectID);
      if (!entry) continue;
      // The entries were found by a text search, so "12" also found "123":
      // only whole elements equal to the id go.
      const std::string tags = entry->stringValue("tags");
      std::string kept;
      bool first = true;
      std::size_t start = 0;
      while (true) {
        std::size_t comma = tags.find(',', start);
        std::string element = tags.substr(start, comma - start);
        if (element != tagId) {
          if (!first) kept.push_back(',');
          kept += element;
          first = false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      kx::ignoreError(entry->setValue("tags", kx::Value(kept)));
    }
  });
}
