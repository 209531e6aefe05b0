// KXSessionEnvironment is what the session asks of the layers above it: the
// login window, the URL protocol, the sync manager and its transfer
// controllers, the data client and the web view. The session sits below all
// of them and must not include their headers; the shell installs an
// environment that forwards to them (KXSession::setEnvironment), and tests
// install one that records the calls.
//
// Every method defaults to doing nothing, which is what happens while the
// owner of a call is not built yet.
//
// Thread safety: methods are called on the session's serial queue or on the
// main queue; implementations move interface work to the main queue
// themselves.
#ifndef ZN_ACCOUNT_KXSESSIONENVIRONMENT_H_
#define ZN_ACCOUNT_KXSESSIONENVIRONMENT_H_

#include <string>

#include "platform/Value.h"

class KXSessionEnvironment {
 public:
  virtual ~KXSessionEnvironment() = default;

  // The login window: open it for a sign-in, show or hide its progress,
  // bring it to the front.
  virtual void firstOpen() {}
  virtual void showOrHideLoginProcessing(bool show) {}
  virtual void showLoginWindow() {}

  // The sign-out's teardown, called in this order: take the URL protocol out
  // of the web view's loading, cancel the sync, empty the push and then the
  // pull transfer controller, close the store.
  virtual void unregisterURLProtocol() {}
  virtual void cancelTaskWhenLogoff() {}
  virtual void clearPushEnvironment() {}
  virtual void clearPullEnvironment() {}
  virtual void closeDB() {}
  // Drops the web view's own cookies for the service host (sign-out).
  virtual void clearWebViewCookies(const std::string& host) {}

  // The data client's usage statistics.
  virtual void addStatisKey(const std::string& key, const kx::Value& value) {}
};

#endif  // ZN_ACCOUNT_KXSESSIONENVIRONMENT_H_
