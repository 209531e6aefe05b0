#include "CommonUtils/KXErrorPresenter.h"

#include <mutex>
#include <utility>

#include "CommonUtils/KXHeadlessErrorPresenter.h"

namespace {

struct Slot {
  std::mutex mu;
  std::shared_ptr<KXErrorPresenter> presenter;  // guarded by mu
};

Slot& slot() {
  static Slot* s = new Slot();
  return *s;
}

}  // namespace

void KXErrorPresenter::install(std::shared_ptr<KXErrorPresenter> presenter) {
  if (!presenter) presenter = std::make_shared<KXHeadlessErrorPresenter>();
  Slot& s = slot();
  std::lock_guard<std::mutex> lock(s.mu);
  s.presenter = std::move(presenter);
}

std::shared_ptr<KXErrorPresenter> KXErrorPresenter::installed() {
  Slot& s = slot();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.presenter) s.presenter = std::make_shared<KXHeadlessErrorPresenter>();
  return s.presenter;
}
