// KXDataClient: the frame (the default client, the context it holds, the
// parts it hands out, the hooks it installs for lower layers).
#include "Data/client/KXDataClient.h"

#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/entities/User.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"

using namespace kx_data_client;

// ---------------------------------------------------------------------------
// Frame
// ---------------------------------------------------------------------------

KXDataClient& KXDataClient::defaultDataClient() {
  // The default context lives for the process; the client holds it without
  // owning it.
  static KXDataClient* client = new KXDataClient(
      std::shared_ptr<KXDataContext>(&KXDataContext::defaultContext(), [](KXDataContext*) {}));
  return *client;
}

void KXDataClient::closeDB() {
  std::shared_ptr<KXDataContext> dropped;  // let go of outside the lock
  kx::MutexLock lock(mu_);
  dropped.swap(context_);
}

std::shared_ptr<KXDataContext> KXDataClient::dataContext() const {
  kx::MutexLock lock(mu_);
  return context_;
}

void KXDataClient::installHooks() {
  // The hooks hold the data context weakly: once the client has dropped it
  // (closeDB) they answer that there is nothing.
  std::weak_ptr<KXDataContext> weak = dataContext();
  KXHooks::setRootEntryIdProvider([weak]() -> std::string {
    std::shared_ptr<KXDataContext> data = weak.lock();
    if (!data) return {};
    std::string fileId;
    data->performSyncReadBlock([&](KXManagedObjectContext& context) {
      if (KXManagedObjectPtr root = FetchFirst(context, "Root", {}, {})) {
        fileId = root->stringValue("fileId");
      }
    });
    return fileId;
  });
  KXFileManager::setResourceFileLookup([weak](const std::string& resourceId) -> std::string {
    std::shared_ptr<KXDataContext> data = weak.lock();
    if (!data) return {};
    std::string path;
    // The resource and its entry are read on the read queue, which owns the
    // context they belong to.
    data->performSyncReadBlock([&](KXManagedObjectContext& context) {
      std::shared_ptr<Resource> resource = ResourceWithID(context, resourceId);
      std::shared_ptr<ResourceEntry> entry = resource ? resource->entry() : nullptr;
      if (entry) path = entry->file();
    });
    return path;
  });
  KXCrashLogger::setUserRecordProvider([weak]() -> std::optional<KXCrashLogger::UserRecord> {
    std::shared_ptr<KXDataContext> data = weak.lock();
    if (!data) return std::nullopt;
    std::optional<KXCrashLogger::UserRecord> record;
    data->performSyncReadBlock([&](KXManagedObjectContext& context) {
      if (auto user = KXCast<User>(FetchFirst(context, "User", {}, {}))) {
        record = KXCrashLogger::UserRecord{user->userId(), user->nickname()};
      }
    });
    return record;
  });
}
