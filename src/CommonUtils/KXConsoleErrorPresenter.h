// KXConsoleErrorPresenter is the error presenter of the program while it has
// no window: each presented error goes to the log and, as one line
// "zarvelnote: <text>", to a stream (standard error unless another is
// given), so that a failure the user should see is not lost.
//
// Thread safety: presentError() may be called from any thread; each line
// is written with one call, under the stream's own lock.
#ifndef ZN_COMMONUTILS_KXCONSOLEERRORPRESENTER_H_
#define ZN_COMMONUTILS_KXCONSOLEERRORPRESENTER_H_

#include <cstdio>

#include "CommonUtils/KXErrorPresenter.h"

class KXConsoleErrorPresenter : public KXErrorPresenter {
 public:
  // `stream` is not owned and must outlive the presenter.
  explicit KXConsoleErrorPresenter(std::FILE* stream = stderr) : stream_(stream) {}

  void presentError(const kx::Error& error) override;

 private:
  std::FILE* const stream_;
};

#endif  // ZN_COMMONUTILS_KXCONSOLEERRORPRESENTER_H_
