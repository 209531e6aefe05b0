// KXSession is the process-wide login state: who is signed in, how (the
// login type), with which persistent-login token, and whether the next start
// may sign in by itself. It runs every sign-in request against the note
// service, keeps the session files in the application data folder, keeps the
// service's cookies in the transport's one jar (kept in a file beside them),
// and tears the signed-in state down at sign-out.
//
// Sign-in kinds: account and password with an optional verification code
// (login, doLogin, getVerifyCode), the service's web sign-in (requestForPci
// gives the page's address, loginPoll waits for the page to finish),
// phone (mobileLogin), Apple account (appleLoginCode), the persistent-login
// check (checkLogin, autoLoginWithBlock) and the offline check against the
// stored password digest (localLogin). Results go to the auth delegate and,
// after a successful sign-in, to the login callback.
//
// The current user id names the per-user data directory, the store that is
// opened and the "username=" of pages opened signed in. When no user id is
// set, or an empty one, the session answers "EmptyUser" (the anonymous
// user), never an empty text.
//
// Files in the application data folder (appDataDir): "sess.dat" (the last
// session) and "<user>/user.dat" (user and enciphered digest of an account
// sign-in), property lists written atomically with mode 0600, since the
// digest stands for the password; "statistic.dat" (where the first sign-in
// came from); "cookies.dat" (the cookie jar, KXCookieJarFile).
//
// What the session asks of the layers above it (the login window, the
// sign-out's teardown, the usage statistics) goes through the installed
// KXSessionEnvironment. Creating the shared session installs the
// current-user hook of the foundation layer (KXHooks).
//
// Thread safety: every member may be called from any thread; the fields are
// one struct behind one lock (kx::Guarded). Answers of the service, delegate messages, the login
// callback and the logout block run on the session's serial queue
// ("com.zarvel.note.queue.session"), never on the transport thread; the
// poll's and the verification code's retries are armed on the delay clock
// for the main queue. The delegate and the environment are called without
// the lock held.
#ifndef ZN_ACCOUNT_KXSESSION_H_
#define ZN_ACCOUNT_KXSESSION_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "CommonUtils/KXDelayClock.h"
#include "account/KXCookieJarFile.h"
#include "account/KXSessionAuthDelegate.h"
#include "account/KXSessionEnvironment.h"
#include "platform/Error.h"
#include "platform/Guarded.h"
#include "platform/HTTPTransport.h"
#include "platform/SerialQueue.h"
#include "platform/URLRequest.h"
#include "platform/Value.h"

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

// Values of autoLogin().
enum KXSessionAutoLogin : std::uint64_t {
  KXSessionAutoLoginUndecided = 0,
  KXSessionAutoLoginOn = 1,
  KXSessionAutoLoginOff = 2,
};

class KXSession : public std::enable_shared_from_this<KXSession> {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.session";
  static constexpr const char* kSessionFileName = "sess.dat";
  static constexpr const char* kUserFileName = "user.dat";
  static constexpr const char* kStatisticFileName = "statistic.dat";
  static constexpr const char* kCookieFileName = "cookies.dat";
  // Error codes (domain "com.zarvel.note.Error") of a refused correlation or
  // poll, and of a refused account sign-in.
  static constexpr std::int64_t kPollErrorCode = 0x400000009;
  static constexpr std::int64_t kLoginErrorCode = 0x400000002;
  // The service's cookies of a signed-in session.
  static constexpr const char* kSessionCookieNames[] = {"QOPAL_SESS", "QOPAL_PERS", "QOPAL_LOGIN"};
  static constexpr const char* kVerifyCookieName = "QOPAL_VMO_VERIFY";

  using LoginCallback = std::function<void()>;
  using AutoLoginBlock = std::function<void(const kx::Error& error, const kx::Value& answer)>;
  using LogoutBlock = std::function<void(const kx::Error& error)>;

  // The one session of the process, over the process's transport, created on
  // the first call and never freed. Its appDataDir is set by the start-up.
  static KXSession& defaultSession();

  // A session of its own (tests: a restart is a second session over the
  // same folder). Create with std::make_shared. With an appDataDir the
  // cookie file there is attached at once (see setAppDataDir).
  explicit KXSession(kx::HTTPTransport& transport, std::string appDataDir = {});
  ~KXSession();
  KXSession(const KXSession&) = delete;
  KXSession& operator=(const KXSession&) = delete;

  // The "tp" word the service knows a login type by ("vmotoken" for 1 and
  // every value not listed).
  static std::string loginTypeWord(std::uint64_t loginType);
  // The serial queue of answers and messages (one for the process).
  static kx::SerialQueue& queue();

  // What the layers above do for the session; nullptr puts the default
  // (doing nothing) back.
  void setEnvironment(std::shared_ptr<KXSessionEnvironment> environment);
  // The clock of the poll's and the verification code's retries.
  void setDelayClock(std::shared_ptr<KXDelayClock> clock);

  // Keeps the callback and opens the login window.
  void startLoginWithCallback(LoginCallback callback);

  // The signed-in user's id, or "EmptyUser" when none (or an empty one) is
  // set.
  std::string currentUser() const;
  void setCurrentUser(std::string userId);
  bool hasSession() const;
  bool checkPersistCookie() const;
  // Makes sure a user and the password digest are at hand, loading the last
  // session when needed; true when a user is set.
  bool checkUserAndPassword();

