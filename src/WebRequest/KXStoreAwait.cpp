#include "WebRequest/KXStoreAwait.h"

namespace {

struct Pending {
  kx::Mutex mu;
  kx::CondVar cv;
  bool done GUARDED_BY(mu) = false;
  KXStoreOutcome outcome GUARDED_BY(mu);
};

}  // namespace

KXStoreOutcome KXStoreAwait::call(const std::function<void(KXDataCallback completion)>& start) {
  auto pending = std::make_shared<Pending>();
  start([pending](const KXResultInfo& info, const kx::Error& error) {
    kx::MutexLock lock(pending->mu);
    if (pending->done) return;
    pending->outcome = KXStoreOutcome{info, error};
    pending->done = true;
    pending->cv.signalAll();
  });
  kx::MutexLock lock(pending->mu);
  while (!pending->done) pending->cv.wait(pending->mu);
  return pending->outcome;
}
