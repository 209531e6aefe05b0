// KXEntryWrites: removal of stored resource files that no resource uses, and
// of deleted notes' content files once their delete is saved.
#include <unordered_map>

#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/ResourceEntry.h"
#include "platform/FileSystem.h"
#include "platform/NotificationCenter.h"

using namespace kx_data_client;

void KXEntryWrites::cleanDeletedData(KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, callback = std::move(callback)](KXManagedObjectContext& context) {
    kx::ignoreError(cleanDeleteDataSync(&context));
    if (callback) callback(KXResultInfo::none(), kx::Error());
  });
}

bool KXEntryWrites::cleanDeleteDataSync(KXManagedObjectContext* context) {
  if (!context) return false;
  kx::Error error;
  std::vector<KXManagedObjectPtr> entries = Fetch(*context, "ResourceEntry", {}, {}, 0, &error);
  if (error) {
    KXLOG("resource entries could not be read: %s", error.localizedDescription().c_str());
    return false;
  }
  std::vector<std::string> files;
  bool deleted = false;
  for (const auto& entry : CastAll<ResourceEntry>(entries)) {
    if (entry->countOfObjects("resourceHolders") > 0) continue;
    if (!entry->isNil("file") && !entry->file().empty()) files.push_back(entry->file());
    context->deleteObject(entry);
    deleted = true;
  }
  if (!deleted) return true;

  // A file goes only once no saved row names it: were the save to fail, the
  // rows would come back and would have to find their files.
  if (!context->save(&error)) {
    KXLOG("unused resource entries could not be deleted: %s", error.localizedDescription().c_str());
    return false;
  }
  // Stored files live in the user's resource folder; a path elsewhere (bad
  // data) is never removed.
  const std::string resources =
      KXFileManager::defaultManauger().URLForCurrentUserResourceDirectory();
  kx::FileSystem& fs = kx::FileSystem::Default();
  for (const std::string& file : files) {
    if (resources.empty() || file.rfind(resources + "/", 0) != 0 ||
        file.find("/../") != std::string::npos) {
      KXLOG("stored file outside the resource folder left: %s", file.c_str());
      continue;
    }
    kx::Error removal;
    if (fs.exists(file) && !fs.removeFile(file, &removal)) {
      KXLOG("stored file %s could not be removed: %s", file.c_str(),
            removal.localizedDescription().c_str());
    }
  }
  return true;
}

void KXEntryWrites::clearTrash() {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performSyncWriteBlock([](KXManagedObjectContext& context) {
    kx::Error error;
    std::vector<KXManagedObjectPtr> notes =
        Fetch(context, "Note", "del = YES AND remoteRemoved = NO", {}, 0, &error);
    if (error) {
      KXLOG("trashed notes could not be read: %s", error.localizedDescription().c_str());
      return;
    }
    // One encrypted note among them leaves the whole trash as it is.
    for (const KXManagedObjectPtr& note : notes) {
      if (note->boolValue("encrypted")) return;
    }
    for (const KXManagedObjectPtr& note : notes) {
      kx::ignoreError(note->setValue("remoteRemoved", kx::Value(true)));
      kx::ignoreError(note->setValue("localTrashOp", kx::Value(true)));
      kx::ignoreError(note->setValue("trashModifyData", kx::Value("trucate")));
    }
  });
}

void KXEntryWrites::updateFromVersion(const kx::Value& /*version*/, KXDataCallback /*callback*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

// The content files that wait for the save of their entries' delete. The
// did-save notification comes on the saving thread (the write queue) after
// the commit; a failed save posts nothing, so its entries keep waiting and
// are decided by the next save that holds them.
struct KXEntryWrites::ContentRemovals {
  struct Waiting {
    const KXManagedObjectContext* context;
    std::string fileId;
  };

  kx::Mutex mu;
  std::unordered_map<KXObjectID, Waiting, KXObjectIDHash> waiting GUARDED_BY(mu);
  kx::NotificationCenter::Token token = 0;

  ContentRemovals() {
    token = kx::NotificationCenter::defaultCenter().addObserver(
        kKXContextDidSaveNotification, nullptr, nullptr,
        [this](const kx::Notification& notification) { saved(notification); });
  }
  ~ContentRemovals() { kx::NotificationCenter::defaultCenter().removeObserver(token); }

  void saved(const kx::Notification& notification) {
    const kx::Value* updated = notification.userInfo.find(kKXUpdatedObjectsKey);
    if (!updated || !updated->isArray()) return;
    std::vector<std::string> remove;
    {
      kx::MutexLock lock(mu);
      if (waiting.empty()) return;
      for (const kx::Value& snapshot : updated->array()) {
        auto it = waiting.find(KXObjectID::fromValue(snapshot[kKXSnapshotObjectIDKey]));
        if (it == waiting.end() || it->second.context != notification.object) continue;
        // Only a row saved purged lets its file go; saved in any other state
        // the delete did not last, and the file stays.
        if (snapshot["remoteRemoved"].boolValue()) remove.push_back(it->second.fileId);
        waiting.erase(it);
      }
    }
    for (const std::string& fileId : remove) {
      KXFileManager::defaultManauger().removeContentFile(fileId);
    }
  }
};

void KXEntryWrites::removeContentFilesAfterSave(
    const std::vector<std::pair<KXObjectID, std::string>>& entries,
    KXManagedObjectContext& context) {
  if (entries.empty()) return;
  std::shared_ptr<ContentRemovals> removals;
  {
    kx::MutexLock lock(mu_);
    if (!contentRemovals_) contentRemovals_ = std::make_shared<ContentRemovals>();
    removals = contentRemovals_;
  }
  kx::MutexLock lock(removals->mu);
  for (const auto& [objectID, fileId] : entries) {
    if (fileId.empty()) continue;
    removals->waiting[objectID] = {&context, fileId};
  }
}
