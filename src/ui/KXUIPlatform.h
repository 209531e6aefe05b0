// KXUIPlatform makes and holds the interface ports of one desktop: the
// application, the status item, the alerts (KXUIPort) and the web windows.
// KXGtkPlatform is the one the program runs on; KXHeadlessPlatform shows
// nothing and is what the shell's tests drive.
//
// Thread safety: main thread only.
#ifndef ZN_UI_KXUIPLATFORM_H_
#define ZN_UI_KXUIPLATFORM_H_

#include <memory>

#include "CommonUtils/KXUIPort.h"
#include "ui/KXApplicationPort.h"
#include "ui/KXStatusItemPort.h"
#include "ui/KXWebWindowPort.h"

class KXUIPlatform {
 public:
  virtual ~KXUIPlatform() = default;

  virtual KXApplicationPort& application() = 0;
  virtual KXStatusItemPort& statusItem() = 0;
  virtual std::shared_ptr<KXUIPort> alerts() = 0;
  // A new hidden window with its web view.
  virtual std::shared_ptr<KXWebWindowPort> makeWebWindow() = 0;
};

#endif  // ZN_UI_KXUIPLATFORM_H_
