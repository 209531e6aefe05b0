// KXPostLoginEnvironment is what the continuation after a sign-in reaches:
// the paper-background pull, the store's completeness, the main window or
// the first-download window, the menus, the sync manager, the usage
// statistics and the sign-out. Methods whose owners are not built yet keep
// a neutral default (the pull reports at once, the others do nothing);
// the application object gives one that reaches the program's objects.
//
// Thread safety: pullPaperBackground may be called on any queue; every
// other method is called on the main thread.
#ifndef ZN_SHELL_KXPOSTLOGINENVIRONMENT_H_
#define ZN_SHELL_KXPOSTLOGINENVIRONMENT_H_

#include <cstddef>
#include <functional>

class KXPostLoginEnvironment {
 public:
  // What the store of the signed-in user holds.
  struct LocalCopy {
    std::size_t notesForContentNotSynced = 0;
    std::size_t emptyResources = 0;
    bool hasRootEntry = false;
  };
  virtual ~KXPostLoginEnvironment() = default;

  // Pulls the paper-background pack; `done` runs once, whatever the outcome.
  virtual void pullPaperBackground(std::function<void()> done) { done(); }
  // Takes the data client (which opens the signed-in user's store) and asks
  // it what it holds.
  virtual LocalCopy openLocalCopy() { return {}; }
  // Orders the key window out and brings the main window forward as key;
  // then the update checks.
  virtual void showMainWindow() {}
  virtual void checkUpdate() {}
  virtual void checkEditorUpdate() {}
  // Orders the key window out, shows the first-download window and starts
  // the download.
  virtual void showFirstDownloadWindow() {}
  virtual void updateMenu() {}
  virtual void sync() {}
  virtual void performLiveConnect() {}
  virtual void pushStaticInfo() {}
  // The menu's sign-out: closes the windows, signs out and quits.
  virtual void logout() {}
};

#endif  // ZN_SHELL_KXPOSTLOGINENVIRONMENT_H_
