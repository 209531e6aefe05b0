#include "sync/cycle/KXSyncCycleEnvironment.h"
#include "sync/cycle/KXSyncState.h"

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXSysUtil.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXRecreateIndexProxy.h"
#include "Data/entities/DbState.h"
#include "Data/entities/Root.h"
#include "Data/store/KXDataContext.h"
#include "sync/cycle/KXSyncTagProxy.h"

namespace {

kx::Dictionary stateQuery(const std::string& key) {
  kx::Dictionary query;
  query.set(kKXQueryConditionKey, kx::Value("stateKey = %@"));
  kx::Array arguments;
  arguments.push_back(kx::Value(key));
  query.set(kKXQueryArgumentsKey, kx::Value(std::move(arguments)));
  return query;
}

}  // namespace

bool KXSyncCycleEnvironment::canConnect() { return KXSysUtil::sharedUtil().canConnect(); }

std::int64_t KXSyncCycleEnvironment::rootVersion() {
  KXDataClient& client = KXDataClient::defaultDataClient();
  std::int64_t version = 0;
  client.reads().performSyncReadBlock([&] {
    if (auto root = client.reads().rootEntry()) version = root->version();
  });
  return version;
}

std::int64_t KXSyncCycleEnvironment::dbStateInteger(const std::string& key) {
  KXDataClient& client = KXDataClient::defaultDataClient();
  std::int64_t value = 0;
  client.reads().performSyncReadBlock([&] {
    auto result = client.reads().executeSyncQuery("DbState", stateQuery(key), nullptr);
    if (result && !result->objects.empty()) {
      if (auto state = std::dynamic_pointer_cast<DbState>(result->objects.front())) {
        value = state->stateValue().intValue();
      }
    }
  });
  return value;
}

void KXSyncCycleEnvironment::setDbStateInteger(const std::string& key, std::int64_t value) {
  KXDataClient& client = KXDataClient::defaultDataClient();
  std::shared_ptr<KXDataContext> context = client.dataContext();
  if (!context) return;
  context->performSyncWriteBlock([&](KXManagedObjectContext& write) {
    auto result = client.readsIn(&write).executeSyncQuery("DbState", stateQuery(key), nullptr);
    KXManagedObjectPtr state;
    if (result && !result->objects.empty()) state = result->objects.front();
    if (!state) {
      state = write.insertNewObject("DbState");
      if (!state) return;
      state->setValue("stateKey", kx::Value(key));
    }
    state->setValue("stateValue", kx::Value(value));
    kx::Error error;
    if (!write.save(&error)) {
      KXLOG("saving %s failed: %s", key.c_str(), error.localizedDescription().c_str());
    }
  });
}

bool KXSyncCycleEnvironment::isFullPulling() { return KXSyncState::shared().isFullPulling(); }

void KXSyncCycleEnvironment::setIsFullPulling(bool value) {
  KXSyncState::shared().setIsFullPulling(value);
}

std::shared_ptr<KXSyncUserMeta> KXSyncCycleEnvironment::makeUserMeta(
    std::weak_ptr<KXSyncUserMetaDelegate> delegate) {
  auto userMeta = std::make_shared<KXSyncUserMeta>();
  userMeta->setDelegate(std::move(delegate));
  return userMeta;
}

std::shared_ptr<KXSyncPullProxy> KXSyncCycleEnvironment::makePullProxy(
    std::weak_ptr<KXSyncPullProxyDelegate> delegate) {
  return std::make_shared<KXSyncPullProxy>(std::move(delegate));
}

std::shared_ptr<KXSyncPushProxy> KXSyncCycleEnvironment::makePushProxy(
    std::weak_ptr<KXSyncPushProxyDelegate> delegate) {
  return std::make_shared<KXSyncPushProxy>(std::move(delegate));
}

void KXSyncCycleEnvironment::pullTags() { KXSyncTagProxy::defaultProxy().pullTags(); }

void KXSyncCycleEnvironment::startRecreateIndex() {
  KXRecreateIndexProxy::defaultProxy().startRecreateIndex();
}

void KXSyncCycleEnvironment::changeNetWorkStatus(bool reachable) {
  KXRecreateIndexProxy::defaultProxy().changeNetWorkStatus(reachable);
}
