// KXDesktopShell is the desktop program's interface: the application
// delegate, the main web window and the stand-in windows, reaching the rest
// of the program through Services. When a display is there the application
// object (KXApplication::run) makes one over the GTK platform with its own
// services and owns it; the shell's tests make one over the headless
// platform.
//
// Nothing here installs itself: the platform's application calls the
// delegate, and the application object's session mediator forwards the
// sign-in's opening to firstOpen().
//
// Stand-ins until their windows are built: the sign-in (firstOpen) starts a
// remembered automatic sign-in at once and otherwise shows a page saying
// that signing in needs the sign-in window; the first-download window is a
// page with a progress line that starts a sync and gives way to the main
// window once the store has its root entry.
//
// Thread safety: main thread only.
#ifndef ZN_SHELL_KXDESKTOPSHELL_H_
#define ZN_SHELL_KXDESKTOPSHELL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/KXSession.h"
#include "platform/NotificationCenter.h"
#include "shell/KXAppDelegate.h"
#include "shell/KXMainWebBridge.h"
#include "shell/KXMainWebWindow.h"
#include "shell/KXPostLoginEnvironment.h"
#include "ui/KXUIPlatform.h"

class KXDesktopShell {
 public:
  // What the loopback front gives the web views.
  struct Routing {
    std::uint16_t port = 0;
    std::string username;
    std::string secret;
    // Hosts whose leaf certificates the web views trust from the start.
    std::vector<std::string> hosts;
    std::function<std::string(const std::string& host, kx::Error* error)> leafCertificatePEM;
  };

  // What the program gives the shell. Empty members do nothing, except
  // where a default is named.
  struct Services {
    // Starts the router and the loopback front (the URL protocol's handlers
    // registered); nullopt with *error when it cannot.
    std::function<std::optional<Routing>(kx::Error* error)> startRouting;
    // Points the web views at the front (the GTK platform's configureWeb and
    // allowCertificate); false with *error when it cannot.
    std::function<bool(const Routing& routing, kx::Error* error)> pointWebViewsAt;
    // What the continuation after a sign-in reaches.
    std::shared_ptr<KXPostLoginEnvironment> postLogin;
    // The main window's store, bridge and clock (KXMainWebWindow's defaults
    // when empty).
    KXMainWebWindow::Environment mainWindow;
    // The session's setEnv; default: KXSessionPostLogin::setEnv over the
    // application data folder.
    std::function<void()> setEnv;
    std::function<void()> closeAllWindows;
    std::function<void()> performSyncSave;
    std::function<void()> saveState;
    std::function<void()> startCrashReporting;
    // Starts the program again; default: the running program's own path,
    // one second later.
    std::function<void()> relaunch;
    // Starts a sync (the first-download stand-in).
    std::function<void()> sync;
    // Whether the signed-in user's store has its root entry.
    std::function<bool()> hasRootEntry;
  };

  KXDesktopShell(KXUIPlatform& platform, KXSession& session, Services services);
  ~KXDesktopShell();
  KXDesktopShell(const KXDesktopShell&) = delete;
  KXDesktopShell& operator=(const KXDesktopShell&) = delete;

  KXAppDelegate& delegate() { return *delegate_; }
  // Made, hidden, on first use.
  KXMainWebWindow& mainWebWindow();
  bool hasMainWebWindow() const { return mainWebWindow_ != nullptr; }

  // The session's environment forwards the sign-in window's opening here.
  void firstOpen();
  // Hands the session the continuation and opens the sign-in.
  void startLogin();
  // The post-login environment the continuation uses (Services::postLogin
  // wrapped with the windows).
  std::shared_ptr<KXPostLoginEnvironment> postLoginEnvironment() { return postLogin_; }
  // The stand-in first-download window, when shown.
  KXWebWindowPort* firstDownloadWindow() { return firstDownload_.get(); }

  // The routing the shell started (after launch).
  const std::optional<Routing>& routing() const { return routing_; }

 private:
  class PostLogin;

  void registerRouting();
  void showFirstDownload();
  void firstDownloadProgressed();
  void showLoginUnavailable();

  KXUIPlatform& platform_;
  KXSession& session_;
  Services services_;
  std::shared_ptr<KXPostLoginEnvironment> postLogin_;
  std::unique_ptr<KXAppDelegate> delegate_;
  std::shared_ptr<KXWebWindowPort> mainWindowPort_;
  std::unique_ptr<KXMainWebWindow> mainWebWindow_;
  std::shared_ptr<KXWebWindowPort> firstDownload_;
  std::shared_ptr<KXWebWindowPort> loginPage_;
  kx::NotificationCenter::Token syncEndToken_{};
  bool watchingSyncEnd_ = false;
  std::optional<Routing> routing_;
};

#endif  // ZN_SHELL_KXDESKTOPSHELL_H_