  // Keeps the digest of the typed password (see the .cpp for the rule).
  void setPassword(std::string_view password);

  void login(std::uint64_t loginType);
  void doLogin();
  void getVerifyCode();
  void loginPoll();
  void mobileLogin();
  void getOAuthURL();
  void requestForPci();
  std::string buildOAuthURL(const std::optional<std::string>& pci) const;
  std::string getOAuthURLSync() const;
  void appleLoginCode(const std::string& code, const std::string& token, const std::string& user,
                      const std::string& fullName);
  void checkLogin();
  void autoLoginWithBlock(AutoLoginBlock block);
  void localLogin();
  void logoutWithCallback(LogoutBlock block);
  void loginSuccessWithAuto(bool automatic);

  // Files.
  std::string sessionFile() const;
  std::string userSessionFile() const;
  bool writeToFile(const std::string& path);
  void loadFromFile(const std::string& path);
  void setSession(const std::optional<kx::Dictionary>& session);
  void clearSession();
  void loadLatest();
  void writeLatest();
  void writeUserDat();
  void writeloginKeyFrom();
  void truncateFile();
  void clearBeforeLogout();
  bool isValidUser() const;

  // Cookies: clearCookie empties the jar when the sign-in ran in the web
  // view; requestCookies is "QOPAL_SESS=..;QOPAL_PERS=..;QOPAL_LOGIN=.." of
  // those the jar holds for the service, nullopt when none.
  void clearCookie();
  std::optional<std::string> requestCookies() const;
  // Removes the service's session cookies from the jar (sign-out).
  void removeSessionCookies();

  void settingCommonStatics(std::string_view query);
  bool isSessionExpired() const { return false; }

  // Fields.
  bool isLogOut() const;
  bool isTerminate() const;
  void setIsTerminate(bool value);
  bool isLogin() const;
  bool shouldReload() const;
  void setShouldReload(bool value);
  std::uint64_t autoLogin() const;
  void setAutoLogin(std::uint64_t value);
  // The kind of the current sign-in; KXLoginTypeAccount for every value that
  // names no known kind (including "none set yet").
  std::uint64_t loginType() const;
  void setLoginType(std::uint64_t loginType);
  // The folder of a downloaded web interface ("" until one is kept).
  std::string currentWebPath() const;
  void setCurrentWebPath(std::string path);
  std::string verifyText() const;
  void setVerifyText(std::string text);
  kx::Dictionary configDictionary() const;
  void setConfigDictionary(kx::Dictionary dictionary);
  std::string appDataDir() const;
  // Sets the folder of the session files and attaches the cookie file there
  // (its cookies join the jar; later changes of the jar are written to it).
  void setAppDataDir(std::string path);
  LoginCallback loginCallback() const;
  void setLoginCallback(LoginCallback callback);
  std::string inputUserId() const;
  void setInputUserId(std::string userId);
  std::string localPwd() const;
  void setLocalPwd(std::string text);
  // The user id whose store the data context has opened ("" until one is).
  std::string dbUserId() const;
  void setDbUserId(std::string userId);
  std::shared_ptr<KXSessionAuthDelegate> authDelegate() const;
  void setAuthDelegate(std::weak_ptr<KXSessionAuthDelegate> delegate);
  bool loginFromWeb() const;
  void setIsLoginFromWeb(bool value);
  std::string pcString() const;
  std::string persistCookie() const;
  std::string md5Password() const;
  // Returns once the cookie file holds every change of the jar so far.
  void flushCookies();

 private:
  using Answer = std::function<void(KXSession& self, const kx::HTTPResponse& response,
                                    const kx::Error& error)>;

  // Sends a request on the transport; the answer runs on queue() while the
  // session lives.
  void send(const kx::URLRequest& request, Answer answer);
  std::optional<kx::URLRequest> serviceRequest(const std::string& path,
                                               const kx::Dictionary& params,
                                               const kx::Dictionary* headers) const;
  void commonSuccess(const kx::Value& answer, bool logUser);
  void reportAuthFail(const kx::Error& error);
  std::shared_ptr<KXSessionEnvironment> environment() const;
  bool writePrivatePropertyList(const std::string& path, const kx::Dictionary& dictionary);
  std::string decipheredLocalPwd() const;

  kx::HTTPTransport& transport_;

  // The session's fields; every read and change goes through state_.
  struct State {
    std::string md5Password;
    bool loginFromWeb = false;
    std::string pcString;
    std::string persistCookie;
    bool isLogOut = false;
    bool isTerminate = false;
    bool isLogin = false;
    bool shouldReload = false;
    std::string currentUser;
    std::weak_ptr<KXSessionAuthDelegate> authDelegate;
    std::uint64_t autoLogin = KXSessionAutoLoginUndecided;
    std::uint64_t loginType = 0;
    std::string currentWebPath;
    std::string verifyText;
    kx::Dictionary configDictionary;
    std::string appDataDir;
    LoginCallback loginCallback;
    std::string inputUserId;
    std::string localPwd;
    std::string dbUserId;
    std::shared_ptr<KXSessionEnvironment> environment;
    std::shared_ptr<KXDelayClock> clock = KXDelayClock::systemClock();
    std::shared_ptr<KXCookieJarFile> cookieFile;
  };
  // Enciphers the digest into localPwd (nothing without a digest).
  static void renewLocalPwd(State& state);

  kx::Guarded<State> state_;
};

#endif  // ZN_ACCOUNT_KXSESSION_H_
