// KXURLOpener is the interface through which links leave the client for the
// user's default handler (the browser for web pages). The program installs a
// KXXdgURLOpener; tests install a recorder. With none installed, nothing is
// opened.
//
// Thread safety: openURL() may be called from any thread, so implementations
// must allow that. install() and installed() may be called from any thread.
#ifndef ZN_COMMONUTILS_KXURLOPENER_H_
#define ZN_COMMONUTILS_KXURLOPENER_H_

#include <memory>

#include "platform/URL.h"

class KXURLOpener {
 public:
  virtual ~KXURLOpener() = default;

  virtual void openURL(const kx::URL& url) = 0;

  // Makes `opener` the one in use; nullptr removes it.
  static void install(std::shared_ptr<KXURLOpener> opener);
  // The opener in use, or nullptr.
  static std::shared_ptr<KXURLOpener> installed();
};

#endif  // ZN_COMMONUTILS_KXURLOPENER_H_
