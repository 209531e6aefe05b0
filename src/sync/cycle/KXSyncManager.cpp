#include "sync/cycle/KXSyncManager.h"

#include <atomic>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXReachabilityWatcher.h"
#include "Data/client/KXSyncRequestHooks.h"
#include "platform/LocalizedStrings.h"
#include "platform/MainQueue.h"
#include "platform/SleepNotifications.h"
#include "sync/cycle/KXSyncNotificationNames.h"
#include "sync/cycle/KXSyncOperation.h"

KXSyncManager::Admission KXSyncManager::admissionFor(
    bool isSystemSleeping, const std::vector<std::shared_ptr<kx::Operation>>& cycles) {
  if (isSystemSleeping) return Admission::kRefuseAsleep;
  // A finished cycle may still be on its way out of the queue: it covers
  // nothing.
  std::vector<std::shared_ptr<kx::Operation>> live;
  for (const auto& cycle : cycles) {
    if (!cycle->isFinished()) live.push_back(cycle);
  }
  if (live.empty()) return Admission::kAddAndAnnounce;
  if (live.size() == 1) {
    const auto& only = live.front();
    if (!only->isExecuting() && !only->isCancelled()) return Admission::kAbsorb;
    return Admission::kAddQuietly;
  }
  return Admission::kAbsorb;
}

namespace {

std::atomic<KXSyncManager*>& installedManager() {
  static std::atomic<KXSyncManager*> manager{nullptr};
  return manager;
}

}  // namespace

KXSyncManager& KXSyncManager::defaultManager() {
  if (KXSyncManager* installed = installedManager().load()) return *installed;
  static KXSyncManager* fallback =
      new KXSyncManager(std::make_shared<KXSyncCycleEnvironment>(),
                        std::make_shared<KXSyncManagerEnvironment>(), nullptr);
  return *fallback;
}

void KXSyncManager::setDefaultManager(KXSyncManager* manager) { installedManager() = manager; }

void KXSyncManager::installSyncRequestHooks() {
  KXSyncRequestHooks::install(
      [] { defaultManager().syncByManual(); },
      [](std::function<void()> block) { defaultManager().didAfterSync(std::move(block)); });
}

KXSyncManager::KXSyncManager(std::shared_ptr<KXSyncCycleEnvironment> cycleEnvironment,
                             std::shared_ptr<KXSyncManagerEnvironment> environment,
                             std::shared_ptr<KXUIPort> ui, std::shared_ptr<KXDelayClock> clock,
                             kx::NotificationCenter* center)
    : cycleEnvironment_(cycleEnvironment ? std::move(cycleEnvironment)
                                         : std::make_shared<KXSyncCycleEnvironment>()),
      environment_(environment ? std::move(environment)
                               : std::make_shared<KXSyncManagerEnvironment>()),
      ui_(std::move(ui)),
      clock_(clock ? std::move(clock) : KXDelayClock::systemClock()),
      center_(center != nullptr ? center : &kx::NotificationCenter::defaultCenter()),
      alive_(std::make_shared<int>(0)),
      syncQueue_(kQueueName, 1) {
  isNetworkReachable_ = cycleEnvironment_->canConnect();
  observers_.push_back(
      center_->addObserver(KXReachabilityWatcher::kNotificationName, nullptr, nullptr,
                           [this](const kx::Notification& n) { networkRechableChanged(n); }));
  observers_.push_back(center_->addObserver(kx::kWorkspaceWillSleepNotification, nullptr, nullptr,
                                            [this](const kx::Notification& n) { systemSleep(n); }));
  observers_.push_back(center_->addObserver(kx::kWorkspaceDidWakeNotification, nullptr, nullptr,
                                            [this](const kx::Notification& n) { systemAwake(n); }));
  // Every sync-end is posted on the main queue; the blocks run right there.
  observers_.push_back(
      center_->addObserver(kKXSyncEndNotification, nullptr, nullptr,
                           [this](const kx::Notification&) { runAfterSyncBlocks(); }));
  std::weak_ptr<int> alive = alive_;
  clock_->after(kFirstSyncDelaySeconds, kx::MainQueue::shared(), [this, alive] {
    if (alive.lock()) environment_->startSync([this] { syncByManual(); });
  });
}

KXSyncManager::~KXSyncManager() {
  for (kx::NotificationCenter::Token token : observers_) center_->removeObserver(token);
  cancelTaskWhenLogoff();
  syncQueue_.waitUntilAllOperationsAreFinished(30);
}

