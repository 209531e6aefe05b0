#include "CommonUtils/KXHeadlessUIPort.h"

#include <memory>
#include <utility>

#include "platform/HookTable.h"

void KXHeadlessUIPort::showAlert(const Alert& alert, AlertCompletion completion) {
  std::size_t chosen = 0;
  {
    kx::MutexLock lock(mu_);
    alerts_.push_back(alert);
    if (!answers_.empty()) {
      chosen = answers_.front();
      answers_.pop_front();
    }
  }
  if (chosen >= alert.buttons.size()) chosen = 0;
  if (completion) completion(chosen);
}

void KXHeadlessUIPort::hideMainWindow() {
  kx::MutexLock lock(mu_);
  ++hideRequests_;
}

void KXHeadlessUIPort::quit() {
  kx::MutexLock lock(mu_);
  ++quitRequests_;
}

void KXHeadlessUIPort::queueAnswer(std::size_t chosen) {
  kx::MutexLock lock(mu_);
  answers_.push_back(chosen);
}

std::vector<KXUIPort::Alert> KXHeadlessUIPort::alerts() const {
  kx::MutexLock lock(mu_);
  return alerts_;
}

int KXHeadlessUIPort::hideRequests() const {
  kx::MutexLock lock(mu_);
  return hideRequests_;
}

int KXHeadlessUIPort::quitRequests() const {
  kx::MutexLock lock(mu_);
  return quitRequests_;
}

// KXUIPort's slot lives here, beside the port it falls back to, so that the
// interface's header needs nothing of the headless port.

namespace {

auto& slot() { return kx::hookTableOf<KXUIPort, std::shared_ptr<KXUIPort>>(); }

}  // namespace

void KXUIPort::install(std::shared_ptr<KXUIPort> port) {
  if (!port) port = std::make_shared<KXHeadlessUIPort>();
  slot().install(std::move(port));
}

std::shared_ptr<KXUIPort> KXUIPort::installed() {
  return slot().getOrInstall<0>([] { return std::make_shared<KXHeadlessUIPort>(); });
}
