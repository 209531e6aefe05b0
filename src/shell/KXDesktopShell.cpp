#include "shell/KXDesktopShell.h"

#include <utility>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "platform/MainQueue.h"
#include "platform/Places.h"
#include "shell/KXRelauncher.h"
#include "shell/KXSessionPostLogin.h"
#include "sync/cycle/KXSyncNotificationNames.h"
#include "ui/KXMainThread.h"

namespace {

constexpr double kRelaunchDelay = 1;

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title +
         "</title></head><body style=\"font-family:sans-serif;margin:3em;color:#333\"><h2>" +
         title + "</h2><p>" + body + "</p></body></html>";
}

}  // namespace

// The continuation's environment: the windows are the shell's, the rest is
// the program's (Services::postLogin).
class KXDesktopShell::PostLogin : public KXPostLoginEnvironment {
 public:
  PostLogin(KXDesktopShell& shell, std::shared_ptr<KXPostLoginEnvironment> inner)
      : shell_(shell),
        inner_(inner ? std::move(inner) : std::make_shared<KXPostLoginEnvironment>()) {}

  void pullPaperBackground(std::function<void()> done) override {
    inner_->pullPaperBackground(std::move(done));
  }
  LocalCopy openLocalCopy() override { return inner_->openLocalCopy(); }
  void showMainWindow() override {
    // The key window (a stand-in page) gives way to the main window.
    if (shell_.firstDownload_) shell_.firstDownload_->orderOut();
    if (shell_.loginPage_) shell_.loginPage_->orderOut();
    shell_.mainWebWindow().showWindow();
    inner_->showMainWindow();
  }
  void checkUpdate() override {
    shell_.mainWebWindow().checkUpdate();
    inner_->checkUpdate();
  }
  void checkEditorUpdate() override {
    shell_.mainWebWindow().checkEditorUpdate();
    inner_->checkEditorUpdate();
  }
  void showFirstDownloadWindow() override {
    if (shell_.loginPage_) shell_.loginPage_->orderOut();
    shell_.showFirstDownload();
    inner_->showFirstDownloadWindow();
  }
  void updateMenu() override { inner_->updateMenu(); }
  void sync() override { inner_->sync(); }
  void performLiveConnect() override { inner_->performLiveConnect(); }
  void pushStaticInfo() override { inner_->pushStaticInfo(); }
  void logout() override { inner_->logout(); }

 private:
  KXDesktopShell& shell_;
  std::shared_ptr<KXPostLoginEnvironment> inner_;
};

KXDesktopShell::KXDesktopShell(KXUIPlatform& platform, KXSession& session, Services services)
    : platform_(platform), session_(session), services_(std::move(services)) {
  postLogin_ = std::make_shared<PostLogin>(*this, services_.postLogin);
  if (!services_.mainWindow.clock) services_.mainWindow.clock = platform_.application().clock();
  if (!services_.relaunch) {
    services_.relaunch = [] {
      std::string self = KXRelauncher::currentExecutable();
      kx::Error error;
      if (self.empty() || !KXRelauncher::launchDetached({self}, kRelaunchDelay, &error)) {
        KXLOG("cannot start the program again: %s", error.localizedDescription().c_str());
      }
    };
  }
  if (!services_.setEnv) {
    services_.setEnv = [this] {
      KXSessionPostLogin::setEnv(session_, kx::Places::applicationDataRoot());
    };
  }
  KXAppDelegate::Hooks hooks;
  hooks.startCrashReporting = services_.startCrashReporting;
  hooks.registerRouting = [this] { registerRouting(); };
  hooks.setEnv = services_.setEnv;
  hooks.startLogin = [this] { startLogin(); };
  hooks.closeAllWindows = services_.closeAllWindows;
  hooks.isSavingCurrentFile = [this] {
    return services_.mainWindow.bridge && services_.mainWindow.bridge->isSavingCurrentFile();
  };
  hooks.performSyncSave = services_.performSyncSave;
  hooks.saveLocalStorage = [this](std::function<void()> done) {
    if (!mainWebWindow_) {
      done();
      return;
    }
    mainWebWindow_->saveLocalStorage(std::move(done));
  };
  hooks.saveState = services_.saveState;
  hooks.mainWindowIsKey = [this] { return mainWebWindow_ && mainWebWindow_->isKey(); };
  hooks.showMainWindow = [this] { mainWebWindow().showWindow(); };
  hooks.relaunch = services_.relaunch;
  delegate_ =
      std::make_unique<KXAppDelegate>(session_, platform_.application(), platform_.statusItem(),
                                      platform_.alerts(), std::move(hooks));
}

