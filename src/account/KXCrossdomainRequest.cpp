#include "account/KXCrossdomainRequest.h"

#include <utility>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXURLOpener.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "platform/URL.h"

KXCrossdomainRequest& KXCrossdomainRequest::sharedRequest() {
  static KXCrossdomainRequest* request = [] {
    static auto* holder =
        new std::shared_ptr<KXCrossdomainRequest>(std::make_shared<KXCrossdomainRequest>());
    KXCrossdomainRequest* created = holder->get();
    KXHooks::setLoginInfoOpener(
        [created](const std::string& url) { created->openUrlWithLoginInfo(url); });
    return created;
  }();
  return *request;
}

KXCrossdomainRequest::KXCrossdomainRequest() : socket_(std::make_shared<KXNetworkOperation>()) {}

void KXCrossdomainRequest::fetchCrosskeyWithCallBack(TicketCallback callback) {
  std::shared_ptr<KXNetworkOperation> operation;
  {
    kx::MutexLock lock(mu_);
    // A running request keeps the operation (and its callback) until it
    // has answered.
    if (!socket_->isValidForUse() || socket_->isExecuting() || callback_) {
      operation = nullptr;
    } else {
      operation = socket_;
      callback_ = std::move(callback);
    }
  }
  if (!operation) {
    if (callback) callback(std::nullopt, false);
    return;
  }
  operation->setDelegate(weak_from_this());
  operation->setConcurrentDelegate(weak_from_this());
  operation->setOption(KXNetworkOperationOptions{
      {kKXOptionURL, kx::Value(KXServiceBaseURL() + "/login/acc/se/cross/first")},
      {kKXOptionMethod, kx::Value("GET")},
      {kKXOptionParams, kx::Value(kx::Dictionary{{"product", kx::Value("QOPAL")}})},
      {kKXOptionDataType, kx::Value(kKXJSONDataType)}});
  operation->clearRuntimeData();
  operation->asyncNetworkOperation();
}

void KXCrossdomainRequest::finish(const std::optional<std::string>& ticket, bool success) {
  kx::MutexLock lock(mu_);
  if (callback_ && !verdict_) verdict_ = Verdict{ticket, success};
}

void KXCrossdomainRequest::didNetworkOperationRecievedHttpCode(std::int64_t code,
                                                               KXNetworkOperation& operation) {
  if (code == 200) return;
  operation.setRuntimeData(false);
  finish(std::nullopt, false);
}

void KXCrossdomainRequest::didNetworkOperationSuccessCompleted(const kx::Value& result,
                                                               KXNetworkOperation& operation) {
  std::any verdict = operation.runtimeData();
  if (verdict.has_value() && verdict.type() == typeid(bool) && !std::any_cast<bool>(verdict))
    return;
  const kx::Value* pci = result.isDictionary() ? result.find("pci") : nullptr;
  if (pci) {
    finish(pci->stringValue(), true);
  } else {
    finish(std::nullopt, false);
  }
}

void KXCrossdomainRequest::didNetworkOperationFailWithError(const kx::Error& /*error*/,
                                                            KXNetworkOperation& /*operation*/) {
  finish(std::nullopt, false);
}

void KXCrossdomainRequest::didNetworkOperationClosed(KXNetworkOperation& /*operation*/,
                                                     const kx::Error& error) {
  if (error) finish(std::nullopt, false);
}

void KXCrossdomainRequest::completeWithOperator(KXNetworkOperation& /*operation*/) {
  // The callback runs once the operation has ended, so that it may ask for
  // the next ticket at once.
  TicketCallback callback;
  Verdict verdict;
  {
    kx::MutexLock lock(mu_);
    callback = std::move(callback_);
    callback_ = nullptr;
    if (verdict_) verdict = *verdict_;
    verdict_.reset();
  }
  if (callback) callback(verdict.ticket, verdict.success);
}

void KXCrossdomainRequest::openUrlWithLoginInfo(const std::string& absoluteURL) {
  fetchCrosskeyWithCallBack([absoluteURL](const std::optional<std::string>& ticket, bool success) {
    if (!success || !ticket) return;
    std::string address = KXServiceBaseURL() + "/login/acc/cross/second" + "?pci=" + *ticket +
                          "&ru=" + NSStringDupTitle::urlencode(absoluteURL);
    std::optional<kx::URL> url = kx::URL::parse(address);
    std::shared_ptr<KXURLOpener> opener = KXURLOpener::installed();
    if (!url || !opener) return;
    opener->openURL(*url);
  });
}
