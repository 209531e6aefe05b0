#include "sync/cycle/KXDeleteAllDataProxy.h"

#include <atomic>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "account/KXNetworkOperation.h"
#include "platform/MainQueue.h"

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
  {
    kx::MutexLock lock(mu_);
    if (busy_) {
      retryLater(userId, std::move(callback));
      return;
    }
    busy_ = true;
  }
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
  std::weak_ptr<KXDeleteAllDataProxy> weak = weak_from_this();
  operation->asyncNetworkOperationWithCallback(
      [weak, callback, answered, keep](const kx::Value& result, const kx::HTTPResponseHead&,
                                       const kx::Error& error) {
        keep->reset();
        if (answered->exchange(true)) return;
        if (std::shared_ptr<KXDeleteAllDataProxy> self = weak.lock()) {
          kx::MutexLock lock(self->mu_);
          self->busy_ = false;
        }
        if (!callback) return;
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

void KXDeleteAllDataProxy::retryLater(const std::string& userId, Callback callback) {
  std::weak_ptr<KXDeleteAllDataProxy> weak = weak_from_this();
  std::shared_ptr<KXDelayClock> clock =
      environment_->clock ? environment_->clock : KXDelayClock::systemClock();
  clock->after(kBusyRetrySeconds, kx::MainQueue::shared(),
               [weak, userId, callback = std::move(callback)]() mutable {
                 if (std::shared_ptr<KXDeleteAllDataProxy> self = weak.lock()) {
                   self->finishDelete(userId, std::move(callback));
                 }
               });
}
