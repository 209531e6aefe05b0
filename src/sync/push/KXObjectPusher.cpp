#include "sync/push/KXObjectPusher.h"

#include <algorithm>
#include <utility>

#include "CommonUtils/KXLogger.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/push/KXMetaPusher.h"
#include "sync/push/KXResourcePusher.h"

std::shared_ptr<KXObjectPusher> KXObjectPusher::objectPusherWithMeta(const std::string& fileId,
                                                                     KXSyncPushServices services) {
  return std::make_shared<KXObjectPusher>(fileId, std::move(services));
}

KXObjectPusher::KXObjectPusher(std::string fileId, KXSyncPushServices services)
    : fileId_(std::move(fileId)), services_(services.resolved()) {}

void KXObjectPusher::pushWithCallback(Callback callback) {
  {
    kx::MutexLock lock(mu_);
    callback_ = std::move(callback);
    retry_ = 0;
  }
  checkResourcePushState();
}

void KXObjectPusher::checkResourcePushState() {
  KXMetaPusher::Snapshot snapshot;
  if (!KXMetaPusher::readSnapshot(*services_.client, fileId_, &snapshot)) {
    finish(kx::Value(), KXMetaPusher::entryError("no such entry"));
    return;
  }
  // A removed entry has no resources to send.
  std::vector<std::shared_ptr<KXResourcePusher>> pushers;
  if (!snapshot.values["remoteRemoved"].boolValue()) {
    for (const auto& resource : snapshot.resources) {
      if (!resource.localModified) continue;
      pushers.push_back(
          KXResourcePusher::resourcePusherWithResource(resource.resourceId, services_));
    }
  }
  if (pushers.empty()) {
    startPushMeta();
    return;
  }
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    if (stopped_) {
      pushers.clear();
    } else {
      resourcePushers_ = pushers;
    }
  }
  if (pushers.empty()) {
    finish(kx::Value(), KXMetaPusher::stoppedError());
    return;
  }
  // The resources go up side by side (the push controller bounds them);
  // the entry follows once all of them are on the service.
  auto self = shared_from_this();
  for (const auto& pusher : pushers) {
    std::weak_ptr<KXResourcePusher> weakPusher = pusher;
    pusher->pushWithCallback([self, weakPusher](const kx::Value& answer, const kx::Error& error) {
      auto pusher = weakPusher.lock();
      const std::string resourceId = pusher ? pusher->resourceId() : std::string();
      std::vector<std::shared_ptr<KXResourcePusher>> others;
      bool allDone = false;
      {
        kx::MutexLock lock(self->mu_);
        if (self->cleared_ || self->ended_) return;
        auto& list = self->resourcePushers_;
        list.erase(std::remove(list.begin(), list.end(), pusher), list.end());
        if (error) {
          others.swap(list);
        } else {
          if (answer.isDictionary() && answer[KXResourcePusher::kSrcURLKey].isDictionary()) {
            self->pushedResources_.set(resourceId, answer[KXResourcePusher::kSrcURLKey]);
          }
          allDone = list.empty();
        }
      }
      if (error) {
        KXLOG("push resource %s error in meta %s", resourceId.c_str(), self->fileId_.c_str());
        for (const auto& other : others) other->clearEnvironment();
        self->finish(kx::Value(), error);
        return;
      }
      if (allDone) self->startPushMeta();
    });
  }
}

void KXObjectPusher::startPushMeta() {
  auto pusher = KXMetaPusher::metaPusherWithMeta(fileId_, services_);
  std::int64_t retry = 0;
  bool stopped = false;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    stopped = stopped_;
    retry = retry_;
    pusher->setPushedResources(pushedResources_);
    if (!stopped) metaPusher_ = pusher;
  }
  if (stopped) {
    finish(kx::Value(), KXMetaPusher::stoppedError());
    return;
  }
  if (retry == 2) pusher->setOverlookResVersion(true);
  std::weak_ptr<KXObjectPusher> weak = weak_from_this();
  auto self = shared_from_this();
  pusher->pushWithCallback([self, retry](const kx::Value& reply, const kx::Error& error) {
    // Only a refusal by the service is worth the version read; an entry's
    // own failure or a transport failure is final.
    const bool answeredRefusal = KXMetaPusher::failsEntryOnly(error) &&
                                 error.userInfo()[KXMetaPusher::kMessageKey].isString();
    bool stopped = false;
    {
      kx::MutexLock lock(self->mu_);
      stopped = self->stopped_;
    }
    if (!error || retry != 0 || !answeredRefusal || stopped) {
      self->finish(reply, error);
      return;
    }
    self->handleForResourceVersion();
  });
}