KXDesktopShell::~KXDesktopShell() {
  if (watchingSyncEnd_) kx::NotificationCenter::defaultCenter().removeObserver(syncEndToken_);
}

KXMainWebWindow& KXDesktopShell::mainWebWindow() {
  KX_UI_CHECK_MAIN_THREAD("KXDesktopShell::mainWebWindow");
  if (!mainWebWindow_) {
    mainWindowPort_ = platform_.makeWebWindow();
    mainWebWindow_ = std::make_unique<KXMainWebWindow>(mainWindowPort_, services_.mainWindow);
    mainWebWindow_->windowDidLoad();
  }
  return *mainWebWindow_;
}

void KXDesktopShell::registerRouting() {
  if (!services_.startRouting) return;
  kx::Error error;
  routing_ = services_.startRouting(&error);
  if (!routing_) {
    KXLOG("the loopback front did not start: %s", error.localizedDescription().c_str());
    return;
  }
  if (services_.pointWebViewsAt && !services_.pointWebViewsAt(*routing_, &error)) {
    KXLOG("the web views cannot use the loopback front: %s", error.localizedDescription().c_str());
  }
}

void KXDesktopShell::startLogin() {
  KXSessionPostLogin::startLogin(session_, postLogin_, platform_.alerts());
}

void KXDesktopShell::firstOpen() {
  KX_UI_CHECK_MAIN_THREAD("KXDesktopShell::firstOpen");
  if (session_.currentUser() == KXHooks::kEmptyUser &&
      session_.autoLogin() == KXSessionAutoLoginOn) {
    session_.setAutoLogin(KXSessionAutoLoginUndecided);
  }
  if (session_.autoLogin() == KXSessionAutoLoginOn) {
    // A remembered sign-in starts on the local data at once; the sync
    // manager signs in again with the kept token when it needs to.
    if (KXSession::LoginCallback callback = session_.loginCallback()) callback();
    return;
  }
  showLoginUnavailable();
}

void KXDesktopShell::showLoginUnavailable() {
  if (!loginPage_) loginPage_ = platform_.makeWebWindow();
  loginPage_->loadHTML(page("ZarvelNote",
                            "Signing in needs the sign-in window, which this build does not "
                            "have yet. A session remembered from an earlier sign-in with "
                            "automatic login starts the program signed in."),
                       "about:blank");
  loginPage_->present();
}

void KXDesktopShell::showFirstDownload() {
  if (!firstDownload_) firstDownload_ = platform_.makeWebWindow();
  firstDownload_->loadHTML(page("ZarvelNote", "Downloading your notes for the first time&hellip;"),
                           "about:blank");
  firstDownload_->present();
  if (!watchingSyncEnd_) {
    watchingSyncEnd_ = true;
    syncEndToken_ = kx::NotificationCenter::defaultCenter().addObserver(
        kKXSyncEndNotification, nullptr, &kx::MainQueue::shared(),
        [this](const kx::Notification&) { firstDownloadProgressed(); });
  }
  if (services_.sync) services_.sync();
}

void KXDesktopShell::firstDownloadProgressed() {
  if (!firstDownload_ || !firstDownload_->isVisible()) return;
  if (!services_.hasRootEntry || !services_.hasRootEntry()) return;
  postLogin_->showMainWindow();
  postLogin_->updateMenu();
  postLogin_->performLiveConnect();
}
