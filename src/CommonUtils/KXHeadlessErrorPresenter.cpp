#include "CommonUtils/KXHeadlessErrorPresenter.h"

#include "platform/MainQueue.h"
#include "platform/Mutex.h"

void KXHeadlessErrorPresenter::presentError(const kx::Error& error) {
  kx::MutexLock lock(mu_);
  errors_.push_back(error);
  onMain_.push_back(kx::MainQueue::isMainThread());
  while (errors_.size() > kMaxKept) {
    errors_.pop_front();
    onMain_.pop_front();
  }
}

std::vector<kx::Error> KXHeadlessErrorPresenter::presentedErrors() const {
  kx::MutexLock lock(mu_);
  return {errors_.begin(), errors_.end()};
}

std::vector<bool> KXHeadlessErrorPresenter::presentedOnMainThread() const {
  kx::MutexLock lock(mu_);
  return {onMain_.begin(), onMain_.end()};
}

void KXHeadlessErrorPresenter::clear() {
  kx::MutexLock lock(mu_);
  errors_.clear();
  onMain_.clear();
}