void KXObjectPusher::handleForResourceVersion() {
  KXNetworkOperationOptions options{
      {kKXOptionURL,
       kx::Value(services_.serviceBaseURL + kGetByIdPath + fileId_ + "?method=getById")},
      {kKXOptionMethod, kx::Value("POST")},
      {kKXOptionDataType, kx::Value(kKXJSONDataType)},
      {kKXOptionParams, kx::Value::dict({{"entire", kx::Value("true")}})}};
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  bool stopped = false;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    stopped = stopped_;
    if (!stopped) socket_ = operation;
  }
  if (stopped) {
    finish(kx::Value(), KXMetaPusher::stoppedError());
    return;
  }
  auto self = shared_from_this();
  bool queued = services_.controller->concurrentResumeWithOperator(
      operation,
      [self](const kx::Value& result, const kx::HTTPResponseHead&, const kx::Error& error) {
        {
          kx::MutexLock lock(self->mu_);
          if (self->cleared_ || self->ended_) return;
          self->socket_.reset();
          self->retry_ += 1;
          const bool usable = !error && result.isDictionary() &&
                              result["fileMeta"].isDictionary() &&
                              result["fileMeta"]["resources"].isArray();
          if (!usable) {
            self->retry_ += 1;
          } else {
            for (const kx::Value& item : result["fileMeta"]["resources"].array()) {
              if (!item.isDictionary() || item["resourceId"].isNull() || item["version"].isNull())
                continue;
              const std::string id = item["resourceId"].stringValue();
              if (!self->pushedResources_.contains(id)) {
                self->pushedResources_.set(id, kx::Value::dict({{"version", item["version"]}}));
              }
            }
          }
        }
        self->startPushMeta();
      });
  if (!queued) finish(kx::Value(), KXMetaPusher::entryError("request refused"));
}

void KXObjectPusher::finish(const kx::Value& reply, const kx::Error& error) {
  Callback callback;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    ended_ = true;
    callback = std::move(callback_);
    metaPusher_.reset();
    socket_.reset();
  }
  if (callback) callback(reply, error);
}

void KXObjectPusher::stop() {
  std::vector<std::shared_ptr<KXResourcePusher>> resources;
  std::shared_ptr<KXMetaPusher> pusher;
  std::shared_ptr<KXNetworkOperation> operation;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    stopped_ = true;
    pusher = metaPusher_;
    operation = socket_;
    resources.swap(resourcePushers_);
  }
  // Uploads not finished are given up; the entry keeps its marks.
  for (const auto& resource : resources) resource->clearEnvironment();
  if (!resources.empty()) {
    finish(kx::Value(), KXMetaPusher::stoppedError());
    return;
  }
  // The meta pusher reports (its answer, or that it stopped); so does a
  // version read that is not sent.
  if (pusher) pusher->stop();
  if (operation && !operation->isExecuting() && !operation->isComplete()) {
    operation->cancel();
    finish(kx::Value(), KXMetaPusher::stoppedError());
  }
}

void KXObjectPusher::clearEnvironment() {
  std::vector<std::shared_ptr<KXResourcePusher>> resources;
  std::shared_ptr<KXMetaPusher> pusher;
  std::shared_ptr<KXNetworkOperation> operation;
  {
    kx::MutexLock lock(mu_);
    cleared_ = true;
    callback_ = nullptr;
    pusher.swap(metaPusher_);
    operation.swap(socket_);
    resources.swap(resourcePushers_);
  }
  for (const auto& resource : resources) resource->clearEnvironment();
  if (pusher) pusher->clearEnvironment();
  if (operation && !operation->isComplete()) operation->cancel();
}
