#include "sync/cycle/KXLiveConnection.h"

#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "account/KXNetworkOperation.h"
#include "platform/QueueCheck.h"
#include "sync/cycle/KXSyncManager.h"
#include "sync/cycle/KXSyncPen.h"

std::string KXLiveConnectionEnvironment::serviceBaseURL() { return KXServiceBaseURL(); }

bool KXLiveConnectionEnvironment::isWorking() {
  return KXSyncManager::defaultManager().isWorking();
}

std::int64_t KXLiveConnectionEnvironment::baseVersion() {
  return KXDataClient::defaultDataClient().reads().baseVersion();
}

void KXLiveConnectionEnvironment::sync() { KXSyncManager::defaultManager().sync(); }

void KXLiveConnectionEnvironment::startPenPull() { KXSyncPen::defaultProxy().startPull(); }

KXLiveConnection& KXLiveConnection::sharedConnection() {
  static auto* connection =
      new std::shared_ptr<KXLiveConnection>(std::make_shared<KXLiveConnection>(nullptr, nullptr));
  return **connection;
}

KXLiveConnection::KXLiveConnection(std::shared_ptr<KXLiveConnectionEnvironment> environment,
                                   std::shared_ptr<KXDelayClock> clock)
    : environment_(environment ? std::move(environment)
                               : std::make_shared<KXLiveConnectionEnvironment>()),
      clock_(clock ? std::move(clock) : KXDelayClock::systemClock()),
      queue_(kQueueLabel) {}

KXLiveConnection::~KXLiveConnection() {
  std::shared_ptr<KXNetworkOperation> socket;
  {
    kx::MutexLock lock(mu_);
    socket = std::move(socket_);
  }
  if (socket) socket->abort();
}

void KXLiveConnection::multiportConnect() {
  std::uint64_t generation;
  {
    kx::MutexLock lock(mu_);
    generation = ++tickGeneration_;
    ticking_ = true;
  }
  armTick(generation);
}

void KXLiveConnection::armTick(std::uint64_t generation) {
  std::weak_ptr<KXLiveConnection> weak = weak_from_this();
  clock_->after(kTickSeconds, queue_, [weak, generation] {
    std::shared_ptr<KXLiveConnection> self = weak.lock();
    if (!self) return;
    {
      kx::MutexLock lock(self->mu_);
      if (!self->ticking_ || self->tickGeneration_ != generation) return;
    }
    self->rawConnect();
    self->armTick(generation);
  });
}

void KXLiveConnection::stop() {
  std::shared_ptr<KXNetworkOperation> socket;
  {
    kx::MutexLock lock(mu_);
    ++tickGeneration_;
    ticking_ = false;
    ++pollNumber_;
    polling_ = false;
    socket = std::move(socket_);
  }
  if (socket) {
    socket->setRuntimeData(true);
    socket->abort();
  }
}

void KXLiveConnection::rawConnect() {
  {
    kx::MutexLock lock(mu_);
    // An operation aborted from outside (the machine went to sleep) never
    // answers: it no longer counts as running.
    if (polling_ && socket_ && !socket_->isCancelled()) return;
  }
  if (environment_->isWorking()) return;

  auto socket = std::make_shared<KXNetworkOperation>();
  std::uint64_t poll;
  std::shared_ptr<KXNetworkOperation> previous;
  std::int64_t cursor;
  {
    kx::MutexLock lock(mu_);
    poll = ++pollNumber_;
    previous = std::exchange(socket_, socket);
    polling_ = true;
    cursor = lastTimeStamp_;
  }
  if (previous) {
    previous->setRuntimeData(true);
    previous->abort();
  }
  socket->setOption(KXNetworkOperationOptions{
      {kKXOptionSSL, kx::Value(false)},
      {kKXOptionTimeout, kx::Value(kPollTimeoutSeconds)},
      {kKXOptionURL, kx::Value(environment_->serviceBaseURL() + kPollPath + "?app=lumbox&cl=mac")},
      {kKXOptionMethod, kx::Value("GET")},
      {kKXOptionParams,
       kx::Value::dict({{"lp", kx::Value(cursor)}, {"cto", kx::Value(kClientTimeoutMillis)}})}});
  std::weak_ptr<KXLiveConnection> weak = weak_from_this();
  socket->asyncNetworkOperationWithCallback([weak, poll](const kx::Value& result,
                                                         const kx::HTTPResponseHead& head,
                                                         const kx::Error& error) {
    std::shared_ptr<KXLiveConnection> self = weak.lock();
    if (!self) return;
    const bool failed = static_cast<bool>(error);
    const long status = head.status;
    self->queue_.async(
        [self, poll, result, status, failed] { self->handleAnswer(poll, result, status, failed); });
  });
  environment_->startPenPull();
}

void KXLiveConnection::handleAnswer(std::uint64_t poll, const kx::Value& result, long status,
                                    bool failed) {
  KX_DCHECK_ON_QUEUE(queue_, "answers are handled on the live connection's queue");
  {
    kx::MutexLock lock(mu_);
    if (poll != pollNumber_) return;  // aborted meanwhile
    polling_ = false;
  }
  if (failed || status != 200) return;
  kx::Value reply = result;
  if (reply.isData()) {
    kx::Error error;
    reply = objectFromJSONDataWithParseOptions(result.bytes(), 0, &error);
    if (reply.isNull()) {
      KXLOG("HTTP Request %s, parse json error , %s, string is %s", kPollPath,
            error.localizedDescription().c_str(),
            std::string(result.bytes().begin(), result.bytes().end()).c_str());
      return;
    }
  }
  if (!reply.isDictionary()) return;
  const std::int64_t rv = reply["rv"].intValue();
  bool ask = false;
  std::int64_t shareTime = 0;
  const bool hasShareTime = reply.dict().contains("MYSHARE_UPDATE_TIME");
  if (hasShareTime) shareTime = reply["MYSHARE_UPDATE_TIME"].intValue();
  {
    kx::MutexLock lock(mu_);
    if (reply.dict().contains("lp")) lastTimeStamp_ = reply["lp"].intValue();
    if (hasShareTime && lastShareTime_ < shareTime) {
      if (lastShareTime_ != -1) ask = true;
      lastShareTime_ = shareTime;
    }
  }
  if (rv > 0 && environment_->baseVersion() < rv) ask = true;
  // One notice, one request.
  if (ask) environment_->sync();
}

std::int64_t KXLiveConnection::lastTimeStamp() const {
  kx::MutexLock lock(mu_);
  return lastTimeStamp_;
}

bool KXLiveConnection::isPolling() const {
  kx::MutexLock lock(mu_);
  return polling_ && socket_ && !socket_->isCancelled();
}

bool KXLiveConnection::isTicking() const {
  kx::MutexLock lock(mu_);
  return ticking_;
}
