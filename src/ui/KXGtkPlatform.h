// KXGtkPlatform is the desktop the program runs on: GTK 3 for the
// application, windows and alerts, WebKitGTK (API 4.1) for the web views,
// and an Ayatana application indicator for the status item.
//
// The application is unique on the D-Bus session bus: starting the program
// a second time activates the running one (which the shell takes as a
// reopen) and the second process ends. The main queue runs on the GLib loop
// (KXGLibMainQueue).
//
// Web views: every view shares one web context whose data manager keeps
// localStorage and IndexedDB in WebOptions::dataDirectory, its cache in
// cacheDirectory and its cookies in cookieFile (mode 0600). All their
// traffic goes through the proxy WebOptions::proxyURL; the proxy's request
// for credentials is answered with the given user and secret, and a second
// request (a refused secret) is cancelled, so that no dialog ever appears.
// TLS errors stay fatal: only the certificates allowed per host through
// allowCertificate() are trusted beyond the system's.
//
// Thread safety: main thread only (checked), except allowCertificate(),
// which may be called from any thread and returns once the allowance is in
// place.
#ifndef ZN_UI_KXGTKPLATFORM_H_
#define ZN_UI_KXGTKPLATFORM_H_

#include <functional>
#include <memory>
#include <string>

#include "platform/Error.h"
#include "ui/KXUIPlatform.h"

class KXGtkPlatform : public KXUIPlatform {
 public:
  struct WebOptions {
    std::string dataDirectory;
    std::string cacheDirectory;
    std::string cookieFile;
    // "http://127.0.0.1:<port>"; empty: no proxy.
    std::string proxyURL;
    std::string proxyUser;
    std::string proxySecret;
  };

  // `applicationId` names the program on the session bus
  // ("com.zarvel.note"); `iconDirectory` is where the status item's image is
  // drawn.
  KXGtkPlatform(std::string applicationId, std::string iconDirectory);
  ~KXGtkPlatform() override;
  KXGtkPlatform(const KXGtkPlatform&) = delete;
  KXGtkPlatform& operator=(const KXGtkPlatform&) = delete;

  // Whether a display can be opened (DISPLAY or WAYLAND_DISPLAY reachable).
  static bool displayAvailable();

  // Sets the web context up; before the first makeWebWindow().
  [[nodiscard]] bool configureWeb(const WebOptions& options, kx::Error* error);
  // Trusts exactly `certificatePEM` for `host` (any port).
  [[nodiscard]] bool allowCertificate(const std::string& host, const std::string& certificatePEM,
                                      kx::Error* error);

  // Registers the application on the session bus; when another process of
  // the program is running already, activates it and returns true (this
  // process should then end). Without a session bus the program runs
  // without being unique. Call before the program's heavy start.
  bool activateRunningInstance();
  // Removes the web views' cookies of `host` (sign-out); asynchronous.
  void clearCookies(const std::string& host);
  // Runs the application until it terminates; the exit status. In a second
  // process the running one is activated and this returns at once.
  int run(int argc, char** argv);
  // The window alerts are attached to (the key window); default none.
  void setAlertParent(std::function<void*()> parent);
  // What the alert port's hideMainWindow() does.
  void setHideMainWindow(std::function<void()> hide);

  KXApplicationPort& application() override;
  KXStatusItemPort& statusItem() override;
  std::shared_ptr<KXUIPort> alerts() override;
  std::shared_ptr<KXWebWindowPort> makeWebWindow() override;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

#endif  // ZN_UI_KXGTKPLATFORM_H_
