// KXAlertErrorPresenter is the error presenter of the desktop: each error
// is shown as a modal alert with its localised description and one "OK"
// button, through the interface port. Errors that arrive while an alert is
// up wait their turn: several failures in a row are shown one after
// another.
//
// Thread safety: presentError() is called on the main queue (as the
// presenter interface says); the waiting errors are only touched there.
#ifndef ZN_SHELL_KXALERTERRORPRESENTER_H_
#define ZN_SHELL_KXALERTERRORPRESENTER_H_

#include <deque>
#include <memory>

#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXUIPort.h"

class KXAlertErrorPresenter : public KXErrorPresenter,
                              public std::enable_shared_from_this<KXAlertErrorPresenter> {
 public:
  explicit KXAlertErrorPresenter(std::shared_ptr<KXUIPort> port);

  void presentError(const kx::Error& error) override;

 private:
  void showNext();

  std::shared_ptr<KXUIPort> port_;
  std::deque<kx::Error> waiting_;
  bool showing_ = false;
};

#endif  // ZN_SHELL_KXALERTERRORPRESENTER_H_
