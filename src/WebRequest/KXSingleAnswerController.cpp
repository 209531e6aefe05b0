#include "WebRequest/KXSingleAnswerController.h"

#include <utility>

#include "CommonUtils/KXLogger.h"
#include "WebRequest/KXURLError.h"

KXSingleAnswerController::KXSingleAnswerController(
    std::shared_ptr<KXDataRequestController> receiver, std::string description)
    : receiver_(std::move(receiver)), description_(std::move(description)) {}

KXSingleAnswerController::~KXSingleAnswerController() {
  if (answered_.exchange(true)) return;
  KXLOG("no answer for %s; answering -1000", description_.c_str());
  if (receiver_)
    receiver_->localReceiveResponse(std::nullopt, std::nullopt, KXURLError::make(KXURLErrorBadURL));
}

void KXSingleAnswerController::localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                                                    std::optional<kx::Bytes> data,
                                                    kx::Error error) {
  if (answered_.exchange(true)) {
    KXLOG("second answer for %s ignored", description_.c_str());
    return;
  }
  if (receiver_)
    receiver_->localReceiveResponse(std::move(response), std::move(data), std::move(error));
}

void KXSingleAnswerController::whenCancelled(std::function<void()> cancelled) {
  if (receiver_) receiver_->whenCancelled(std::move(cancelled));
}
