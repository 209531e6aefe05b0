#include "sync/KXSyncPushTagStep.h"

#include <utility>

#include "platform/Mutex.h"

namespace {

struct Slot {
  kx::Mutex mu;
  std::shared_ptr<KXSyncPushTagStep> step GUARDED_BY(mu);
};

Slot& slot() {
  static Slot* s = new Slot();
  return *s;
}

}  // namespace

void KXSyncPushTagStep::install(std::shared_ptr<KXSyncPushTagStep> step) {
  Slot& s = slot();
  kx::MutexLock lock(s.mu);
  s.step = std::move(step);
}

std::shared_ptr<KXSyncPushTagStep> KXSyncPushTagStep::installed() {
  Slot& s = slot();
  kx::MutexLock lock(s.mu);
  if (!s.step) s.step = std::make_shared<KXSyncPushTagStep>();
  return s.step;
}
