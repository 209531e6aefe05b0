// KXStoreState: the store state rows, saves of the write context and the
// user row.
#include "Data/client/KXStoreState.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/entities/DbState.h"
#include "Data/entities/User.h"
#include "Data/store/KXStoreError.h"

using namespace kx_data_client;

KXStoreState::KXStoreState(KXDataClient& client) : client_(client) {}

// ---------------------------------------------------------------------------
// Store state
// ---------------------------------------------------------------------------

kx::Value KXStoreState::dbStateValueWithKey(const std::optional<std::string>& key) {
  if (!key) return kx::Value();
  return InContextOrOnReadQueue(client_, nullptr, [&](KXManagedObjectContext* context) {
    std::shared_ptr<DbState> row = client_.readsIn(context).dbStateObjectWithKey(key);
    return row ? row->stateValue() : kx::Value();
  });
}

// The versions are read on the read queue rather than from the read
// context on whatever thread asks: that context belongs to its queue.
kx::Value KXStoreState::dbVersion() {
  kx::Value version = dbStateValueWithKey(kDbVersionKey);
  return version.isNull() ? kx::Value(0) : version;
}

kx::Value KXStoreState::dbContentVersion() { return dbStateValueWithKey(kDbContentVersionKey); }

kx::Value KXStoreState::dbTagVersion() {
  kx::Value version = dbStateValueWithKey(kDbTagVersionKey);
  return version.isNull() ? kx::Value(0) : version;
}

void KXStoreState::setDbStateValue(const kx::Value& value, const std::optional<std::string>& key) {
  if (value.isNull() || !key) return;
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, value, key = *key](KXManagedObjectContext& context) {
    setDbStateValueSync(value, key, context);
  });
}

bool KXStoreState::setDbStateValueSync(const kx::Value& value, const std::string& key,
                                       KXManagedObjectContext& context) {
  // The write context flushes its pending inserts before it fetches, so an
  // unsaved row of the key is found here and no second row is made.
  if (std::shared_ptr<DbState> row = client_.readsIn(&context).dbStateObjectWithKey(key)) {
    if (!row->setValue("stateValue", value)) {
      KXLOG("state value of \"%s\" refused", key.c_str());
      return false;
    }
    return true;
  }
  return !client_.writes()
              .addManagedObjectsSync(
                  "DbState", &context,
                  {kx::Value::dict({{"stateKey", kx::Value(key)}, {"stateValue", value}})}, nullptr)
              .empty();
}

void KXStoreState::setDbVersion(const kx::Value& version, KXDataCallback callback) {
  setDbStateValue(version, kDbVersionKey);
  performSave(std::move(callback));
}

void KXStoreState::setDbContentVersion(const kx::Value& version, KXDataCallback callback) {
  setDbStateValue(version, kDbContentVersionKey);
  performSave(std::move(callback));
}

void KXStoreState::setDbTagVersion(const kx::Value& version, KXDataCallback callback) {
  setDbStateValue(version, kDbTagVersionKey);
  performSave(std::move(callback));
}

// ---------------------------------------------------------------------------
// Saves
// ---------------------------------------------------------------------------

void KXStoreState::performSave(KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, callback = std::move(callback)](KXManagedObjectContext& context) {
    performSave(callback, &context);
  });
}

void KXStoreState::performSyncSave(const KXDataCallback& callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  // Runs inline when the caller is a task of the write queue already.
  data->performSyncWriteBlock(
      [this, &callback](KXManagedObjectContext& context) { performSave(callback, &context); });
}

void KXStoreState::performSave(const KXDataCallback& callback, KXManagedObjectContext* context) {
  std::shared_ptr<KXManagedObjectContext> holder;
  KXManagedObjectContext* target = ContextOrReader(context, client_.dataContext(), &holder);
  kx::Error error;
  bool saved = false;
  if (!target) {
    error = KXStoreMakeError(kKXStoreUnavailableError, "The store is closed");
  } else {
    saved = target->save(&error);
  }
  if (!saved) {
    KXLOG("%s: %s", kKXErrSaveDatabaseFail, error.localizedDescription().c_str());
    KXPresentError(kKXErrSaveDatabaseFail);
  }
  if (callback) callback(KXResultInfo::withValue(kx::Value(saved)), saved ? kx::Error() : error);
}

void KXStoreState::upate(const kx::Dictionary& info, KXDataCallback callback) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, info, callback = std::move(callback)](KXManagedObjectContext&) {
    updateSync(info, callback);
  });
}

// ---------------------------------------------------------------------------
// The user
// ---------------------------------------------------------------------------

void KXStoreState::updateUserMeta(const kx::Dictionary& userMeta) {
  std::shared_ptr<KXDataContext> data = client_.dataContext();
  if (!data) return;
  data->performWriteBlock([this, userMeta](KXManagedObjectContext& context) {
    std::shared_ptr<User> stored = client_.readsIn(&context).user();
    if (!stored) {
      stored = KXCast<User>(context.insertNewObject("User"));
      if (!stored) {
        KXLOG("%s", "the user row could not be made");
        return;
      }
    }
    kx::Dictionary copy = userMeta;
    // A default folder the user changed here wins over the service's.
    if (stored->localModified()) copy.remove("defaultFolder");

    // The password was removed on the service: what it locked is open now.
    const kx::Value* password = userMeta.find("password");
    if (password && password->isString() && password->string().empty() &&
        !stored->password().empty()) {
      handleDeletePasswordWithContext(&context);
    }
    if (!stored->setValuesForKeys(copy)) {
      KXLOG("%s", "some values of the user meta were refused");
    }
  });
}

void KXStoreState::handleDeletePasswordWithContext(KXManagedObjectContext* context) {
  if (!context) return;
  KXFileMetaPtr root = client_.readsIn(context).objectForFileMetaID(KXDataClient::kRootFileId);
  if (!root) return;
  for (const KXFileMetaPtr& entry : client_.readsIn(context).objectsUnderParent(
           root, "FileMeta", std::string("encrypted = YES"), {})) {
    if (!entry->setValue("encrypted", kx::Value(false))) {
      KXLOG("could not open entry %s", entry->fileId().c_str());
    }
  }
}
