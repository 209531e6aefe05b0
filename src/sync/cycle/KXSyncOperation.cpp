#include "sync/cycle/KXSyncOperation.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "platform/MainQueue.h"
#include "platform/QueueCheck.h"
#include "sync/cycle/KXSyncNotificationNames.h"

KXSyncOperation::KXSyncOperation(std::shared_ptr<KXSyncCycleEnvironment> environment,
                                 kx::NotificationCenter* center)
    : environment_(std::move(environment)),
      center_(center != nullptr ? center : &kx::NotificationCenter::defaultCenter()) {}

KXSyncOperation::~KXSyncOperation() = default;

kx::SerialQueue& KXSyncOperation::queue() {
  static kx::SerialQueue* queue = new kx::SerialQueue(kQueueLabel);
  return *queue;
}

void KXSyncOperation::hop(std::function<void()> step) {
  auto self = std::static_pointer_cast<KXSyncOperation>(shared_from_this());
  queue().async([self, step = std::move(step)] { step(); });
}

KXSyncStage KXSyncOperation::syncStage() const {
  kx::MutexLock lock(mu_);
  return syncStage_;
}

void KXSyncOperation::setStage(KXSyncStage stage) {
  kx::MutexLock lock(mu_);
  syncStage_ = stage;
}

void KXSyncOperation::post(const char* name, kx::Value userInfo) {
  kx::NotificationCenter* center = center_;
  const void* object = this;
  std::string notificationName(name);
  kx::MainQueue::shared().async([center, object, notificationName, userInfo] {
    center->post(notificationName, object, userInfo);
  });
}

void KXSyncOperation::start() {
  auto self = std::static_pointer_cast<KXSyncOperation>(shared_from_this());
  {
    kx::MutexLock lock(mu_);
    if (isCancelled()) {
      ended_ = true;
      finish();
      return;
    }
    setExecuting(true);
    syncStage_ = kKXSyncStageBegun;
    userMetaProxy_ = environment_->makeUserMeta(std::shared_ptr<KXSyncUserMetaDelegate>(self));
    pullProxy_ = environment_->makePullProxy(std::shared_ptr<KXSyncPullProxyDelegate>(self));
  }
  hop([this] { startSync(); });
}

void KXSyncOperation::cancel() {
  kx::MutexLock lock(mu_);
  cancelInternal();
}

void KXSyncOperation::cancelInternal() {
  if (isFinished()) return;
  ended_ = true;
  kx::Operation::cancel();
  // The puller's answers still on their way must not reach the store.
  if (userMetaProxy_) {
    userMetaProxy_->setIsCancelled(true);
    userMetaProxy_->clearEnvironment();
  }
  if (pullProxy_) pullProxy_->clearEnvironment();
  if (pushProxy_) pushProxy_->clearEnvironment();
  finish();
}

std::int64_t KXSyncOperation::beforeSync() {
  KX_DCHECK_ON_QUEUE(queue(), "the cycle's own state is touched only on the cycles' queue");
  if (!environment_->canConnect()) return kErrorNoNetwork;
  if (isCancelled()) return kErrorCancelled;
  rootVersionBeforeSync_ = environment_->rootVersion();
  KXLOG("local rootversion is : %lld", static_cast<long long>(rootVersionBeforeSync_));
  return 0;
}

void KXSyncOperation::startSync() {
  if (std::int64_t code = beforeSync(); code != 0) {
    KXLOG("startSync error");
    syncFailed();
    return;
  }
  std::shared_ptr<KXSyncUserMeta> userMeta;
  {
    kx::MutexLock lock(mu_);
    userMeta = userMetaProxy_;
  }
  if (userMeta) userMeta->pull(true);
}

void KXSyncOperation::didPullUserMetaSuccess(const kx::Value& reply) {
  hop([this, reply] { handleUserMeta(reply); });
}

void KXSyncOperation::handleUserMeta(const kx::Value& reply) {
  KX_DCHECK_ON_QUEUE(queue(), "the cycle's own state is touched only on the cycles' queue");
  if (isCancelled()) return;
  KXLOG("didPullUserMetaSuccess");
  userMeta_ = UserMeta(reply);
  if (environment_->dbStateInteger("dbTagVersion") < userMeta_.tagVersion()) {
    environment_->pullTags();
  }
  std::shared_ptr<KXSyncPullProxy> pull;
  KXSyncStage stage;
  {
    kx::MutexLock lock(mu_);
    pull = pullProxy_;
    stage = syncStage_;
  }
  if (!pull) return;
  pull->pullMyshares();
  pull->pullPen();
  if (!environment_->canConnect()) {
    KXLOG("network unconnet");
    syncFailed();
    return;
  }
  KXLOG("serverVersion is : %lld", static_cast<long long>(userMeta_.rootVersion()));
  if (stage == kKXSyncStagePullAfterPush) {
    KXLOG("Sync_Stage_Pull_After_Push");
    pull->pullAfterPush();
  } else if (rootVersionBeforeSync_ >= 0 && rootVersionBeforeSync_ >= userMeta_.rootVersion()) {
    if (stage == kKXSyncStageBegun) setStage(kKXSyncStagePull);
    handlePullSuccess();
  } else {
    setStage(kKXSyncStagePull);
    KXLOG("Sync_Stage_Pull");
    pull->pull();
  }
}

