// KXMainWebBridge is what the main window asks of the script bridge: that
// the page hears when a window gains or loses key status, a refresh of the
// page, and whether the page is still saving the open file. Until the
// bridge is built the shell uses this class itself, which does nothing and
// reports no save in progress.
//
// Thread safety: called on the main thread.
#ifndef ZN_SHELL_KXMAINWEBBRIDGE_H_
#define ZN_SHELL_KXMAINWEBBRIDGE_H_

class KXMainWebBridge {
 public:
  virtual ~KXMainWebBridge() = default;
  virtual void becomeKeyWindow(long windowNumber) {}
  virtual void loseKeyWindow(long windowNumber) {}
  virtual void callRefresh() {}
  virtual bool isSavingCurrentFile() { return false; }
};

#endif  // ZN_SHELL_KXMAINWEBBRIDGE_H_