void KXSyncManager::sync() {
  Admission admission;
  {
    kx::MutexLock lock(mu_);
    admission = admissionFor(isSystemSleeping_, syncQueue_.operations());
    // sync-start is queued on the main queue before the cycle can post
    // anything there, so that observers always see it first.
    if (admission == Admission::kAddAndAnnounce) postSyncStartNotification();
    if (admission == Admission::kAddAndAnnounce || admission == Admission::kAddQuietly) {
      syncQueue_.addOperation(std::make_shared<KXSyncOperation>(cycleEnvironment_, center_));
    }
  }
  if (admission == Admission::kRefuseAsleep) postSyncEndNotification(false);
}

void KXSyncManager::syncByManual() { sync(); }

bool KXSyncManager::isWorking() const {
  for (const auto& cycle : syncQueue_.operations()) {
    if (cycle->isExecuting()) return true;
  }
  return false;
}

void KXSyncManager::didAfterSync(std::function<void()> block) {
  if (!block) return;
  kx::MutexLock lock(mu_);
  afterSyncBlocks_.push_back(std::move(block));
}

void KXSyncManager::runAfterSyncBlocks() {
  std::vector<std::function<void()>> blocks;
  {
    kx::MutexLock lock(mu_);
    blocks.swap(afterSyncBlocks_);
  }
  for (auto& block : blocks) kx::Queue::invokeGuarded(block, "after-sync block");
}

void KXSyncManager::postSyncStartNotification() {
  kx::NotificationCenter* center = center_;
  const void* object = this;
  kx::MainQueue::shared().async(
      [center, object] { center->post(kKXSyncStartNotification, object); });
}

void KXSyncManager::postSyncEndNotification(bool success) {
  KXLOG("sync end notification: %d", success ? 1 : 0);
  kx::NotificationCenter* center = center_;
  const void* object = this;
  kx::MainQueue::shared().async([center, object, success] {
    center->post(kKXSyncEndNotification, object,
                 kx::Value(kx::Dictionary{{kKXSyncResultKey, kx::Value(success)}}));
  });
}

void KXSyncManager::performLiveConnect() { environment_->multiportConnect(); }

void KXSyncManager::cancelTaskWhenLogoff() {
  KXLOG("cancelTaskWhenLogof");
  environment_->stopLiveConnect();
  // The waiting cycle first: cancelling the running one frees its slot, and a
  // waiting cycle not yet cancelled would start in it.
  std::vector<std::shared_ptr<kx::Operation>> cycles = syncQueue_.operations();
  for (auto it = cycles.rbegin(); it != cycles.rend(); ++it) (*it)->cancel();
}

void KXSyncManager::systemSleep(const kx::Notification&) {
  {
    kx::MutexLock lock(mu_);
    isSystemSleeping_ = true;
  }
  environment_->stopLiveConnect();
  KXLOG("System will sleep");
}

void KXSyncManager::systemAwake(const kx::Notification&) {
  {
    kx::MutexLock lock(mu_);
    isSystemSleeping_ = false;
  }
  sync();
  environment_->multiportConnect();
  KXLOG("System awake");
}

void KXSyncManager::networkRechableChanged(const kx::Notification& notification) {
  bool reachable = notification.userInfo[KXReachabilityWatcher::kIsConnectionKey].boolValue();
  {
    kx::MutexLock lock(mu_);
    isNetworkReachable_ = reachable;
  }
  KXLOG("sync, networkReachableChanged");
  if (!reachable) {
    cycleEnvironment_->changeNetWorkStatus(false);
    postSyncEndNotification(false);
    return;
  }
  cycleEnvironment_->changeNetWorkStatus(true);
  cycleEnvironment_->startRecreateIndex();
  if (environment_->isLogin()) {
    if (!isWorking()) sync();
  } else if (environment_->checkPersistCookie()) {
    environment_->checkLogin();
  } else if (environment_->loginType() == 1 && environment_->checkUserAndPassword()) {
    environment_->doLogin();
  } else {
    std::shared_ptr<KXUIPort> ui = ui_;
    std::shared_ptr<KXSyncManagerEnvironment> environment = environment_;
    kx::MainQueue::shared().async([ui, environment] {
      std::shared_ptr<KXUIPort> port = ui ? ui : KXUIPort::installed();
      port->showAlert({kx::LocalizedStrings::localized("Sorry, synchronization errors"),
                       kx::LocalizedStrings::localized("Please login again"),
                       {kx::LocalizedStrings::localized("OK")}},
                      [environment](std::size_t) { environment->respondsToLogout(); });
    });
  }
}

bool KXSyncManager::isNetworkReachable() const {
  kx::MutexLock lock(mu_);
  return isNetworkReachable_;
}

bool KXSyncManager::isSystemSleeping() const {
  kx::MutexLock lock(mu_);
  return isSystemSleeping_;
}
