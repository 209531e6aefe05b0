// kxtest::TestNoteServiceAccountRoutes adds the account service's sign-in
// endpoints to a TestNoteService, with a small account model of their own:
//
//   POST /login/acc/vmo/verify/check   account and digest (form body
//        "username", "password"), optional "vcode" in the query. Success:
//        200 {"userid", "QOPAL-PC"} and the session cookies. Refusals: 400
//        {"ecode"}: 2062 code needed (none sent while one is required),
//        2064 code wrong, 2045 no such account, 2043 wrong password; a
//        refusal set with refuseNextLogin() answers first.
//   GET  /login/acc/vmo/verify/get     a code image (PNG bytes) and the
//        cookie QOPAL_VMO_VERIFY.
//   GET  /login/acc/rp                 {"pc", "pci"} of a new web sign-in.
//   GET  /login/acc/poll               header "pc": 200 {"login": false,
//        "userid": ""} until completeWebLogin(), then {"login": true,
//        "userid", "QOPAL-PC"} and the session cookies; 400 {"ecode": 2100}
//        for an unknown pc.
//   POST /login/acc/login              phone sign-in (tp=cellphone): the
//        cookie BOSK_WF_SESS of a phone account gives {"userid"}, else 200
//        {"errorCode": 2071}.
//   GET  /login/acc/login              Apple sign-in (acc=apple): header
//        "IDToken" and "code" of an Apple account give {"userid"}; a code
//        "silent" gives 200 {}; anything else 400 {"errorCode": 1}.
//   GET  /login/acc/co/cq              header "QOPAL-PC" of a known token:
//        {"login": true, "userid"}; else {"login": false}.
//   GET  /login/acc/se/reset           ends the server session named by the
//        QOPAL_SESS cookie; 200 {}. It does not expire the cookies itself.
//   GET  /login/acc/se/cross/first     with a live QOPAL_SESS: {"pci"}; else
//        401 {"ecode": 2035}.
//
// Session cookies of a sign-in: QOPAL_SESS (host only), QOPAL_PERS (for
// the parent domain, 30 days), QOPAL_LOGIN (host only).
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_TESTS_SUPPORT_TESTNOTESERVICEACCOUNTROUTES_H_
#define ZN_TESTS_SUPPORT_TESTNOTESERVICEACCOUNTROUTES_H_

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "support/TestNoteService.h"

namespace kxtest {

class TestNoteServiceAccountRoutes {
 public:
  static constexpr const char* kVerifyCode = "k7x2";
  static constexpr const char* kTicket = "ticket-7Q";

  // Registers the routes on `service` (which must outlive this object while
  // it answers).
  explicit TestNoteServiceAccountRoutes(TestNoteService& service);

  // An account with the lower-case hex digest the client must send.
  void addAccount(const std::string& user, const std::string& digest);
  void setVerifyCodeRequired(bool required);
  // The next account sign-in answers `status` with this JSON body.
  void refuseNextLogin(int status, const std::string& jsonBody);
  // The pending web sign-in of `pc` finishes as `user`.
  void completeWebLogin(const std::string& pc, const std::string& user);
  // BOSK_WF_SESS value of a phone account, and an Apple code of an account.
  void addPhoneAccount(const std::string& cookieValue, const std::string& user);
  void addAppleAccount(const std::string& code, const std::string& user);

  // The persistent-login token handed to `user` at sign-in.
  static std::string tokenFor(const std::string& user) { return "pc-token-" + user; }
  static std::string sessionFor(const std::string& user) { return "sess-" + user; }
  // Opens a server session for `user` as a sign-in would; returns the
  // QOPAL_SESS value that names it.
  std::string startSession(const std::string& user);
  // Server sessions still open.
  std::set<std::string> liveSessions() const;
  std::string lastPc() const;

 private:
  Reply signedIn(const std::string& user, bool withToken);
  Reply verifyCheck(const RecordedRequest& request);
  Reply poll(const RecordedRequest& request);
  Reply login(const RecordedRequest& request);

  mutable std::mutex mu_;
  std::map<std::string, std::string> accounts_;       // guarded by mu_; user → digest
  bool verifyRequired_ = false;                       // guarded by mu_
  int refusalStatus_ = 0;                             // guarded by mu_
  std::string refusalBody_;                           // guarded by mu_
  std::map<std::string, std::string> webLogins_;      // guarded by mu_; pc → user ("" pending)
  std::map<std::string, std::string> phoneAccounts_;  // guarded by mu_
  std::map<std::string, std::string> appleAccounts_;  // guarded by mu_
  std::set<std::string> liveSessions_;                // guarded by mu_
  int counter_ = 0;                                   // guarded by mu_
  std::string lastPc_;                                // guarded by mu_
};

// The value of the cookie `name` in the request's Cookie header; "" when
// absent.
std::string requestCookie(const RecordedRequest& request, const std::string& name);

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTNOTESERVICEACCOUNTROUTES_H_
