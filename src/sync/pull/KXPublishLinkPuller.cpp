#include "sync/pull/KXPublishLinkPuller.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "sync/cycle/KXConcurrentController.h"

std::shared_ptr<KXPublishLinkPuller> KXPublishLinkPuller::pullerWithFileId(
    const std::string& fileId, std::string serviceBaseURL, KXConcurrentController* controller) {
  return std::make_shared<KXPublishLinkPuller>(fileId, std::move(serviceBaseURL), controller);
}

KXPublishLinkPuller::KXPublishLinkPuller(std::string fileId, std::string serviceBaseURL,
                                         KXConcurrentController* controller)
    : fileId_(std::move(fileId)),
      serviceBaseURL_(serviceBaseURL.empty() ? KXServiceBaseURL() : std::move(serviceBaseURL)),
      controller_(controller != nullptr ? controller : &KXConcurrentController::pullController()) {}

void KXPublishLinkPuller::pullWithCallback(Callback callback) {
  KXNetworkOperationOptions options{
      {kKXOptionURL, kx::Value(serviceBaseURL_ + kPublishPath)},
      {kKXOptionParams,
       kx::Value::dict({{"fileId", kx::Value(fileId_)}, {"from", kx::Value("kxpublisher")}})},
      {kKXOptionMethod, kx::Value("GET")},
      {kKXOptionDataType, kx::Value(kKXJSONDataType)}};
  auto operation = std::make_shared<KXNetworkOperation>();
  operation->setOption(std::move(options));
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    callback_ = std::move(callback);
    operator_ = operation;
  }
  std::weak_ptr<KXPublishLinkPuller> weak = weak_from_this();
  const bool queued = controller_->concurrentResumeWithOperator(
      operation,
      [weak](const kx::Value& result, const kx::HTTPResponseHead&, const kx::Error& error) {
        auto self = weak.lock();
        if (!self) return;
        if (!error && result.isDictionary() && result["url"].isString() &&
            !result["url"].string().empty()) {
          self->finish(result, kx::Error());
          return;
        }
        KXLOG("publish link of %s not had", self->fileId_.c_str());
        self->finish(kx::Value(), error ? error : kx::Error("com.zarvel.note.Error", 0x400000002));
      });
  if (!queued) finish(kx::Value(), kx::Error("com.zarvel.note.Error", 0x400000002));
}

void KXPublishLinkPuller::finish(const kx::Value& reply, const kx::Error& error) {
  Callback callback;
  {
    kx::MutexLock lock(mu_);
    if (cleared_ || ended_) return;
    ended_ = true;
    callback = std::move(callback_);
    operator_.reset();
  }
  if (callback) callback(reply, error);
}

void KXPublishLinkPuller::clearEnvironment() {
  std::shared_ptr<KXNetworkOperation> operation;
  {
    kx::MutexLock lock(mu_);
    cleared_ = true;
    callback_ = nullptr;
    operation.swap(operator_);
  }
  if (operation && !operation->isComplete()) operation->cancel();
}
