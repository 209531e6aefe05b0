#include "CommonUtils/KXURLOpener.h"

#include <mutex>
#include <utility>

namespace {

struct Slot {
  std::mutex mu;
  std::shared_ptr<KXURLOpener> opener;  // guarded by mu
};

Slot& slot() {
  static Slot* s = new Slot();
  return *s;
}

}  // namespace

void KXURLOpener::install(std::shared_ptr<KXURLOpener> opener) {
  Slot& s = slot();
  std::lock_guard<std::mutex> lock(s.mu);
  s.opener = std::move(opener);
}

std::shared_ptr<KXURLOpener> KXURLOpener::installed() {
  Slot& s = slot();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.opener;
}
