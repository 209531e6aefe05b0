#include "shell/KXTouchBarController.h"

#include <atomic>

namespace {

std::atomic<KXTouchBarController*>& shared() {
  static std::atomic<KXTouchBarController*> controller{nullptr};
  return controller;
}

}  // namespace

KXTouchBarController* KXTouchBarController::sharedController() { return shared().load(); }

KXTouchBarController& KXTouchBarController::makeSharedController() {
  // Made once; callers that raced for it all get the same one.
  static KXTouchBarController* made = [] {
    auto* controller = new KXTouchBarController();
    shared().store(controller);
    return controller;
  }();
  return *made;
}

void KXTouchBarController::changeCurrentBgImageId(const std::string& bgImageId) {
  kx::MutexLock lock(mu_);
  currentBgImageId_ = bgImageId;
}

std::string KXTouchBarController::currentBgImageId() const {
  kx::MutexLock lock(mu_);
  return currentBgImageId_;
}
