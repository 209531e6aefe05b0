// KXApplicationPort is the desktop application as the shell sees it: it runs
// the event loop, tells its delegate when launching has finished, when the
// program is activated again (the user starts it a second time, or picks
// "show" in the status menu), and asks the delegate before it quits.
//
// Quitting: terminate() asks KXApplicationDelegate::shouldTerminate, whose
// reply may come later (after an alert); on "terminate" the delegate hears
// willTerminate() and the loop ends. Closing the last window never quits.
//
// Thread safety: main thread only; implementations check it.
#ifndef ZN_UI_KXAPPLICATIONPORT_H_
#define ZN_UI_KXAPPLICATIONPORT_H_

#include <functional>
#include <memory>

#include "CommonUtils/KXDelayClock.h"

class KXApplicationDelegate {
 public:
  using TerminateReply = std::function<void(bool terminate)>;
  virtual ~KXApplicationDelegate() = default;

  virtual void didFinishLaunching() {}
  // Calls `reply` once, now or later, on the main thread.
  virtual void shouldTerminate(TerminateReply reply) { reply(true); }
  virtual void willTerminate() {}
  // The program was activated again while running.
  virtual void reopen() {}
};

class KXApplicationPort {
 public:
  virtual ~KXApplicationPort() = default;

  // Not owned; set before run().
  virtual void setDelegate(KXApplicationDelegate* delegate) = 0;
  // A quit request (menu, status menu, sign-out).
  virtual void terminate() = 0;
  // The clock of the shell's short delays (a manual one in tests).
  virtual std::shared_ptr<KXDelayClock> clock() = 0;
};

#endif  // ZN_UI_KXAPPLICATIONPORT_H_
