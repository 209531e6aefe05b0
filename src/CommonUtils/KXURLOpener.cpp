#include "CommonUtils/KXURLOpener.h"

#include <utility>

#include "platform/Mutex.h"

namespace {

struct Slot {
  kx::Mutex mu;
  std::shared_ptr<KXURLOpener> opener GUARDED_BY(mu);
};

Slot& slot() {
  static Slot* s = new Slot();
  return *s;
}

}  // namespace

void KXURLOpener::install(std::shared_ptr<KXURLOpener> opener) {
  Slot& s = slot();
  kx::MutexLock lock(s.mu);
  s.opener = std::move(opener);
}

std::shared_ptr<KXURLOpener> KXURLOpener::installed() {
  Slot& s = slot();
  kx::MutexLock lock(s.mu);
  return s.opener;
}
