// KXHeadlessErrorPresenter is the error presenter of a client without a
// window system (and of tests): it shows nothing, and keeps the errors that
// would have been shown, the most recent kMaxKept of them, in the order they
// were presented.
//
// Thread safety: every member may be called from any thread; the list is
// guarded by mu_.
#ifndef ZN_COMMONUTILS_KXHEADLESSERRORPRESENTER_H_
#define ZN_COMMONUTILS_KXHEADLESSERRORPRESENTER_H_

#include <cstddef>
#include <deque>
#include <vector>

#include "CommonUtils/KXErrorPresenter.h"
#include "platform/Mutex.h"

class KXHeadlessErrorPresenter : public KXErrorPresenter {
 public:
  static constexpr std::size_t kMaxKept = 100;

  void presentError(const kx::Error& error) override;

  // The kept errors, oldest first.
  std::vector<kx::Error> presentedErrors() const;
  // Whether each presentation ran on the main thread (same order).
  std::vector<bool> presentedOnMainThread() const;
  void clear();

 private:
  mutable kx::Mutex mu_;
  std::deque<kx::Error> errors_ GUARDED_BY(mu_);
  std::deque<bool> onMain_ GUARDED_BY(mu_);
};

#endif  // ZN_COMMONUTILS_KXHEADLESSERRORPRESENTER_H_
