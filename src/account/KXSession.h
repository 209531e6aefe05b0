// KXSession is the process-wide login state: which user is signed in, how
// (the login type), and which user's store the data context has opened. The
// sign-in flows, the session files and the cookies grow on this class; what
// it holds so far is what the note store and the foundation utilities ask
// of it.
//
// The current user id names the per-user data directory, the store that is
// opened and the "username=" of pages opened signed in. When no user id is
// set, or an empty one, the session answers "EmptyUser" (the anonymous
// user), never an empty text.
//
// Creating the shared session installs the current-user hook of the
// foundation layer (KXHooks), so that code below this layer asks the session
// who is signed in.
//
// Thread safety: every member may be called from any thread; the fields are
// guarded by mu_.
#ifndef ZN_ACCOUNT_KXSESSION_H_
#define ZN_ACCOUNT_KXSESSION_H_

#include <cstdint>
#include <mutex>
#include <string>

// The kinds of sign-in; every value not listed reads as KXLoginTypeAccount.
enum KXLoginType : std::uint64_t {
  KXLoginTypeAccount = 1,  // account and password
  KXLoginTypeSinaWeibo = 2,
  KXLoginTypeQQ = 3,
  KXLoginTypeQQWeibo = 4,
  KXLoginTypeWeChat = 5,
  KXLoginTypeHuawei = 6,
  KXLoginTypeEnterprise = 7,
  KXLoginTypeDingTalk = 8,
  KXLoginTypeMobile = 9,
  KXLoginTypeApple = 10,
};

class KXSession {
 public:
  // The one session of the process, created on the first call and never
  // freed.
  static KXSession& defaultSession();

  KXSession(const KXSession&) = delete;
  KXSession& operator=(const KXSession&) = delete;

  // The signed-in user's id, or "EmptyUser" when none (or an empty one) is
  // set.
  std::string currentUser() const;
  void setCurrentUser(std::string userId);

  // The kind of the current sign-in; KXLoginTypeAccount for every value that
  // names no known kind (including "none set yet").
  std::uint64_t loginType() const;
  void setLoginType(std::uint64_t loginType);

  // The user id whose store the data context has opened ("" until one is).
  std::string dbUserId() const;
  void setDbUserId(std::string userId);

  // The folder of a downloaded web interface that local-file requests are
  // answered from; "" (none: the shipped files are used) until a downloaded
  // interface is kept.
  std::string currentWebPath() const;

 private:
  KXSession() = default;

  mutable std::mutex mu_;
  std::string currentUser_;     // guarded by mu_
  std::uint64_t loginType_ = 0;  // guarded by mu_
  std::string dbUserId_;        // guarded by mu_
  std::string currentWebPath_;  // guarded by mu_
};

#endif  // ZN_ACCOUNT_KXSESSION_H_
