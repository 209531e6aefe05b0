#include "shell/KXShellSessionEnvironment.h"

#include "Data/KXDataClient.h"
#include "platform/MainQueue.h"
#include "sync/KXConcurrentController.h"
#include "sync/KXSyncManager.h"

void KXShellSessionEnvironment::cancelTaskWhenLogoff() {
  KXSyncManager::defaultManager().cancelTaskWhenLogoff();
}

void KXShellSessionEnvironment::clearPushEnvironment() {
  KXConcurrentController::pushController().clearEnvironment();
}

void KXShellSessionEnvironment::clearPullEnvironment() {
  KXConcurrentController::pullController().clearEnvironment();
}

void KXShellSessionEnvironment::closeDB() { KXDataClient::defaultDataClient().closeDB(); }

void KXShellSessionEnvironment::addStatisKey(const std::string& key, const kx::Value& value) {
  KXDataClient::defaultDataClient().addStatisKey(key, value);
}

void KXShellSessionEnvironment::firstOpen() {
  if (!firstOpen_) return;
  if (kx::MainQueue::isMainThread()) {
    firstOpen_();
  } else {
    kx::MainQueue::shared().async(firstOpen_);
  }
}

void KXShellSessionEnvironment::clearWebViewCookies(const std::string& host) {
  if (!clearWebViewCookies_) return;
  kx::MainQueue::shared().async([clear = clearWebViewCookies_, host] { clear(host); });
}
