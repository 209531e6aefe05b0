#include "sync/cycle/KXSyncUserMeta.h"

#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/LocalizedStrings.h"
#include "platform/MainQueue.h"
#include "sync/cycle/KXDeleteAllDataProxy.h"

KXSyncUserMeta& KXSyncUserMeta::defaultProxy() {
  static auto* proxy = new std::shared_ptr<KXSyncUserMeta>(std::make_shared<KXSyncUserMeta>());
  return **proxy;
}

KXSyncUserMeta::KXSyncUserMeta() : KXSyncUserMeta(std::make_shared<KXSyncUserMetaEnvironment>()) {}

KXSyncUserMeta::KXSyncUserMeta(std::shared_ptr<KXSyncUserMetaEnvironment> environment)
    : environment_(std::move(environment)),
      deleteProxy_(std::make_shared<KXDeleteAllDataProxy>(environment_)) {}

KXSyncUserMeta::~KXSyncUserMeta() = default;

std::shared_ptr<KXSyncUserMetaDelegate> KXSyncUserMeta::delegate() const {
  kx::MutexLock lock(mu_);
  return delegate_.lock();
}

void KXSyncUserMeta::setDelegate(std::weak_ptr<KXSyncUserMetaDelegate> delegate) {
  kx::MutexLock lock(mu_);
  delegate_ = std::move(delegate);
}

bool KXSyncUserMeta::current(std::uint64_t generation) const {
  return !isCancelled() && generation_.load() == generation;
}

std::shared_ptr<KXNetworkOperation> KXSyncUserMeta::makeOperation(
    KXNetworkOperationOptions options) {
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  kx::MutexLock lock(mu_);
  std::erase_if(operations_, [](const auto& kept) { return kept->isFinished(); });
  operations_.push_back(operation);
  return operation;
}

void KXSyncUserMeta::clearEnvironment() {
  upgrading_.store(false);
  ++generation_;
  std::vector<std::shared_ptr<KXNetworkOperation>> operations;
  {
    kx::MutexLock lock(mu_);
    operations.swap(operations_);
  }
  for (auto& operation : operations) operation->cancel();
}

void KXSyncUserMeta::pull(bool withSelf) {
  if (isCancelled()) return;
  KXNetworkOperationOptions options;
  options.set(kKXOptionURL, kx::Value(environment_->serviceBaseURL() + kUserMetaPath));
  options.set(kKXOptionDataType, kx::Value(kKXJSONDataType));
  options.set(kKXOptionMethod, kx::Value("GET"));
  options.set(kKXOptionParams,
              kx::Value::dict({{"multilevelEnable", kx::Value(withSelf ? "true" : "false")}}));
  std::shared_ptr<KXNetworkOperation> operation = makeOperation(std::move(options));
  std::weak_ptr<KXSyncUserMeta> weak = weak_from_this();
  std::uint64_t generation = generation_.load();
  std::weak_ptr<KXNetworkOperation> weakOperation = operation;
  // Each request answers once: the flag is taken by the first delivery.
  auto answered = std::make_shared<std::atomic<bool>>(false);
  operation->asyncNetworkOperationWithCallback(
      [weak, generation, withSelf, weakOperation, answered](
          const kx::Value& result, const kx::HTTPResponseHead&, const kx::Error& error) {
        auto self = weak.lock();
        if (!self || answered->exchange(true) || !self->current(generation)) return;
        if (!error.domain().empty()) {
          auto operation = weakOperation.lock();
          self->handlePullError(error, result, operation.get());
          return;
        }
        self->handleReply(result, withSelf);
      });
}

