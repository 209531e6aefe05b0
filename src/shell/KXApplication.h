// KXApplication is the program: the one object that makes the client's
// long-lived objects in dependency order, wires every subsystem to its real
// collaborators, and starts and stops them. Everything a lower layer asks of
// a higher one goes through a mediator of this object (one per subsystem:
// the session's, the sync manager's, the sync cycle's, the user meta's, the
// URL protocol's) or through a hook it installs, each exactly once, here.
// Nothing else in the program installs hooks or environments.
//
// start() order: foundation hooks (session, cross-domain request, file
// manager) → error presenter, user-interface port, URL opener → application
// data folder → session (environment, files, login callback) → the user's
// data folder and the log → the store's hooks up to sync and shell → data
// client (opens the store and converts it) → sync manager (installed as the
// default manager; the store's sync requests reach it) → URL protocol's
// handlers and environment → loopback front (optional) → sleep and wake →
// the clean-up of stale temporaries → the wiring check. A seam left
// unfilled makes start() fail with an error naming it.
//
// The desktop (KXDesktopShell: windows, status item, the continuation after
// a sign-in) is made by run() when a display is there and owned from then
// on. Pieces still to come (the menu controller, the first-download window,
// the long-poll connection) are reached through the mediators' neutral
// members; docs/ARCHITECTURE.md lists each seam and what fills it.
//
// Thread safety: start() and stop() are called on the main thread, once
// each; the accessors may be called from any thread after start() answered
// true. current() is the running application (set by start(), cleared by
// stop()).
#ifndef ZN_SHELL_KXAPPLICATION_H_
#define ZN_SHELL_KXAPPLICATION_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXUIPort.h"
#include "platform/Error.h"

class KXDataClient;
class KXDesktopShell;
class KXLogindSleepMonitor;
class KXLoopbackFront;
class KXSession;
class KXSyncManager;
class KXSyncManagerEnvironment;
class KXSyncCycleEnvironment;
class KXSyncUserMetaEnvironment;
class KXSessionEnvironment;

class KXApplication {
 public:
  struct Options {
    // The user-interface port and error presenter; headless and console
    // ones when null (a run without a display; the desktop installs its own).
    std::shared_ptr<KXUIPort> ui;
    std::shared_ptr<KXErrorPresenter> errorPresenter;
    // Starts the loopback front through which the web views reach the
    // service origin.
    bool startLoopbackFront = false;
    // Watches logind's sleep signal on the system bus ("" ) or on the bus
    // at this address (tests).
    bool watchSleep = true;
    std::string sleepBusAddress;
    // The desktop's: the sign-in window's opening and the web views'
    // cookies of a host (sign-out). Nothing happens when empty.
    std::function<void()> firstOpen;
    std::function<void(const std::string& host)> clearWebViewCookies;
    // Asked before the front answers a CONNECT to an intercepted name it has
    // no leaf for: whether the web views trust the new leaf for that host
    // (the desktop allows it in the web context); null: allowed.
    std::function<void(const std::string& host, const std::string& leafPEM,
                       std::function<void(bool allowed)> done)>
        allowLeaf;
  };

  explicit KXApplication(Options options);
  KXApplication();
  // Stops what start() started.
  ~KXApplication();
  KXApplication(const KXApplication&) = delete;
  KXApplication& operator=(const KXApplication&) = delete;

  // The running application; nullptr before start() and after stop().
  static KXApplication* current();

  // Wires and starts the program; false with *error filled when a step or
  // the wiring check failed (nothing is left half-started that stop() does
  // not take down).
  [[nodiscard]] bool start(kx::Error* error);
  // Cancels the syncs, stops the front and the sleep watch, waits for the
  // stale-temporaries clean-up, and flushes the log.
  void stop();

  KXSession& session();
  KXDataClient& dataClient();
  KXSyncManager& syncManager();
  // Null unless the front was asked for and started.
  KXLoopbackFront* loopbackFront();

  // The post-login continuation: a sync, the long-poll connection and the
  // usage statistics upload. The session calls it after every successful
  // sign-in.
  void didLogin();
  // The main menu's sign-out: the session signs out (the service is told,
  // the session, cookies, syncs, transfers and store are taken down); then
  // `afterLogout` (the relaunch, once the desktop exists).
  void respondsToLogout();
  // Called before start().
  void setAfterLogout(std::function<void()> afterLogout);

  // The names of the seams start() found unfilled; empty when the wiring is
  // complete. start() fails when this is not empty.
  std::vector<std::string> unfilledSeams() const;

  // The desktop (its delegate, main window and stand-ins), owned from here
  // on; it goes first in stop(). Null until one is set.
  void setDesktop(std::unique_ptr<KXDesktopShell> desktop);
  KXDesktopShell* desktop();

  // The program. With a display it runs on the desktop until the user
  // quits: the GTK platform (a second start only activates the running
  // program and ends), the application with the desktop's alerts, error
  // presenter and loopback front, and a desktop shell it owns. Without one
  // it starts, waits for the stale-temporaries clean-up and stops. Returns
  // the process's exit status.
  static int run(int argc, char** argv);

 private:
  class SessionMediator;
  class SyncManagerMediator;
  static int runOnDesktop(int argc, char** argv);
  class SyncCycleMediator;
  class UserMetaMediator;

  const Options options_;
  bool started_ = false;
  bool cleanupStarted_ = false;
  std::shared_ptr<SessionMediator> sessionMediator_;
  std::shared_ptr<SyncManagerMediator> syncManagerMediator_;
  std::shared_ptr<SyncCycleMediator> syncCycleMediator_;
  std::shared_ptr<UserMetaMediator> userMetaMediator_;
  std::unique_ptr<KXSyncManager> syncManager_;
  std::unique_ptr<KXLoopbackFront> front_;
  std::unique_ptr<KXLogindSleepMonitor> sleepMonitor_;
  std::shared_ptr<struct KXApplicationCleanup> cleanup_;
  std::function<void()> afterLogout_;
  std::unique_ptr<KXDesktopShell> desktop_;
};

#endif  // ZN_SHELL_KXAPPLICATION_H_