void KXSyncOperation::didPullSuccess() {
  hop([this] { handlePullSuccess(); });
}

void KXSyncOperation::handlePullSuccess() {
  if (isCancelled()) return;
  if (environment_->isFullPulling()) {
    environment_->setIsFullPulling(false);
    environment_->setDbStateInteger("dbContentVersion", KXSyncCycleEnvironment::kContentVersion);
  }
  KXSyncStage stage = syncStage();
  if (stage == kKXSyncStagePullAfterPush) {
    KXLOG("sync, second pull success");
    post(kKXSyncEndNotification, kx::Value(kx::Dictionary{{kKXSyncResultKey, kx::Value(true)}}));
    eventCompleted();
  } else if (stage == kKXSyncStagePull) {
    KXLOG("sync, first pull success");
    auto self = std::static_pointer_cast<KXSyncOperation>(shared_from_this());
    std::shared_ptr<KXSyncPushProxy> push =
        environment_->makePushProxy(std::shared_ptr<KXSyncPushProxyDelegate>(self));
    {
      kx::MutexLock lock(mu_);
      syncStage_ = kKXSyncStagePush;
      pushProxy_ = push;
    }
    post(kKXSyncPushNotification);
    if (push) push->push();
  }
  environment_->startRecreateIndex();
}

void KXSyncOperation::didPushSuccess() {
  hop([this] { handlePushSuccess(); });
}

void KXSyncOperation::handlePushSuccess() {
  if (isCancelled()) return;
  if (environment_->dbStateInteger("dbContentVersion") < KXSyncCycleEnvironment::kContentVersion) {
    environment_->setIsFullPulling(true);
  }
  std::shared_ptr<KXSyncUserMeta> userMeta;
  {
    kx::MutexLock lock(mu_);
    syncStage_ = kKXSyncStagePullAfterPush;
    userMeta = userMetaProxy_;
  }
  if (userMeta) userMeta->pull(false);
}

void KXSyncOperation::didPullFileMetaDone() {
  hop([this] {
    if (!isCancelled()) post(kKXSyncPullFileMetaNotification);
  });
}

void KXSyncOperation::didPullUserMetaFail(const kx::Error& error) {
  hop([this, error] {
    KXLOG("didPullUserMetaFail, error is %s", error.localizedDescription().c_str());
    syncFailed();
  });
}

void KXSyncOperation::didPullFail(const kx::Error& error) {
  hop([this] {
    syncFailed();
    environment_->startRecreateIndex();
  });
}

void KXSyncOperation::didPushFail(const kx::Error& error) {
  hop([this] { syncFailed(); });
}

void KXSyncOperation::autoLoginSucceedAfterAuthFailed() {
  hop([this] {
    KX_DCHECK_ON_QUEUE(queue(), "the cycle's own state is touched only on the cycles' queue");
    if (hasTriedLogin_) {
      syncFailed();
      return;
    }
    hasTriedLogin_ = true;
    startSync();
  });
}

void KXSyncOperation::eventCompleted() {
  KXLOG("Sync_Stage_Finish");
  kx::MutexLock lock(mu_);
  if (ended_) return;
  ended_ = true;
  syncStage_ = kKXSyncStageEnded;
  if (pullProxy_) pullProxy_->clearEnvironment();
  if (pushProxy_) pushProxy_->clearEnvironment();
  // Executing until this step: a sync asked for after this cycle's end was
  // posted queues a cycle of its own instead of being absorbed by this one.
  finish();
}

void KXSyncOperation::syncFailed() {
  kx::MutexLock lock(mu_);
  if (ended_) return;
  KXLOG("Sync Fail");
  syncStage_ = kKXSyncStageEnded;
  post(kKXSyncEndNotification, kx::Value(kx::Dictionary{{kKXSyncResultKey, kx::Value(false)}}));
  cancelInternal();
}
