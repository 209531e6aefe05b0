// KXSessionAuthDelegate hears the session's sign-in results: the login
// window, the sign-in window or the main menu, whichever runs a sign-in.
// Every method defaults to doing nothing.
//
// The session sends didSessionAuthFail, didGetOAuthURL, didCheckLoginFail,
// didLocalLoginSuccess, didLocalLoginFail, didMobileLoginFail,
// didAppleLoginFail and verifyCodeWithImage; the others are there for the
// windows' own use. didSessionAuthFail's error is the transport's failure,
// or a status failure of kKXErrorDomain whose user info holds the service's
// parsed answer under "answer"; it is empty when a sign-in could not even
// be asked for (an Apple sign-in without code or token).
//
// Thread safety: messages arrive on the session's serial queue, never on the
// transport thread; a window moves its work to the main queue itself.
#ifndef ZN_ACCOUNT_KXSESSIONAUTHDELEGATE_H_
#define ZN_ACCOUNT_KXSESSIONAUTHDELEGATE_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

class KXSessionAuthDelegate {
 public:
  virtual ~KXSessionAuthDelegate() = default;

  virtual void didSessionAuthSuccess() {}
  virtual void didSessionAuthFail(const kx::Error& error) {}
  virtual void didSessionAutoAuthFail(const kx::Error& error) {}
  virtual void didSessionAutoAuthSuccess() {}
  virtual void didSessionAuth3rdSuccess() {}
  virtual void didSessionAuth3rdFail(const kx::Error& error) {}
  virtual void didGetOAuthURL(const std::string& url) {}
  virtual void didCheckLoginSuccess() {}
  virtual void didCheckLoginFail() {}
  virtual void didSyncUserMetaSuccess() {}
  virtual void didSyncUserMetaFail() {}
  virtual void didLogoutSuccess(const kx::Value& info) {}
  virtual void didLogoutFail(const kx::Error& error) {}
  virtual void didLocalLoginSuccess() {}
  virtual void didLocalLoginFail(const std::string& message) {}
  virtual void didCheckCookieFail() {}
  virtual void didMobileLoginFail(std::int64_t code) {}
  virtual void didAppleLoginFail() {}
  // The image bytes of a verification code as the service sent them;
  // nullopt when none came.
  virtual void verifyCodeWithImage(const std::optional<kx::Bytes>& image) {}
};

#endif  // ZN_ACCOUNT_KXSESSIONAUTHDELEGATE_H_