void KXSyncUserMeta::handleReply(const kx::Value& result, bool withSelf) {
  if (upgrading()) {
    std::shared_ptr<KXSyncUserMetaEnvironment> environment = environment_;
    kx::MainQueue::shared().async([environment] {
      if (environment->isFirstLoginDownloading()) {
        environment->setFirstDownloadProgressText(
            kx::LocalizedStrings::localized("Preparing user data, please wait..."));
      } else {
        environment->orderOutFirstDownloadWindow();
      }
    });
  }
  const std::string& uid = result["uid"].string();
  if (!result.isDictionary() || uid.empty()) {
    if (auto d = delegate()) d->didPullUserMetaFail(kx::Error(kErrorDomain, kErrorCode));
    return;
  }
  if (!environment_->isLogin()) environment_->setCurrentUser(uid);
  if (auto d = delegate()) {
    environment_->updateUserMeta(environment_->convertUserMeta(result.dict()));
    environment_->setCurrentSessionVersion(result["rv"]);
    d->didPullUserMetaSuccess(result);
  }
  if (withSelf) pullself();
}

void KXSyncUserMeta::showAlertThen(std::string message, std::string informative,
                                   std::vector<std::string> buttons, std::function<void()> then) {
  std::shared_ptr<KXUIPort> ui = environment_->ui;
  if (buttons.empty()) buttons.push_back(kx::LocalizedStrings::localized("OK"));
  KXUIPort::Alert alert{std::move(message), std::move(informative), std::move(buttons)};
  kx::MainQueue::shared().async([ui, alert, then] {
    std::shared_ptr<KXUIPort> port = ui ? ui : KXUIPort::installed();
    port->showAlert(alert, [then](std::size_t) {
      if (then) then();
    });
  });
}

void KXSyncUserMeta::handlePullError(const kx::Error& error, const kx::Value& result,
                                     const KXNetworkOperation* operation) {
  std::shared_ptr<KXSyncUserMetaDelegate> d = delegate();
  if (!result.isDictionary()) {
    if (d) d->didPullUserMetaFail(error);
    return;
  }
  std::int64_t code = result["error"].intValue();
  std::int64_t ecode = result["ecode"].intValue();
  std::shared_ptr<KXSyncUserMetaEnvironment> environment = environment_;
  std::weak_ptr<KXSyncUserMeta> weak = weak_from_this();

  if (!environment_->isLogin()) {
    if (ecode != 2061) {
      if (d) d->didPullUserMetaFail(error);
      return;
    }
    std::string userId = result["userid"].string();
    if (userId.empty()) userId = environment_->currentUser();
    std::uint64_t generation = generation_.load();
    deleteProxy_->deleteAllDataWithUserId(
        userId, [weak, environment, userId, generation](bool success, const kx::Error&) {
          auto self = weak.lock();
          if (!self || !success || !self->current(generation)) return;
          environment->setCurrentUser(userId);
          self->pull(true);
        });
    return;
  }

  KXLOG("HTTP Request %s get fail response %s",
        operation != nullptr ? operation->description().c_str() : "", result.stringValue().c_str());
  if (code == 422) {
    upgrading_.store(true);
    kx::MainQueue::shared().async([environment] {
      environment->bringFirstDownloadWindowForward();
      environment->setFirstDownloadProgressText(
          kx::LocalizedStrings::localized("Upgrading user data, please wait..."));
    });
    std::uint64_t generation = generation_.load();
    environment_->clock->after(kUpgradeRetrySeconds, kx::GlobalQueue::get(), [weak, generation] {
      auto self = weak.lock();
      if (self && self->current(generation)) self->pull(true);
    });
    KXLOG("data upgrading.");
    return;
  }
  if (code == 207) {
    KXLOG("error code:207, cookie 错误，重新登录.");
    std::uint64_t generation = generation_.load();
    environment_->autoLoginWithBlock([weak, environment, generation](const kx::Error& loginError) {
      auto self = weak.lock();
      if (!self || !self->current(generation)) return;
      if (!loginError.domain().empty()) {
        self->showAlertThen("同步失败", "用户身份认证过期，请重新登录", {"确定"},
                            [environment] { environment->respondsToLogout(); });
        return;
      }
      if (auto d = self->delegate()) d->autoLoginSucceedAfterAuthFailed();
    });
  }
  if (ecode == 2060 || ecode == 2061) {
    std::string userId = environment_->currentUser();
    showAlertThen(
        kx::LocalizedStrings::localized("You are offline"),
        kx::LocalizedStrings::localized("Please login again"), {},
        [environment, ecode, userId, proxy = deleteProxy_] {
          if (ecode == 2061) {
            proxy->deleteAllDataWithUserId(userId, [environment](bool success, const kx::Error&) {
              // The confirmation answers on a transfer thread.
              if (!success) return;
              kx::MainQueue::shared().async([environment] { environment->respondsToLogout(); });
            });
          } else {
            environment->respondsToLogout();
          }
          KXLOG("User logout");
        });
    // The cycle ends here instead of waiting for a sign-out that may never
    // come (the alert may stay up): its sync-end is false.
    if (d) d->didPullUserMetaFail(error);
    return;
  }
  if (d) d->didPullUserMetaFail(error);
}

