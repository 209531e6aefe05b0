#include "ui/KXHeadlessPlatform.h"

#include <utility>

#include "platform/MainQueue.h"
#include "ui/KXMainThread.h"

// ---------------------------------------------------------------------------
// Application

KXHeadlessApplication::KXHeadlessApplication(std::shared_ptr<KXDelayClock> clock)
    : clock_(std::move(clock)) {}

void KXHeadlessApplication::setDelegate(KXApplicationDelegate* delegate) {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessApplication::setDelegate");
  delegate_ = delegate;
}

void KXHeadlessApplication::launch() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessApplication::launch");
  if (delegate_) delegate_->didFinishLaunching();
}

void KXHeadlessApplication::activateAgain() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessApplication::activateAgain");
  if (delegate_) delegate_->reopen();
}

void KXHeadlessApplication::terminate() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessApplication::terminate");
  ++terminateRequests_;
  if (!delegate_) {
    terminated_ = true;
    return;
  }
  delegate_->shouldTerminate([this](bool terminate) {
    KX_UI_CHECK_MAIN_THREAD("KXApplicationDelegate::shouldTerminate reply");
    if (!terminate || terminated_) return;
    terminated_ = true;
    if (delegate_) delegate_->willTerminate();
  });
}

// ---------------------------------------------------------------------------
// Status item

bool KXHeadlessStatusItem::create(const std::string& imageName, std::vector<MenuItem> menu) {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessStatusItem::create");
  if (!available_) return false;
  shown_ = true;
  imageName_ = imageName;
  menu_ = std::move(menu);
  return true;
}

void KXHeadlessStatusItem::remove() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessStatusItem::remove");
  shown_ = false;
}

// ---------------------------------------------------------------------------
// Web window

KXHeadlessWebWindow::KXHeadlessWebWindow(long number) : number_(number) {}

void KXHeadlessWebWindow::setDelegate(KXWebWindowDelegate* delegate) {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::setDelegate");
  delegate_ = delegate;
}

void KXHeadlessWebWindow::present() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::present");
  ++presentCount_;
  visible_ = true;
  becomeKey();
}

void KXHeadlessWebWindow::becomeKey() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::becomeKey");
  if (key_) return;
  key_ = true;
  if (delegate_) delegate_->didBecomeKey();
}

void KXHeadlessWebWindow::resignKey() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::resignKey");
  if (!key_) return;
  key_ = false;
  if (delegate_) delegate_->didResignKey();
}

void KXHeadlessWebWindow::orderOut() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::orderOut");
  resignKey();
  visible_ = false;
}

bool KXHeadlessWebWindow::isKey() const {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::isKey");
  return key_;
}

bool KXHeadlessWebWindow::isVisible() const {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::isVisible");
  return visible_;
}

std::string KXHeadlessWebWindow::defaultUserAgent() const {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::defaultUserAgent");
  return "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko)";
}

void KXHeadlessWebWindow::setCustomUserAgent(const std::string& userAgent) {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::setCustomUserAgent");
  customUserAgent_ = userAgent;
}

void KXHeadlessWebWindow::setDeveloperExtras(bool enabled) {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::setDeveloperExtras");
  developerExtras_ = enabled;
}

void KXHeadlessWebWindow::loadHTML(const std::string& html, const std::string& baseURL) {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::loadHTML");
  loads_.push_back(Load{baseURL, html});
}

void KXHeadlessWebWindow::loadURL(const std::string& url) {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::loadURL");
  loads_.push_back(Load{url, ""});
}

void KXHeadlessWebWindow::evaluateScript(const std::string& script, ScriptCompletion completion) {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::evaluateScript");
  scripts_.push_back(script);
  std::optional<std::string> result = responder_ ? responder_(script) : std::nullopt;
  if (!completion) return;
  kx::MainQueue::shared().async(
      [completion = std::move(completion), result = std::move(result)] { completion(result); });
}

void KXHeadlessWebWindow::finishLoad() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessWebWindow::finishLoad");
  if (delegate_ && !loads_.empty()) delegate_->didFinishLoad(loads_.back().url);
}

// ---------------------------------------------------------------------------
// Platform

KXHeadlessPlatform::KXHeadlessPlatform(std::shared_ptr<KXDelayClock> clock)
    : application_(std::move(clock)) {}

std::shared_ptr<KXWebWindowPort> KXHeadlessPlatform::makeWebWindow() {
  KX_UI_CHECK_MAIN_THREAD("KXHeadlessPlatform::makeWebWindow");
  auto window = std::make_shared<KXHeadlessWebWindow>(static_cast<long>(windows_.size()) + 1);
  windows_.push_back(window);
  return window;
}
