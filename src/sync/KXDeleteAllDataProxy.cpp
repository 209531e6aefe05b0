#include "sync/KXDeleteAllDataProxy.h"

#include <atomic>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "account/KXNetworkOperation.h"

KXDeleteAllDataProxy& KXDeleteAllDataProxy::defaultProxy() {
  static auto* proxy = new std::shared_ptr<KXDeleteAllDataProxy>(
      std::make_shared<KXDeleteAllDataProxy>(std::make_shared<KXSyncUserMetaEnvironment>()));
  return **proxy;
}

KXDeleteAllDataProxy::KXDeleteAllDataProxy(std::shared_ptr<KXSyncUserMetaEnvironment> environment)
    : environment_(std::move(environment)) {}

void KXDeleteAllDataProxy::deleteAllDataWithUserId(const std::string& userId, Callback callback) {
  if (!userId.empty() && !environment_->wipeUserData(userId)) {
    if (callback) callback(false, kx::Error("NSCocoaErrorDomain", 400));
    return;
  }
  finishDelete(userId.empty() ? environment_->currentUser() : userId, std::move(callback));
}

void KXDeleteAllDataProxy::finishDelete(const std::string& userId, Callback callback) {
  KXNetworkOperationOptions options;
  options.set(kKXOptionURL, kx::Value(environment_->serviceBaseURL() + kDeletePath));
  options.set(kKXOptionMethod, kx::Value("GET"));
  options.set("userData", kx::Value("delete-data-finish"));
  options.set(kKXOptionParams, kx::Value::dict({{"device_id", kx::Value(environment_->deviceId())},
                                                {"users", kx::Value(userId)}}));
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  auto answered = std::make_shared<std::atomic<bool>>(false);
  // The operation is kept by its own block until it answers.
  auto keep = std::make_shared<std::shared_ptr<KXNetworkOperation>>(operation);
  operation->asyncNetworkOperationWithCallback(
      [callback, answered, keep](const kx::Value& result, const kx::HTTPResponseHead&,
                                 const kx::Error& error) {
        keep->reset();
        if (answered->exchange(true) || !callback) return;
        if (error.domain().empty()) {
          callback(true, kx::Error());
        } else if (result.isDictionary()) {
          callback(false, kx::Error("NSCocoaErrorDomain", 400, result));
        } else {
          KXLOG("wipe confirmation failed: %s", error.localizedDescription().c_str());
          callback(false, error);
        }
      });
}