void KXSyncUserMeta::pullself() {
  if (isCancelled()) return;
  KXNetworkOperationOptions options;
  options.set(kKXOptionURL, kx::Value(environment_->serviceBaseURL() + kSelfInfoPath));
  options.set(kKXOptionMethod, kx::Value("GET"));
  std::shared_ptr<KXNetworkOperation> operation = makeOperation(std::move(options));
  std::weak_ptr<KXSyncUserMeta> weak = weak_from_this();
  std::uint64_t generation = generation_.load();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  operation->asyncNetworkOperationWithCallback(
      [weak, generation, answered](const kx::Value& result, const kx::HTTPResponseHead&,
                                   const kx::Error& error) {
        auto self = weak.lock();
        if (!self || answered->exchange(true) || !self->current(generation)) return;
        if (error.domain().empty() && result.isData() && !result.bytes().empty()) {
          self->handleSelfInfo(result);
        }
      });
}

void KXSyncUserMeta::handleSelfInfo(const kx::Value& data) {
  kx::Value info = objectFromJSONData(data.bytes());
  std::string userId = info["userId"].string();
  if (userId.empty()) userId = info["uid"].string();
  if (userId.empty()) return;
  if (!environment_->isLogin()) environment_->setCurrentUser(userId);
  kx::Dictionary values;
  values.set("selfInfo", data);
  if (info.contains("photo")) pullSelfImage(info["photo"].string(), info);
  environment_->updateUserMeta(values);
}

void KXSyncUserMeta::pullSelfImage(const std::string& photo, const kx::Value& selfInfo) {
  if (photo.empty() || isCancelled()) return;
  std::string location = environment_->iconImageLocation(photo);
  if (location.empty() || kx::FileSystem::Default().exists(location)) return;
  KXNetworkOperationOptions options;
  // Usually a path on the service host; an absolute address is used as it is.
  const bool absolute = photo.rfind("https://", 0) == 0 || photo.rfind("http://", 0) == 0;
  options.set(kKXOptionURL, kx::Value(absolute ? photo : environment_->serviceBaseURL() + photo));
  options.set(kKXOptionMethod, kx::Value("GET"));
  std::shared_ptr<KXNetworkOperation> operation = makeOperation(std::move(options));
  std::weak_ptr<KXSyncUserMeta> weak = weak_from_this();
  std::uint64_t generation = generation_.load();
  operation->asyncNetworkOperationWithCallback(
      [weak, generation, location](const kx::Value& result, const kx::HTTPResponseHead&,
                                   const kx::Error& error) {
        auto self = weak.lock();
        if (!self || !self->current(generation) || !error.domain().empty() || !result.isData()) {
          return;
        }
        kx::Error writeError;
        if (!kx::FileSystem::Default().writeFileAtomically(location, result.bytes(), &writeError)) {
          KXLOG("photo not written: %s", writeError.localizedDescription().c_str());
        }
      });
}
