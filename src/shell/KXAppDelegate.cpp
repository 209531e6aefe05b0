#include "shell/KXAppDelegate.h"

#include <utility>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "platform/UserDefaults.h"
#include "ui/KXMainThread.h"

KXAppDelegate::KXAppDelegate(KXSession& session, KXApplicationPort& application,
                             KXStatusItemPort& statusItem, std::shared_ptr<KXUIPort> alerts,
                             Hooks hooks)
    : session_(session),
      application_(application),
      statusItem_(statusItem),
      alerts_(std::move(alerts)),
      hooks_(std::move(hooks)) {}

KXAppDelegate::~KXAppDelegate() { *alive_ = false; }

void KXAppDelegate::didFinishLaunching() {
  KX_UI_CHECK_MAIN_THREAD("KXAppDelegate::didFinishLaunching");
  kx::UserDefaults& defaults = kx::UserDefaults::standardUserDefaults();
  defaults.registerDefaults(kx::Dictionary{{"NSApplicationCrashOnExceptions", kx::Value(true)}});
  if (hooks_.startCrashReporting) hooks_.startCrashReporting();
  kx::ignoreError(defaults.setBool(false, "WebAutomaticSpellingCorrectionEnabled"));
  if (hooks_.registerRouting) hooks_.registerRouting();
  if (hooks_.setEnv) hooks_.setEnv();
  if (hooks_.startLogin) hooks_.startLogin();

  std::vector<KXStatusItemPort::MenuItem> menu = hooks_.statusMenu;
  if (menu.empty()) {
    menu.push_back({"显示主窗口", [this, alive = alive_] {
                      if (*alive) reopen();
                    }});
    menu.push_back({"退出", [this, alive = alive_] {
                      if (*alive) application_.terminate();
                    }});
  }
  statusItemShown_ = statusItem_.create(kStatusImageName, std::move(menu));
  if (!statusItemShown_) KXLOG("no status item: the desktop offers no place for it");
}

void KXAppDelegate::shouldTerminate(TerminateReply reply) {
  KX_UI_CHECK_MAIN_THREAD("KXAppDelegate::shouldTerminate");
  if (session_.isLogOut()) {
    finishQuitDecision(true, std::move(reply));
    return;
  }
  if (hooks_.closeAllWindows) hooks_.closeAllWindows();
  if (session_.currentUser() == KXHooks::kEmptyUser) {
    finishQuitDecision(true, std::move(reply));
    return;
  }
  if (!hooks_.isSavingCurrentFile || !hooks_.isSavingCurrentFile()) {
    if (hooks_.performSyncSave) hooks_.performSyncSave();
    finishQuitDecision(true, std::move(reply));
    return;
  }
  KXUIPort::Alert alert{kQuitTitle, kQuitMessage, {kQuitAnyway, kDoNotQuit}};
  alerts_->showAlert(alert, [this, alive = alive_, reply = std::move(reply)](std::size_t chosen) {
    if (!*alive) return;
    // The store is saved whatever the answer: nothing unsaved is lost.
    if (hooks_.performSyncSave) hooks_.performSyncSave();
    finishQuitDecision(chosen != 1, reply);
  });
}

void KXAppDelegate::finishQuitDecision(bool terminate, TerminateReply reply) {
  if (!hooks_.saveLocalStorage) {
    reply(terminate);
    return;
  }
  hooks_.saveLocalStorage([terminate, reply = std::move(reply)] { reply(terminate); });
}

void KXAppDelegate::willTerminate() {
  KX_UI_CHECK_MAIN_THREAD("KXAppDelegate::willTerminate");
  if (session_.hasSession() && hooks_.saveState) hooks_.saveState();
  if (statusItemShown_) {
    statusItem_.remove();
    statusItemShown_ = false;
  }
  if (session_.isLogOut() && hooks_.relaunch) hooks_.relaunch();
}

void KXAppDelegate::reopen() {
  KX_UI_CHECK_MAIN_THREAD("KXAppDelegate::reopen");
  KXLOG("activated again");
  if (hooks_.mainWindowIsKey && hooks_.mainWindowIsKey()) return;
  if (session_.isLogin()) {
    if (hooks_.showMainWindow) hooks_.showMainWindow();
  } else if (hooks_.startLogin) {
    hooks_.startLogin();
  }
}
