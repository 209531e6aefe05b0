#include "CommonUtils/KXReachabilityWatcher.h"

#include <utility>

#include "platform/Mutex.h"

KXReachabilityWatcher::KXReachabilityWatcher(std::string host,
                                             std::unique_ptr<KXReachabilityProbe> probe,
                                             std::unique_ptr<KXNetworkChangeMonitor> monitor,
                                             double pollIntervalSeconds,
                                             kx::NotificationCenter* center)
    : host_(std::move(host)),
      probe_(std::move(probe)),
      monitor_(std::move(monitor)),
      pollIntervalSeconds_(pollIntervalSeconds),
      center_(center ? center : &kx::NotificationCenter::defaultCenter()),
      alive_(std::make_shared<std::atomic<bool>>(true)),
      queue_(kQueueLabel) {}

KXReachabilityWatcher::~KXReachabilityWatcher() {
  if (monitor_) monitor_->stop();
  alive_->store(false);
  queue_.sync([] {});
}

void KXReachabilityWatcher::start() {
  if (monitor_) monitor_->start([this] { checkNow(); });
  checkNow();
  schedulePoll();
}

void KXReachabilityWatcher::checkNow() {
  std::shared_ptr<std::atomic<bool>> alive = alive_;
  queue_.async([this, alive] {
    if (alive->load()) check();
  });
}

bool KXReachabilityWatcher::canConnect() {
  {
    kx::MutexLock lock(mu_);
    if (reachable_) return *reachable_;
  }
  queue_.sync([this] {
    bool known;
    {
      kx::MutexLock lock(mu_);
      known = reachable_.has_value();
    }
    if (!known) check();
  });
  kx::MutexLock lock(mu_);
  return reachable_.value_or(false);
}

void KXReachabilityWatcher::schedulePoll() {
  if (!(pollIntervalSeconds_ > 0)) return;
  std::shared_ptr<std::atomic<bool>> alive = alive_;
  queue_.after(pollIntervalSeconds_, [this, alive] {
    if (!alive->load()) return;
    check();
    schedulePoll();
  });
}

void KXReachabilityWatcher::check() {
  const bool reachable = probe_ && probe_->isReachable(host_);
  std::optional<bool> previous;
  {
    kx::MutexLock lock(mu_);
    previous = reachable_;
    reachable_ = reachable;
  }
  if (previous && *previous != reachable) {
    center_->post(kNotificationName, nullptr,
                  kx::Value::dict({{kIsConnectionKey, kx::Value(reachable)}}));
  }
}
