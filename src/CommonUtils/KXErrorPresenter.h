// KXErrorPresenter is the interface through which errors reach the user.
// KXPresentError hands each error to the installed presenter on the main
// queue; the desktop shell installs one that shows the standard alert.
// Until one is installed, a KXHeadlessErrorPresenter stands in: it shows
// nothing and keeps what would have been shown.
//
// Thread safety: presentError() is only ever called on the main queue.
// install() and installed() may be called from any thread.
#ifndef ZN_COMMONUTILS_KXERRORPRESENTER_H_
#define ZN_COMMONUTILS_KXERRORPRESENTER_H_

#include <memory>

#include "platform/Error.h"

class KXErrorPresenter {
 public:
  virtual ~KXErrorPresenter() = default;

  // Shows the error (its localised description is the text). Called on the
  // main queue.
  virtual void presentError(const kx::Error& error) = 0;

  // Makes `presenter` the one that KXPresentError uses; nullptr puts a fresh
  // headless presenter back. Errors already queued on the main queue go to
  // the presenter installed when they run.
  static void install(std::shared_ptr<KXErrorPresenter> presenter);
  // The presenter in use (a headless one when none was installed).
  static std::shared_ptr<KXErrorPresenter> installed();
};

#endif  // ZN_COMMONUTILS_KXERRORPRESENTER_H_
