#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/cycle/KXSyncState.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXSysUtil.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/Root.h"
#include "Data/store/KXDataContext.h"
#include "platform/HookTable.h"
#include "sync/cycle/KXSyncMyshare.h"

namespace {

auto& applierSlot() {
  return kx::hookTableOf<KXSyncPullEnvironment, std::shared_ptr<KXSyncPullApplier>>();
}

}  // namespace

std::string KXSyncPullEnvironment::serviceBaseURL() { return KXServiceBaseURL(); }

bool KXSyncPullEnvironment::canConnect() { return KXSysUtil::sharedUtil().canConnect(); }

std::int64_t KXSyncPullEnvironment::baseVersion() {
  KXDataClient& client = KXDataClient::defaultDataClient();
  std::int64_t version = 0;
  client.reads().performSyncReadBlock([&] {
    if (auto root = client.reads().rootEntry()) version = root->version();
  });
  return version;
}

bool KXSyncPullEnvironment::isFullPulling() { return KXSyncState::shared().isFullPulling(); }

void KXSyncPullEnvironment::setCurrentSessionVersion(std::int64_t version) {
  KXSyncState::shared().setCurrentSessionVersion(kx::Value(version));
}

kx::Array KXSyncPullEnvironment::fetchPullFailed() {
  return KXDataClient::defaultDataClient().records().fetchPullFailed();
}

void KXSyncPullEnvironment::pullFailedFileId(const std::string& fileId,
                                             const std::string& entryJSON) {
  KXDataClient::defaultDataClient().records().pullFailedFileId(fileId, entryJSON);
}

void KXSyncPullEnvironment::deletePullFailedFileId(const std::string& fileId) {
  KXDataClient::defaultDataClient().records().deletePullFailedFileId(fileId);
}

void KXSyncPullEnvironment::save(std::function<void()> done) {
  std::shared_ptr<KXDataContext> context = KXDataClient::defaultDataClient().dataContext();
  if (!context) {
    if (done) done();
    return;
  }
  context->performWriteBlock([done = std::move(done)](KXManagedObjectContext& write) {
    kx::Error error;
    if (!write.save(&error)) KXLOG("pull save failed: %s", error.localizedDescription().c_str());
    if (done) done();
  });
}

std::optional<kx::Dictionary> KXSyncPullEnvironment::convert(const kx::Value& serviceEntry) {
  return KXNameDict::namesConvertFromRemoteToLocalForFileMeta(serviceEntry);
}

std::shared_ptr<KXSyncPullApplier> KXSyncPullEnvironment::applier() {
  return applierSlot().get<0>();
}

void KXSyncPullEnvironment::setDefaultApplier(std::shared_ptr<KXSyncPullApplier> applier) {
  applierSlot().install(std::move(applier));
}

void KXSyncPullEnvironment::startMysharePull() { KXSyncMyshare::defaultProxy().startPull(); }
