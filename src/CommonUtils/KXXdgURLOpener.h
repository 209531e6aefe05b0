// KXXdgURLOpener opens links with the desktop's default handler by running
// "xdg-open" with the URL as its one argument (no shell is involved). Only
// web and mail links (http, https, mailto) are handed over: a link that
// leaves a web page must not make the desktop open local files or run
// programs. The child is reaped in the background; failures are logged.
//
// Thread safety: openURL() may be called from any thread.
#ifndef ZN_COMMONUTILS_KXXDGURLOPENER_H_
#define ZN_COMMONUTILS_KXXDGURLOPENER_H_

#include "CommonUtils/KXURLOpener.h"

class KXXdgURLOpener : public KXURLOpener {
 public:
  void openURL(const kx::URL& url) override;

  // Whether the URL's scheme is one that may be handed over.
  static bool isOpenableScheme(const kx::URL& url);
};

#endif  // ZN_COMMONUTILS_KXXDGURLOPENER_H_
