#include "sync/cycle/KXConcurrentController.h"

#include <algorithm>

#include "CommonUtils/KXLogger.h"

namespace {

std::shared_ptr<KXConcurrentController>& shared(int which) {
  static auto* pull = new std::shared_ptr<KXConcurrentController>(
      std::make_shared<KXConcurrentController>(KXConcurrentController::kPullConcurrentLen));
  static auto* push = new std::shared_ptr<KXConcurrentController>(
      std::make_shared<KXConcurrentController>(KXConcurrentController::kPushConcurrentLen));
  return which == 0 ? *pull : *push;
}

}  // namespace

KXConcurrentController& KXConcurrentController::pullController() { return *shared(0); }

KXConcurrentController& KXConcurrentController::pushController() { return *shared(1); }

KXConcurrentController::KXConcurrentController() : KXConcurrentController(kDefaultConcurrentLen) {}

KXConcurrentController::KXConcurrentController(std::int64_t concurrentLen)
    : concurrentLen_(std::max<std::int64_t>(1, concurrentLen)),
      workQueue_(kQueueName, static_cast<std::size_t>(concurrentLen_)) {}

KXConcurrentController::~KXConcurrentController() { clearEnvironment(); }

bool KXConcurrentController::concurrentResumeWithOperator(
    const std::shared_ptr<KXNetworkOperation>& operation, KXNetworkOperationCallback callback) {
  if (!operation) return false;
  operation->setConcurrentDelegate(weak_from_this());
  operation->setCallback(std::move(callback));
  if (!workQueue_.addOperation(operation)) {
    KXLOG("transfer refused: %s was queued before", operation->description().c_str());
    return false;
  }
  return true;
}

void KXConcurrentController::clearEnvironment() {
  // Waiting operations first: cancelling a running one frees its slot, and a
  // waiting operation not yet cancelled would start its request in it.
  std::vector<std::shared_ptr<kx::Operation>> operations = workQueue_.operations();
  for (auto it = operations.rbegin(); it != operations.rend(); ++it) (*it)->cancel();
}
