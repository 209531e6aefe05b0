#include "CommonUtils/KXErrorPresenter.h"

#include <utility>

#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "platform/Mutex.h"

namespace {

struct Slot {
  kx::Mutex mu;
  std::shared_ptr<KXErrorPresenter> presenter GUARDED_BY(mu);
};

Slot& slot() {
  static Slot* s = new Slot();
  return *s;
}

}  // namespace

void KXErrorPresenter::install(std::shared_ptr<KXErrorPresenter> presenter) {
  if (!presenter) presenter = std::make_shared<KXHeadlessErrorPresenter>();
  Slot& s = slot();
  kx::MutexLock lock(s.mu);
  s.presenter = std::move(presenter);
}

std::shared_ptr<KXErrorPresenter> KXErrorPresenter::installed() {
  Slot& s = slot();
  kx::MutexLock lock(s.mu);
  if (!s.presenter) s.presenter = std::make_shared<KXHeadlessErrorPresenter>();
  return s.presenter;
}
