// KXAppDelegate runs the program's start-up once the application has
// launched, decides what a quit request means, saves what must survive the
// quit, owns the status item, and relaunches the program after a sign-out.
//
// Start-up, in order: the crash default, crash reporting, spelling
// correction off, the loopback front and router started with the web views
// pointed at them (registerRouting), the session's setEnv and startLogin,
// then the status item "icon_statusbar".
//
// A quit request: unless the session has signed out, the registered windows
// close and, while someone is signed in, the page's pending save is
// confirmed with "退出泽维云笔记" and the store is saved synchronously
// whatever the answer; the kept local-storage keys are then always saved;
// "不退出" cancels. On termination the interface state is saved (signed in),
// the status item goes, and after a sign-out the program is started again.
// Activating the program again shows the main window (signed in) or the
// sign-in (signed out), unless the main window is already key. Closing the
// last window never quits.
//
// Thread safety: main thread only.
#ifndef ZN_SHELL_KXAPPDELEGATE_H_
#define ZN_SHELL_KXAPPDELEGATE_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXUIPort.h"
#include "account/KXSession.h"
#include "ui/KXApplicationPort.h"
#include "ui/KXStatusItemPort.h"

class KXAppDelegate : public KXApplicationDelegate {
 public:
  // What the delegate reaches. Empty functions do nothing (isSavingCurrentFile
  // answers false, mainWindowIsKey answers false).
  struct Hooks {
    std::function<void()> startCrashReporting;
    // Starts the loopback front and the router and points the web views at
    // them.
    std::function<void()> registerRouting;
    // setEnv and startLogin of the session.
    std::function<void()> setEnv;
    std::function<void()> startLogin;
    // The window manager's closeAll.
    std::function<void()> closeAllWindows;
    std::function<bool()> isSavingCurrentFile;
    // The store's synchronous save.
    std::function<void()> performSyncSave;
    // The main window's saveLocalStorage; calls `done` when written.
    std::function<void(std::function<void()> done)> saveLocalStorage;
    // The interface state's save.
    std::function<void()> saveState;
    std::function<bool()> mainWindowIsKey;
    std::function<void()> showMainWindow;
    // Starts the program again (after a sign-out).
    std::function<void()> relaunch;
    // The status menu's entries; default: show main window, quit.
    std::vector<KXStatusItemPort::MenuItem> statusMenu;
  };

  static constexpr const char* kQuitTitle = "退出泽维云笔记";
  static constexpr const char* kQuitMessage = "当前文件有修改的内容未保存，正在保存";
  static constexpr const char* kQuitAnyway = "继续退出";
  static constexpr const char* kDoNotQuit = "不退出";
  static constexpr const char* kStatusImageName = "icon_statusbar";

  KXAppDelegate(KXSession& session, KXApplicationPort& application, KXStatusItemPort& statusItem,
                std::shared_ptr<KXUIPort> alerts, Hooks hooks);
  ~KXAppDelegate() override;
  KXAppDelegate(const KXAppDelegate&) = delete;
  KXAppDelegate& operator=(const KXAppDelegate&) = delete;

  // KXApplicationDelegate.
  void didFinishLaunching() override;
  void shouldTerminate(TerminateReply reply) override;
  void willTerminate() override;
  void reopen() override;
  // Always false: the program keeps running without windows.
  static bool shouldTerminateAfterLastWindowClosed() { return false; }

  bool hasStatusItem() const { return statusItemShown_; }

 private:
  void finishQuitDecision(bool terminate, TerminateReply reply);

  KXSession& session_;
  KXApplicationPort& application_;
  KXStatusItemPort& statusItem_;
  std::shared_ptr<KXUIPort> alerts_;
  Hooks hooks_;
  bool statusItemShown_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

#endif  // ZN_SHELL_KXAPPDELEGATE_H_
