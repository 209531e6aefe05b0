// KXMainWebWindow is the controller of the main window, which hosts the web
// interface. Building it (windowDidLoad) gives the web view its user agent
// and loads a blank page whose address is the service origin; when that has
// loaded, the kept local-storage keys are written back into the origin's
// local storage and only then is the interface ("/web/") loaded, through
// the loopback front like every request of the view. When the interface's
// files are not installed, a short local page says so instead.
//
// It also keeps the registry of open single-note windows, tells the bridge
// when the main window gains or loses key status (asking the page for a
// refresh 0.1 s after the key window changed while single windows are
// open), saves the kept keys into the store's state table before quitting,
// and fetches the update feed.
//
// The kept values go back into the page as JavaScript string literals, so
// a value holding quotes, backslashes, line breaks or "</script>" comes back
// exactly and never runs as script.
//
// Thread safety: main thread only, except checkUpdate()'s fetch, which runs
// on the default global queue. The application object owns the controller.
#ifndef ZN_SHELL_KXMAINWEBWINDOW_H_
#define ZN_SHELL_KXMAINWEBWINDOW_H_

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXDelayClock.h"
#include "platform/URLRequest.h"
#include "platform/Value.h"
#include "shell/KXMainWebBridge.h"
#include "ui/KXWebWindowPort.h"

class KXMainWebWindow : public KXWebWindowDelegate {
 public:
  // What the controller reaches outside the window. Empty members keep the
  // defaults named beside them.
  struct Environment {
    // The store's state table; default: the data client's.
    std::function<kx::Value(const std::string& key)> dbStateValue;
    std::function<void(const kx::Value& value, const std::string& key)> setDbStateValue;
    // Saves the store synchronously; default: the data client's.
    std::function<void()> performSyncSave;
    // Default: a bridge that does nothing.
    std::shared_ptr<KXMainWebBridge> bridge;
    // Default: the system clock.
    std::shared_ptr<KXDelayClock> clock;
    // The folder whose "web/index.html" is the interface; default: the
    // session's currentWebPath, else "UIResources.bundle" in the resources.
    std::function<std::string()> webRoot;
    // Fetches the update feed (body of a 200 answer); default: the shared
    // URL session.
    std::function<std::optional<kx::Bytes>(const kx::URLRequest& request)> fetch;
    // Receives the update feed's body on the fetching queue; default: drops it.
    std::function<void(const kx::Bytes& body)> updateFeed;
    // Editor bundle update and the main menu; default: nothing.
    std::function<void()> checkEditorUpdate;
    std::function<void()> initializeMainMenu;
    // The application's short version; default: the project's.
    std::string shortVersion;
  };

  KXMainWebWindow(std::shared_ptr<KXWebWindowPort> window, Environment environment);
  ~KXMainWebWindow() override;
  KXMainWebWindow(const KXMainWebWindow&) = delete;
  KXMainWebWindow& operator=(const KXMainWebWindow&) = delete;

  // The sixteen keys kept across launches, in the order of saving and
  // restoring.
  static const std::vector<std::string>& localStarageKeys();
  // Always true: the web interface is the program's interface.
  static bool useWebUi() { return true; }
  // "<agent> QopalMacClient/<version>", then " editorV/<editor>" when an
  // editor version is known.
  static std::string userAgent(const std::string& agent, const std::string& shortVersion,
                               const std::optional<std::string>& editorVersion);
  // A JavaScript string literal of `text` (double-quoted, safe inside HTML).
  static std::string javaScriptStringLiteral(const std::string& text);
  // The vertical origin a sheet gets: 63 points lower than proposed.
  static double sheetOriginY(double proposedY) { return proposedY - 63; }
  // The update feed's address.
  static std::string udateUrl();
  // The built-in editor's version: the stored default
  // "editorversionformac", else the "version" of the editor's description
  // in `bundleRoot` (stored under that default); nullopt when neither.
  static std::optional<std::string> getEditorVersion(const std::string& bundleRoot);
  // Registers "WebKitDeveloperExtras" = YES, so that web views built
  // afterwards offer the inspector.
  static void setCanDebug();
  // The page shown when `indexPath` is missing.
  static std::string missingInterfacePage(const std::string& indexPath);

  // Builds the web view and loads the blank page.
  void windowDidLoad();
  // Writes the kept keys' stored values into the page.
  void loadLocalStorage();
  // Reads the kept keys from the page into the state table, saves the store
  // synchronously, then calls `done` (on the main thread). Without a page
  // (before the blank page has loaded) only `done` runs.
  void saveLocalStorage(std::function<void()> done);
  void checkUpdate();
  void checkEditorUpdate();
  // Brings the main window to the front as key.
  void showWindow();
  void orderOut();
  bool isKey() const;

  // Single-note windows by file id.
  void registerSingleWindow(const std::string& fileId, std::shared_ptr<KXWebWindowPort> window);
  void removeSingleWindow(const std::string& fileId);
  std::size_t singleWindowCount() const { return singleWindows_.size(); }

  // The number of the window that last became key among the main window
  // and the single-note windows (which set it when they become key).
  long lastWindowCode() const { return lastWindowCode_; }
  void setLastWindowCode(long code) { lastWindowCode_ = code; }
  KXWebWindowPort& mainWebview() { return *window_; }
  // The interface was loaded after the blank page.
  bool interfaceRequested() const { return interfaceRequested_; }

  // KXWebWindowDelegate.
  void didBecomeKey() override;
  void didResignKey() override;
  void didFinishLoad(const std::string& url) override;

 private:
  std::string indexPath() const;

  std::shared_ptr<KXWebWindowPort> window_;
  Environment env_;
  std::map<std::string, std::shared_ptr<KXWebWindowPort>> singleWindows_;
  long lastWindowCode_ = 0;
  bool blankPageLoaded_ = false;
  bool interfaceRequested_ = false;
  // Cleared when the controller goes, so late script answers do nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

#endif  // ZN_SHELL_KXMAINWEBWINDOW_H_
