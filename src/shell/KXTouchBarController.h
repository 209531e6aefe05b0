// KXTouchBarController drives the touch-bar strip of the main window; among
// its items is the current paper background of the open note. There is no
// touch bar until a shell that has one makes the controller
// (makeSharedController): before that sharedController() answers nullptr
// and callers skip it, which is the case on desktops without a touch bar.
//
// Thread safety: every member may be called from any thread; the shared
// controller's pointer is made once under a lock and never freed, and the
// controller's background id is guarded by mu_.
#ifndef ZN_SHELL_KXTOUCHBARCONTROLLER_H_
#define ZN_SHELL_KXTOUCHBARCONTROLLER_H_

#include <string>

#include "platform/Mutex.h"

class KXTouchBarController {
 public:
  // The controller, or nullptr before a shell has made it.
  static KXTouchBarController* sharedController();
  // Makes the controller on the first call; answers it.
  static KXTouchBarController& makeSharedController();

  KXTouchBarController() = default;
  KXTouchBarController(const KXTouchBarController&) = delete;
  KXTouchBarController& operator=(const KXTouchBarController&) = delete;

  // Shows the background image id as the current paper.
  void changeCurrentBgImageId(const std::string& bgImageId);
  // The paper shown, "" before any.
  std::string currentBgImageId() const;

 private:
  mutable kx::Mutex mu_;
  std::string currentBgImageId_ GUARDED_BY(mu_);
};

#endif  // ZN_SHELL_KXTOUCHBARCONTROLLER_H_
