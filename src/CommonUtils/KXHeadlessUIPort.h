// KXHeadlessUIPort is the user-interface port of a client without a window
// system, and of tests: it shows nothing. An alert is answered at once with
// the next scripted answer (queueAnswer), or with its default button when no
// answer is scripted; an answer past the alert's last button is taken as the
// default. Alerts, hide requests and quit requests are recorded.
//
// Thread safety: every member may be called from any thread; the script and
// the records are guarded by mu_. Completions run on the calling thread,
// outside the lock.
#ifndef ZN_COMMONUTILS_KXHEADLESSUIPORT_H_
#define ZN_COMMONUTILS_KXHEADLESSUIPORT_H_

#include <cstddef>
#include <deque>
#include <vector>

#include "CommonUtils/KXUIPort.h"
#include "platform/Mutex.h"

class KXHeadlessUIPort : public KXUIPort {
 public:
  void showAlert(const Alert& alert, AlertCompletion completion) override;
  void hideMainWindow() override;
  void quit() override;

  // The answer for the next alert that has no earlier scripted answer.
  void queueAnswer(std::size_t chosen);

  // The alerts shown, oldest first.
  std::vector<Alert> alerts() const;
  int hideRequests() const;
  int quitRequests() const;

 private:
  mutable kx::Mutex mu_;
  std::deque<std::size_t> answers_ GUARDED_BY(mu_);
  std::vector<Alert> alerts_ GUARDED_BY(mu_);
  int hideRequests_ GUARDED_BY(mu_) = 0;
  int quitRequests_ GUARDED_BY(mu_) = 0;
};

#endif  // ZN_COMMONUTILS_KXHEADLESSUIPORT_H_
