#include "shell/KXAlertErrorPresenter.h"

#include <utility>

KXAlertErrorPresenter::KXAlertErrorPresenter(std::shared_ptr<KXUIPort> port)
    : port_(std::move(port)) {}

void KXAlertErrorPresenter::presentError(const kx::Error& error) {
  waiting_.push_back(error);
  if (!showing_) showNext();
}

void KXAlertErrorPresenter::showNext() {
  if (waiting_.empty()) {
    showing_ = false;
    return;
  }
  showing_ = true;
  kx::Error error = std::move(waiting_.front());
  waiting_.pop_front();
  KXUIPort::Alert alert{error.localizedDescription(), "", {"OK"}};
  std::weak_ptr<KXAlertErrorPresenter> weak = weak_from_this();
  port_->showAlert(alert, [weak](std::size_t) {
    if (std::shared_ptr<KXAlertErrorPresenter> self = weak.lock()) self->showNext();
  });
}
