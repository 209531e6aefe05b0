// KXWebUserRequestHandler answers three calls of the web interface without
// the network:
//  - "/qrt/mapi/user?method=get": the stored user's meta under the
//    service's names ("UserMeta"); the answer sets the cross-site token
//    cookie "QOPAL_CSTK" (Set-Cookie on the answer, so the web view keeps it
//    for the service's origin, and in the client's own cookie jar);
//  - "/qrt/api/self?method=get": the stored self info, its "photo" pointed
//    at the local-file origin when the photo has a local icon file; the
//    default self info when none is stored;
//  - "/auth/reset" (any query): the client's own sign-out, through the
//    sign-out hook, answered 200 with an empty body.
// With nobody signed in ("EmptyUser"), and for user meta with no stored
// user, the answer is "{}". An accepted request without a method answers
// -1000.
//
// The sign-out hook is filled by the main menu controller
// (KXMainMenuController::checkSavingBeforeLogout: sign out at once, or after
// a confirmation while the page is saving). Until it is, a sign-out request
// is logged and answered as usual.
//
// metaOfUser and userMetaObject are shared with the push-server handler and
// the script object's refresh.
//
// Thread safety: both request methods may be called from any thread at
// once; the handler keeps no per-request state. The sign-out hook is read
// and replaced under a lock of its own and called outside it.
#ifndef ZN_WEBREQUEST_KXWEBUSERREQUESTHANDLER_H_
#define ZN_WEBREQUEST_KXWEBUSERREQUESTHANDLER_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Data/client/KXDataClient.h"
#include "Data/entities/User.h"
#include "WebRequest/KXDataRequestDelegate.h"
#include "platform/HTTPTransport.h"
#include "platform/Value.h"

class KXWebUserRequestHandler : public KXDataRequestDelegate {
 public:
  static constexpr const char* kEmptyUser = "EmptyUser";
  static constexpr const char* kCrossSiteCookieName = "QOPAL_CSTK";
  static constexpr const char* kCrossSiteCookieValue = "plabVorn";

  // What the handler reads and changes outside itself. Every member has a
  // default for the program (sharedHandler); tests replace them.
  struct Environment {
    // The data client of the signed-in user; null while nobody is.
    std::function<KXDataClient*()> dataClient;
    // The session's current user id ("EmptyUser" when nobody).
    std::function<std::string()> currentUser;
    // The local file of a downloaded icon image address ("" when none).
    std::function<std::string(const std::string& imageURL)> iconImagePath;
    // The application data directory.
    std::function<std::string()> applicationDataDirectory;
    // Stores a cookie in the client's own jar.
    std::function<void(const kx::HTTPTransport::Cookie&)> storeCookie;
    // The service's host (KXServiceHost()).
    std::function<std::string()> serviceHost;
  };

  // The program's handler, over the program's defaults.
  static KXWebUserRequestHandler& sharedHandler();
  explicit KXWebUserRequestHandler(Environment environment);

  // The sign-out hook (null: none).
  static void setSignOutHook(std::function<void()> hook);

  bool acceptRequest(const kx::URLRequest& request) const override;
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override;

  // Every attribute of `user` that has a value, under its local name, read
  // on the client's read queue; nullopt for no user.
  static std::optional<kx::Dictionary> metaOfUser(KXDataClient& client,
                                                  const std::shared_ptr<User>& user);
  // The stored user's meta under the service's names; {} when there is no
  // client or no stored user.
  static kx::Dictionary userMetaObject(KXDataClient* client);
  // The self info answered when none is stored (no user: vip false, empty
  // name and modify time).
  kx::Dictionary defaultSelfInfo(const std::shared_ptr<User>& user) const;

  // The Set-Cookie value of the cross-site token for `serviceHost`.
  static std::string crossSiteCookieHeader(const std::string& serviceHost);

 private:
  void answerSelfInfo(const kx::URL& url, KXDataClient& client, KXDataRequestController& sender);

  const Environment env_;
};

#endif  // ZN_WEBREQUEST_KXWEBUSERREQUESTHANDLER_H_
