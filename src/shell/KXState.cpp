#include "shell/KXState.h"

#include <utility>

KXState& KXState::currentState() {
  static KXState* state = new KXState();
  return *state;
}

std::optional<std::string> KXState::currentFileId() const {
  kx::MutexLock lock(mu_);
  return currentFileId_;
}

void KXState::setCurrentFileId(std::optional<std::string> fileId) {
  kx::MutexLock lock(mu_);
  currentFileId_ = std::move(fileId);
}
