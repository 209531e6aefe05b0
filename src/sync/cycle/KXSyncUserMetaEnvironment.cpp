#include "sync/cycle/KXSyncUserMetaEnvironment.h"
#include "sync/cycle/KXSyncState.h"

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/store/KXDataContext.h"
#include "account/KXSession.h"
#include "account/KXStatitisc.h"

KXSyncUserMetaEnvironment::KXSyncUserMetaEnvironment() : clock(KXDelayClock::systemClock()) {}

std::string KXSyncUserMetaEnvironment::serviceBaseURL() { return KXServiceBaseURL(); }

std::string KXSyncUserMetaEnvironment::currentUser() {
  return KXSession::defaultSession().currentUser();
}

void KXSyncUserMetaEnvironment::setCurrentUser(const std::string& userId) {
  KXSession::defaultSession().setCurrentUser(userId);
}

bool KXSyncUserMetaEnvironment::isLogin() {
  std::string user = currentUser();
  return !user.empty() && user != KXHooks::kEmptyUser;
}

void KXSyncUserMetaEnvironment::autoLoginWithBlock(
    std::function<void(const kx::Error& error)> done) {
  KXSession::defaultSession().autoLoginWithBlock(
      [done = std::move(done)](const kx::Error& error, const kx::Value&) {
        if (done) done(error);
      });
}

kx::Dictionary KXSyncUserMetaEnvironment::convertUserMeta(const kx::Dictionary& reply) {
  std::optional<kx::Dictionary> converted =
      KXNameDict::namesConvertFromRemoteToLocal(kx::Value(reply), KXNameDict::kUserMetaNamespace);
  if (!converted) {
    KXLOG("%s", "user meta not converted: the field-name table is missing");
    return {};
  }
  return std::move(*converted);
}

void KXSyncUserMetaEnvironment::updateUserMeta(const kx::Dictionary& values) {
  KXDataClient& client = KXDataClient::defaultDataClient();
  std::shared_ptr<KXDataContext> context = client.dataContext();
  if (!context) return;
  client.state().updateUserMeta(values);
  // The update is queued on the write queue; the save behind it stores it.
  context->performWriteBlock([](KXManagedObjectContext& write) {
    kx::Error error;
    if (!write.save(&error)) {
      KXLOG("user meta not saved: %s", error.localizedDescription().c_str());
    }
  });
}

void KXSyncUserMetaEnvironment::setCurrentSessionVersion(const kx::Value& version) {
  KXSyncState::shared().setCurrentSessionVersion(version);
}

bool KXSyncUserMetaEnvironment::isFirstLoginDownloading() {
  return KXSyncState::shared().isFirstLoginDownloading();
}

std::string KXSyncUserMetaEnvironment::iconImageLocation(const std::string& path) {
  return KXFileManager::defaultManauger().URLForCurrentUserIconImageWithPath(path);
}

bool KXSyncUserMetaEnvironment::wipeUserData(const std::string& userId) {
  kx::Error error;
  std::string folder =
      KXFileManager::defaultManauger().URLForCleanedUserDataDirectory(userId, &error);
  if (folder.empty() || !error.domain().empty()) {
    KXLOG("wipe of %s refused: %s", userId.c_str(), error.localizedDescription().c_str());
    return false;
  }
  KXFileManager::defaultManauger().URLForUserDataDirectory(userId, nullptr);
  KXDataContext::defaultContext().setNeedRefresh(true);
  KXDataContext::defaultContext().refreshContext();
  return true;
}

std::string KXSyncUserMetaEnvironment::deviceId() { return KXStatitisc::serialNumber(); }
