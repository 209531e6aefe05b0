// KXShellStateHooks is how the note store asks the desktop shell about the
// main window: which entry the main page has open (the state holder's
// current file id), and to show a background image as the current paper in
// the touch bar. The store sits below the shell and must not include its
// headers, so both are functions that the shell installs at start
// (src/shell/main.cpp).
//
// Without installed functions there is no main window: currentFileId()
// answers nullopt and changeCurrentBgImageId() does nothing.
//
// Thread safety: every member may be called from any thread. The installed
// functions are guarded by an internal mutex, copied out and called without
// it.
#ifndef ZN_DATA_KXSHELLSTATEHOOKS_H_
#define ZN_DATA_KXSHELLSTATEHOOKS_H_

#include <functional>
#include <optional>
#include <string>

class KXShellStateHooks {
 public:
  using CurrentFileId = std::function<std::optional<std::string>()>;
  using ChangeCurrentBgImageId = std::function<void(const std::string& bgImageId)>;

  KXShellStateHooks() = delete;

  static void install(CurrentFileId currentFileId, ChangeCurrentBgImageId changeCurrentBgImageId);
  // Whether the shell has installed its functions.
  static bool isInstalled();

  // The file id of the entry open in the main page, or nullopt.
  static std::optional<std::string> currentFileId();
  // Shows the background image id as the current paper in the touch bar,
  // when the shell has one.
  static void changeCurrentBgImageId(const std::string& bgImageId);

  // Removes the installed functions.
  static void resetForTesting();
};

#endif  // ZN_DATA_KXSHELLSTATEHOOKS_H_
