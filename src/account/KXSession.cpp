#include "account/KXSession.h"

#include <utility>

#include "CommonUtils/AESEncrypt.h"
#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXErrorDomain.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "account/NSMutableURLRequestKXCustom.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/LocalizedStrings.h"
#include "platform/MainQueue.h"
#include "platform/Path.h"
#include "platform/PropertyList.h"

namespace {

// The password under which the digest is enciphered in the session files.
constexpr const char* kDigestCipherPassword = "note.kx@zarv.com";

constexpr const char* kProduct = "QOPAL";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The length of a UTF-8 sequence starting with `lead`, 1 for a stray byte.
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// The service keeps, for each account, the MD5 of the password as the
// account system has always computed it: the password cut to its first 16
// characters (counted as UTF-16 units), then the digest of the UTF-8 form of
// that text taken over as many bytes as it has characters. For an ASCII
// password that is simply the digest of the cut text; for other passwords it
// leaves out the tail of the UTF-8 bytes. The sign-in compares this digest,
// so the rule must stay as it is even though it weakens non-ASCII
// passwords. A character that would be split at the 16th unit (a pair of
// UTF-16 units) is left out whole.
std::string passwordDigest(std::string_view password) {
  std::size_t units = 0;
  std::size_t bytes = 0;
  while (bytes < password.size()) {
    std::size_t length = sequenceLength(static_cast<unsigned char>(password[bytes]));
    if (bytes + length > password.size()) length = 1;
    std::size_t width = length == 4 ? 2 : 1;
    if (units + width > 16) break;
    units += width;
    bytes += length;
  }
  std::string_view cut = password.substr(0, bytes);
  std::size_t digested = std::min(units, cut.size());
  return kx::Crypto::md5Hex(kx::ByteView(cut.data(), digested));
}

const kx::Value* answerValue(const kx::Value& answer, std::string_view key) {
  return answer.isDictionary() ? answer.find(key) : nullptr;
}

kx::Error statusError(std::int64_t code, const kx::Value& answer) {
  return kx::Error(kKXErrorDomain, code, answer.isDictionary() ? answer : kx::Value());
}

kx::Value parseAnswer(const kx::HTTPResponse& response) {
  if (response.body.empty()) return kx::Value();
  return objectFromJSONData(response.body);
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return std::string();
  return kx::Path::appendingPathComponent(folder, name);
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation

KXSession& KXSession::defaultSession() {
  static KXSession* session = [] {
    static auto* holder =
        new std::shared_ptr<KXSession>(std::make_shared<KXSession>(kx::HTTPTransport::shared()));
    KXSession* created = holder->get();
    KXHooks::setCurrentUserProvider([created] { return created->currentUser(); });
    return created;
  }();
  return *session;
}

KXSession::KXSession(kx::HTTPTransport& transport, std::string appDataDir) : transport_(transport) {
  if (!appDataDir.empty()) setAppDataDir(std::move(appDataDir));
  clearCookie();
}

KXSession::~KXSession() {
  std::shared_ptr<KXCookieJarFile> file =
      state_.with([](State& s) { return std::move(s.cookieFile); });
  // Writes already queued finish while the transport is surely alive.
  if (file) file->flush();
}

kx::SerialQueue& KXSession::queue() {
  static kx::SerialQueue* queue = new kx::SerialQueue(kQueueLabel);
  return *queue;
}

std::string KXSession::loginTypeWord(std::uint64_t loginType) {
  switch (loginType) {
    case KXLoginTypeSinaWeibo: return "tsina";
    case KXLoginTypeQQ: return "cqq";
    case KXLoginTypeQQWeibo: return "wqq";
    case KXLoginTypeWeChat: return "weixin";
    case KXLoginTypeHuawei: return "huawei";
    case KXLoginTypeEnterprise: return "qiye";
    case KXLoginTypeDingTalk: return "dingtalk";
    case KXLoginTypeMobile: return "cellphone";
    case KXLoginTypeApple: return "apple";
    default: return "vmotoken";
  }
}

void KXSession::setEnvironment(std::shared_ptr<KXSessionEnvironment> environment) {
  state_.set(&State::environment, std::move(environment));
}

std::shared_ptr<KXSessionEnvironment> KXSession::environment() const {
  if (auto installed = state_.get(&State::environment)) return installed;
  static auto* none =
      new std::shared_ptr<KXSessionEnvironment>(std::make_shared<KXSessionEnvironment>());
  return *none;
}

void KXSession::setDelayClock(std::shared_ptr<KXDelayClock> clock) {
  state_.set(&State::clock, clock ? std::move(clock) : KXDelayClock::systemClock());
}

void KXSession::startLoginWithCallback(LoginCallback callback) {
  setLoginCallback(std::move(callback));
  environment()->firstOpen();
}

// ---------------------------------------------------------------------------
// User and password

std::string KXSession::currentUser() const {
  return state_.with([](const State& s) {
    return s.currentUser.empty() ? std::string(KXHooks::kEmptyUser) : s.currentUser;
  });
}

void KXSession::setCurrentUser(std::string userId) {
  state_.set(&State::currentUser, std::move(userId));
}

bool KXSession::hasSession() const {
  return state_.with([](const State& s) { return !s.currentUser.empty(); });
}

bool KXSession::checkPersistCookie() const {
  return state_.with([](const State& s) { return !s.persistCookie.empty(); });
}

bool KXSession::checkUserAndPassword() {
  const bool load = state_.with([](const State& s) {
    return (s.localPwd.empty() && s.md5Password.empty()) || s.currentUser.empty();
  });
  if (load) loadLatest();
  std::string deciphered = decipheredLocalPwd();
  return state_.with([&](State& s) {
    if (s.md5Password.empty()) {
      if (deciphered.empty()) return false;
      s.md5Password = std::move(deciphered);
    }
    return !s.currentUser.empty();
  });
}

void KXSession::setPassword(std::string_view password) {
  state_.set(&State::md5Password, passwordDigest(password));
}

std::string KXSession::decipheredLocalPwd() const {
  std::string enciphered = state_.get(&State::localPwd);
  if (enciphered.empty()) return std::string();
  return AESEncrypt::decryptText(enciphered, kDigestCipherPassword).value_or(std::string());
}

void KXSession::renewLocalPwd(State& state) {
  if (state.md5Password.empty()) return;
  if (std::optional<std::string> enciphered =
          AESEncrypt::encryptText(state.md5Password, kDigestCipherPassword)) {
    state.localPwd = std::move(*enciphered);
  }
}

// ---------------------------------------------------------------------------
// Requests

std::optional<kx::URLRequest> KXSession::serviceRequest(const std::string& path,
                                                        const kx::Dictionary& params,
                                                        const kx::Dictionary* headers) const {
  return NSMutableURLRequestKXCustom::requestWithString(KXServiceBaseURL() + path, &params,
                                                        headers);
}

void KXSession::send(const kx::URLRequest& request, Answer answer) {
  kx::HTTPRequest transportRequest = request.transportRequest();
  transportRequest.completionQueue = &queue();
  std::weak_ptr<KXSession> weak = weak_from_this();
  transport_.start(
      std::move(transportRequest),
      [weak, answer = std::move(answer)](kx::HTTPResponse response, const kx::Error& error) {
        std::shared_ptr<KXSession> self = weak.lock();
        if (!self) return;
        answer(*self, response, error);
      });
}

void KXSession::reportAuthFail(const kx::Error& error) {
  if (auto delegate = authDelegate()) delegate->didSessionAuthFail(error);
}

void KXSession::commonSuccess(const kx::Value& answer, bool logUser) {
  state_.with([&](State& s) {
    if (const kx::Value* token = answerValue(answer, "QOPAL-PC"))
      s.persistCookie = token->stringValue();
    if (const kx::Value* user = answerValue(answer, "userid")) {
      std::string userId = user->stringValue();
      if (!s.currentUser.empty() && !equalsIgnoringCase(s.currentUser, userId))
        s.inputUserId = s.currentUser;
      s.currentUser = std::move(userId);
      if (logUser) KXLOG("currentUser login success,currentUser is %s", s.currentUser.c_str());
    }
  });
  loginSuccessWithAuto(false);
  if (LoginCallback callback = loginCallback()) callback();
}

void KXSession::login(std::uint64_t loginType) {
  if (state_.get(&State::md5Password).empty()) {
    std::string deciphered = decipheredLocalPwd();
    state_.with([&](State& s) {
      if (s.md5Password.empty()) s.md5Password = std::move(deciphered);
    });
  }
  if (loginType != KXLoginTypeAccount) return;

  kx::Dictionary params{{"app", kx::Value("client")},
                        {"tp", kx::Value("vmotoken")},
                        {"product", kx::Value(kProduct)},
                        {"cf", kx::Value("7")},
                        {"show", kx::Value("true")}};
  kx::Dictionary form;
  state_.with([&](State& s) {
    if (!s.verifyText.empty()) {
      params.set("vcode", kx::Value(s.verifyText));
      s.verifyText.clear();
    }
    form.set("username",
             kx::Value(s.currentUser.empty() ? std::string(KXHooks::kEmptyUser) : s.currentUser));
    form.set("password", kx::Value(s.md5Password));
  });
  std::optional<kx::URLRequest> request =
      serviceRequest("/login/acc/vmo/verify/check", params, nullptr);
  if (!request) return;
  request->setHTTPMethod("POST");
  request->setValue("application/x-www-form-urlencoded", "Content-Type");
  std::string body = NSDictionaryKXHelper::stringForHTTPFormat(form, "&", "=");
  request->setHTTPBody(kx::Bytes(body.begin(), body.end()));
  send(*request, [](KXSession& self, const kx::HTTPResponse& response, const kx::Error& error) {
    if (error) {
      self.reportAuthFail(error);
      return;
    }
    kx::Value answer = parseAnswer(response);
    // An answer without a user id signs nobody in: the service accepted
    // something, but the client cannot tell whose data to open.
    if (response.status != 200 || !answerValue(answer, "userid")) {
      if (response.status == 200) KXLOG("sign-in answer without a user id");
      self.reportAuthFail(statusError(kLoginErrorCode, answer));
      return;
    }
    self.commonSuccess(answer, false);
  });
}

void KXSession::doLogin() {
  if (hasSession()) login(KXLoginTypeAccount);
}

void KXSession::getVerifyCode() {
  for (const kx::HTTPTransport::Cookie& cookie : transport_.cookies()) {
    if (cookie.name == kVerifyCookieName) transport_.deleteCookie(cookie);
  }
  kx::Dictionary params{
      {"product", kx::Value(kProduct)}, {"height", kx::Value(36)}, {"weight", kx::Value(138)}};
  std::optional<kx::URLRequest> request =
      serviceRequest("/login/acc/vmo/verify/get", params, nullptr);
  if (!request) return;
  send(*request, [](KXSession& self, const kx::HTTPResponse& response, const kx::Error& error) {
    std::optional<kx::Bytes> image;
    if (!error && !response.body.empty()) image = response.body;
    if (!image) {
      std::shared_ptr<KXDelayClock> clock = self.state_.get(&State::clock);
      std::weak_ptr<KXSession> weak = self.weak_from_this();
      clock->after(1.0, kx::MainQueue::shared(), [weak] {
        if (auto again = weak.lock()) again->getVerifyCode();
      });
    }
    if (auto delegate = self.authDelegate()) delegate->verifyCodeWithImage(image);
  });
}

void KXSession::getOAuthURL() { requestForPci(); }

void KXSession::requestForPci() {
  kx::Dictionary params{{"app", kx::Value("client")},
                        {"tp", kx::Value(loginTypeWord(loginType()))},
                        {"product", kx::Value(kProduct)}};
  std::optional<kx::URLRequest> request = serviceRequest("/login/acc/rp", params, nullptr);
  if (!request) return;
  send(*request, [](KXSession& self, const kx::HTTPResponse& response, const kx::Error& error) {
    if (error) {
      self.reportAuthFail(error);
      return;
    }
    kx::Value answer = parseAnswer(response);
    if (response.status != 200) {
      self.reportAuthFail(statusError(kPollErrorCode, answer));
      return;
    }
    std::optional<std::string> pci;
    if (const kx::Value* value = answerValue(answer, "pci")) pci = value->stringValue();
    const kx::Value* pc = answerValue(answer, "pc");
    self.state_.set(&State::pcString, pc ? pc->stringValue() : std::string());
    std::string url = self.buildOAuthURL(pci);
    if (auto delegate = self.authDelegate()) delegate->didGetOAuthURL(url);
  });
}

std::string KXSession::buildOAuthURL(const std::optional<std::string>& pci) const {
  const std::uint64_t type = loginType();
  kx::Dictionary params{{"app", kx::Value("client")},
                        {"product", kx::Value(kProduct)},
                        {"tp", kx::Value(loginTypeWord(type))},
                        {"cf", kx::Value("7")},
                        {"fr", kx::Value("1")},
                        {"f", kx::Value("true")}};
  if (pci) params.set("pci", kx::Value(*pci));
  std::string query = NSDictionaryKXHelper::stringForHTTPFormat(params, "&", "=");
  // The common statistics are kept escaped already.
  if (std::optional<kx::Dictionary> common =
          NSMutableURLRequestKXCustom::commonStaticsQueryDict()) {
    for (const auto& [key, value] : *common) query += "&" + key + "=" + value.stringValue();
  }
  const char* path = type == KXLoginTypeMobile ? "/signIn/macVmo.html" : "/login/acc/login";
  return KXServiceBaseURL() + path + "?" + query;
}

std::string KXSession::getOAuthURLSync() const { return buildOAuthURL(std::nullopt); }

void KXSession::loginPoll() {
  kx::Dictionary params{{"product", kx::Value(kProduct)}};
  kx::Dictionary headers{{"pc", kx::Value(pcString())}};
  std::optional<kx::URLRequest> request = serviceRequest("/login/acc/poll", params, &headers);
  if (!request) return;
  send(*request, [](KXSession& self, const kx::HTTPResponse& response, const kx::Error& error) {
    if (response.body.empty()) KXLOG("data is nil");
    if (error) {
      self.reportAuthFail(error);
      return;
    }
    kx::Value answer = parseAnswer(response);
    // A 200 without a JSON object says nothing about the sign-in; it is not
    // taken for a finished one.
    if (response.status != 200 || !answer.isDictionary()) {
      self.reportAuthFail(statusError(kPollErrorCode, answer));
      return;
    }
    const kx::Value* login = answerValue(answer, "login");
    if (login && !login->boolValue()) {
      std::shared_ptr<KXDelayClock> clock = self.state_.with([&](State& s) {
        s.currentUser = answer["userid"].stringValue();
        KXLOG("data user is %s", s.currentUser.c_str());
        return s.clock;
      });
      std::weak_ptr<KXSession> weak = self.weak_from_this();
      clock->after(0.5, kx::MainQueue::shared(), [weak] {
        if (auto again = weak.lock()) again->loginPoll();
      });
      return;
    }
    self.commonSuccess(answer, true);
  });
}

void KXSession::mobileLogin() {
  kx::Dictionary params{{"app", kx::Value("client")},
                        {"product", kx::Value(kProduct)},
                        {"tp", kx::Value(loginTypeWord(loginType()))},
                        {"cf", kx::Value("7")},
                        {"f", kx::Value("true")}};
  std::optional<kx::URLRequest> request = serviceRequest("/login/acc/login", params, nullptr);
  if (!request) return;
  request->setHTTPMethod("POST");
  request->setValue("application/x-www-form-urlencoded", "Content-Type");
  send(*request, [](KXSession& self, const kx::HTTPResponse& response, const kx::Error& error) {
    if (error) {
      self.reportAuthFail(error);
      return;
    }
    kx::Value answer = parseAnswer(response);
    std::shared_ptr<KXSessionAuthDelegate> delegate = self.authDelegate();
    if (response.status == 200 && answerValue(answer, "userid")) {
      self.commonSuccess(answer, true);
      return;
    }
    if (response.status == 200) {
      if (const kx::Value* code = answerValue(answer, "errorCode")) {
        if (delegate) delegate->didMobileLoginFail(code->intValue());
      }
    }
    if (delegate) delegate->didCheckLoginFail();
  });
}

void KXSession::appleLoginCode(const std::string& code, const std::string& token,
                               const std::string& user, const std::string& fullName) {
  if (code.empty() || token.empty()) {
    queue().async([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->reportAuthFail(kx::Error());
    });
    return;
  }
  // The values are escaped: a name with a blank or an "&" must neither
  // break the address nor add a parameter.
  std::string url = KXServiceBaseURL() + "/login/acc/login" +
                    "?app=client&product=QOPAL&tp=tpac&cf=7&f=1&show=true&format=json&acc=apple" +
                    "&code=" + NSStringDupTitle::urlencode(code) + "&opid=" +
                    NSStringDupTitle::urlencode(user.empty() ? std::string("appleuser") : user);
  if (!fullName.empty()) url += "&nn=" + NSStringDupTitle::urlencode(fullName);
  std::optional<kx::URL> parsed = kx::URL::parse(url);
  if (!parsed) return;
  kx::URLRequest request(*parsed);
  request.setTimeoutInterval(30);
  request.setCachePolicy(kx::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  request.setValue(token, "IDToken");
  send(request, [](KXSession& self, const kx::HTTPResponse& response, const kx::Error& error) {
    if (error) {
      self.reportAuthFail(error);
      return;
    }
    kx::Value answer = parseAnswer(response);
    if (response.status == 200 && answerValue(answer, "userid")) {
      self.commonSuccess(answer, true);
      return;
    }
    if (response.status == 200 && !answerValue(answer, "errorCode")) return;
    if (auto delegate = self.authDelegate()) delegate->didAppleLoginFail();
  });
}

namespace {

// The persistent-login check's request.
std::optional<kx::URLRequest> persistentLoginRequest(const std::string& persistCookie) {
  kx::Dictionary params{{"product", kx::Value("QOPAL")}, {"ga", kx::Value("true")}};
  kx::Dictionary headers;
  if (!persistCookie.empty()) headers.set("QOPAL-PC", kx::Value(persistCookie));
  return NSMutableURLRequestKXCustom::requestWithString(KXServiceBaseURL() + "/login/acc/co/cq",
                                                        &params, &headers);
}

}  // namespace

void KXSession::checkLogin() {
  KXLOG("auto login username:%s", currentUser().c_str());
  std::optional<kx::URLRequest> request = persistentLoginRequest(persistCookie());
  if (!request) return;
  send(*request, [](KXSession& self, const kx::HTTPResponse& response, const kx::Error& error) {
    kx::Value answer = error ? kx::Value() : parseAnswer(response);
    const bool success = !error && response.status == 200 && answer["login"].boolValue();
    if (success) {
      self.state_.with(&KXSession::renewLocalPwd);
      self.loginSuccessWithAuto(true);
      if (LoginCallback callback = self.loginCallback()) callback();
      return;
    }
    if (auto delegate = self.authDelegate()) delegate->didCheckLoginFail();
  });
}

void KXSession::autoLoginWithBlock(AutoLoginBlock block) {
  KXLOG("auto login");
  std::optional<kx::URLRequest> request = persistentLoginRequest(persistCookie());
  if (!request) return;
  send(*request, [block = std::move(block)](KXSession& self, const kx::HTTPResponse& response,
                                            const kx::Error& error) {
    kx::Value answer = error ? kx::Value() : parseAnswer(response);
    if (!error && response.status == 200 && answer["login"].boolValue()) {
      self.state_.with(&KXSession::renewLocalPwd);
      self.loginSuccessWithAuto(true);
    }
    if (block) block(error, answer);
  });
}

void KXSession::localLogin() {
  std::string userFile = userSessionFile();
  if (!userFile.empty() && kx::FileSystem::Default().exists(userFile)) {
    std::optional<kx::Value> stored = kx::PropertyList::readFile(userFile);
    if (stored && stored->isDictionary() && (*stored)["md5"].isString()) {
      setLocalPwd((*stored)["md5"].string());
    }
  }
  std::string deciphered = decipheredLocalPwd();
  const std::pair<bool, bool> found = state_.with([&](const State& s) {
    return std::pair(!s.localPwd.empty(), !deciphered.empty() && deciphered == s.md5Password);
  });
  const bool haveLocal = found.first;
  const bool match = found.second;
  queue().async([weak = weak_from_this(), haveLocal, match] {
    std::shared_ptr<KXSession> self = weak.lock();
    if (!self) return;
    std::shared_ptr<KXSessionAuthDelegate> delegate = self->authDelegate();
    if (!delegate) return;
    if (!haveLocal) {
      delegate->didLocalLoginFail(kx::LocalizedStrings::localized("Network Error"));
    } else if (match) {
      delegate->didLocalLoginSuccess();
    } else {
      delegate->didLocalLoginFail(
          kx::LocalizedStrings::localized("Account and password mismatch!"));
    }
  });
}

void KXSession::logoutWithCallback(LogoutBlock block) {
  truncateFile();
  KXLOG("start logoff...");
  kx::Dictionary params{{"product", kx::Value(kProduct)}};
  std::optional<kx::URLRequest> request = serviceRequest("/login/acc/se/reset", params, nullptr);
  if (!request) return;
  send(*request, [block = std::move(block)](KXSession& self, const kx::HTTPResponse&,
                                            const kx::Error& error) {
    self.clearSession();
    // Whatever way the sign-in ran, the service's session cookies go: the
    // next person at this machine must not be signed in as this user.
    self.removeSessionCookies();
    self.environment()->clearWebViewCookies(KXServiceHost());
    self.clearCookie();
    self.state_.with([](State& s) {
      s.isLogOut = true;
      s.dbUserId.clear();
    });
    std::shared_ptr<KXSessionEnvironment> environment = self.environment();
    environment->unregisterURLProtocol();
    environment->cancelTaskWhenLogoff();
    environment->clearPushEnvironment();
    environment->clearPullEnvironment();
    environment->closeDB();
    if (block) block(error);
    KXLOG("logoff end , clear session&cookies");
  });
}

void KXSession::loginSuccessWithAuto(bool automatic) {
  state_.set(&State::isLogin, true);
  if (automatic) {
    writeUserDat();
  } else {
    environment()->showOrHideLoginProcessing(false);
    writeLatest();
  }
}

// ---------------------------------------------------------------------------
// Files

std::string KXSession::sessionFile() const { return joinPath(appDataDir(), kSessionFileName); }

std::string KXSession::userSessionFile() const {
  const auto [folder, user] =
      state_.with([](const State& s) { return std::pair(s.appDataDir, s.currentUser); });
  if (folder.empty() || user.empty()) return std::string();
  return kx::Path::appendingPathComponent(kx::Path::appendingPathComponent(folder, user),
                                          kUserFileName);
}

bool KXSession::writePrivatePropertyList(const std::string& path,
                                         const kx::Dictionary& dictionary) {
  kx::Error error;
  std::optional<std::string> text = kx::PropertyList::serialize(kx::Value(dictionary), &error);
  if (text && kx::FileSystem::Default().writePrivateFileAtomically(path, *text, &error))
    return true;
  KXLOG("cannot write %s: %s", path.c_str(), error.localizedDescription().c_str());
  return false;
}

bool KXSession::writeToFile(const std::string& path) {
  kx::Dictionary session;
  std::uint64_t type = 0;
  const bool haveUser = state_.with([&](State& s) {
    if (s.currentUser.empty()) return false;
    renewLocalPwd(s);
    type = s.loginType >= KXLoginTypeAccount && s.loginType <= KXLoginTypeApple
               ? s.loginType
               : KXLoginTypeAccount;
    session.set("user", kx::Value(s.currentUser));
    session.set("loginType",
                kx::Value(static_cast<std::int64_t>(static_cast<std::int16_t>(s.loginType))));
    if (!s.localPwd.empty()) session.set("md5", kx::Value(s.localPwd));
    if (!s.currentWebPath.empty()) session.set("web-path", kx::Value(s.currentWebPath));
    if (s.autoLogin == KXSessionAutoLoginUndecided || s.autoLogin == KXSessionAutoLoginOn) {
      session.set("autoLogin", kx::Value(true));
      session.set("persistCookie", kx::Value(s.persistCookie));
    }
    return true;
  });
  if (!haveUser) return false;
  if (!path.empty()) writePrivatePropertyList(path, session);
  if (type == KXLoginTypeAccount) writeUserDat();
  return true;
}

void KXSession::loadFromFile(const std::string& path) {
  std::optional<kx::Value> stored = kx::PropertyList::readFile(path);
  if (!stored || !stored->isDictionary()) {
    KXLOG("the session file does not read as a dictionary");
    return;
  }
  if (stored->contains("user") && stored->contains("loginType")) {
    setSession(stored->dict());
    return;
  }
  KXLOG("the session file names no user; signing out");
  std::weak_ptr<KXSession> weak = weak_from_this();
  kx::MainQueue::shared().async([weak] {
    if (auto self = weak.lock()) self->logoutWithCallback(nullptr);
  });
  truncateFile();
  environment()->showLoginWindow();
}

void KXSession::setSession(const std::optional<kx::Dictionary>& session) {
  state_.with([&](State& s) {
    if (!session) {
      s.persistCookie.clear();
      s.currentUser.clear();
      s.loginType = 0;
      s.localPwd.clear();
      s.currentWebPath.clear();
      return;
    }
    const kx::Dictionary& stored = *session;
    s.persistCookie = stored["persistCookie"].stringValue();
    s.currentUser = stored["user"].stringValue();
    if (const kx::Value* autoLogin = stored.find("autoLogin")) {
      s.autoLogin = static_cast<std::uint16_t>(autoLogin->intValue());
    }
    s.loginType = static_cast<std::uint16_t>(stored["loginType"].intValue());
    s.localPwd = stored["md5"].stringValue();
    s.currentWebPath = stored["web-path"].stringValue();
  });
}

void KXSession::clearSession() { setSession(std::nullopt); }

void KXSession::loadLatest() {
  std::string path = sessionFile();
  if (!path.empty() && kx::FileSystem::Default().exists(path)) loadFromFile(path);
}

void KXSession::writeLatest() {
  std::string path = sessionFile();
  if (autoLogin() == KXSessionAutoLoginOff) {
    truncateFile();
    return;
  }
  writeToFile(path);
}

void KXSession::writeUserDat() {
  if (loginType() != KXLoginTypeAccount) return;
  std::string path = userSessionFile();
  if (path.empty()) return;
  kx::Dictionary user = state_.with([](const State& s) {
    kx::Dictionary fields;
    fields.set("user", kx::Value(s.currentUser));
    // A sign-in of this type through the service's page leaves no digest;
    // the file then names the user only.
    if (!s.localPwd.empty()) fields.set("md5", kx::Value(s.localPwd));
    return fields;
  });
  std::string folder = kx::Path::deletingLastPathComponent(path);
  kx::Error error;
  if (!kx::FileSystem::Default().exists(folder) &&
      !kx::FileSystem::Default().createDirectory(folder, true, 0700, &error)) {
    KXLOG("cannot create %s: %s", folder.c_str(), error.localizedDescription().c_str());
    return;
  }
  writePrivatePropertyList(path, user);
}

void KXSession::writeloginKeyFrom() {
  std::string path = joinPath(appDataDir(), kStatisticFileName);
  if (path.empty() || kx::FileSystem::Default().exists(path)) return;
  environment()->addStatisKey("normal", kx::Value(1));
  kx::Error error;
  std::optional<std::string> text = kx::PropertyList::serialize(
      kx::Value(kx::Dictionary{{"semMacKeyFrom", kx::Value("normal")}}), &error);
  if (!text || !kx::FileSystem::Default().writeFileAtomically(path, *text, &error)) {
    KXLOG("cannot write %s: %s", path.c_str(), error.localizedDescription().c_str());
  }
}

void KXSession::truncateFile() {
  std::string path = sessionFile();
  if (path.empty() || !kx::FileSystem::Default().exists(path)) return;
  kx::Error error;
  if (!kx::FileSystem::Default().removeFile(path, &error)) {
    KXLOG("cannot remove %s: %s", path.c_str(), error.localizedDescription().c_str());
  }
}

void KXSession::clearBeforeLogout() { truncateFile(); }

bool KXSession::isValidUser() const {
  if (!hasSession()) return false;
  std::string path = userSessionFile();
  return !path.empty() && kx::FileSystem::Default().exists(path);
}

// ---------------------------------------------------------------------------
// Cookies

namespace {

// Whether the jar would send `cookie` to the service's root.
bool appliesToService(const kx::HTTPTransport::Cookie& cookie, const std::string& host) {
  std::string domain = cookie.domain;
  if (!domain.empty() && domain[0] == '.') domain.erase(0, 1);
  bool matches = equalsIgnoringCase(domain, host);
  if (!matches && cookie.includeSubdomains && host.size() > domain.size() + 1) {
    matches =
        host[host.size() - domain.size() - 1] == '.' &&
        equalsIgnoringCase(std::string_view(host).substr(host.size() - domain.size()), domain);
  }
  return matches;
}

}  // namespace

void KXSession::clearCookie() {
  if (!loginFromWeb()) return;
  transport_.clearCookies();
  KXLOG("clear Cookie");
}

std::optional<std::string> KXSession::requestCookies() const {
  const std::string host = KXServiceHost();
  std::vector<kx::HTTPTransport::Cookie> cookies = transport_.cookies();
  std::string text;
  for (const char* name : kSessionCookieNames) {
    for (const kx::HTTPTransport::Cookie& cookie : cookies) {
      if (cookie.name != name || !appliesToService(cookie, host)) continue;
      if (cookie.path != "/" && !cookie.path.empty()) continue;
      if (!text.empty()) text += ";";
      text += cookie.name + "=" + cookie.value;
      break;
    }
  }
  if (text.empty()) return std::nullopt;
  return text;
}

void KXSession::removeSessionCookies() {
  const std::string host = KXServiceHost();
  for (const kx::HTTPTransport::Cookie& cookie : transport_.cookies()) {
    for (const char* name : kSessionCookieNames) {
      if (cookie.name == name && appliesToService(cookie, host)) transport_.deleteCookie(cookie);
    }
  }
}

void KXSession::flushCookies() {
  if (std::shared_ptr<KXCookieJarFile> file = state_.get(&State::cookieFile)) file->flush();
}

void KXSession::settingCommonStatics(std::string_view query) {
  NSMutableURLRequestKXCustom::settingCommonStaticsQuery(query);
}

// ---------------------------------------------------------------------------
// Fields

bool KXSession::isLogOut() const { return state_.get(&State::isLogOut); }
bool KXSession::isTerminate() const { return state_.get(&State::isTerminate); }
void KXSession::setIsTerminate(bool value) { state_.set(&State::isTerminate, value); }
bool KXSession::isLogin() const { return state_.get(&State::isLogin); }
bool KXSession::shouldReload() const { return state_.get(&State::shouldReload); }
void KXSession::setShouldReload(bool value) { state_.set(&State::shouldReload, value); }
std::uint64_t KXSession::autoLogin() const { return state_.get(&State::autoLogin); }
void KXSession::setAutoLogin(std::uint64_t value) { state_.set(&State::autoLogin, value); }

std::uint64_t KXSession::loginType() const {
  const std::uint64_t type = state_.get(&State::loginType);
  return type >= KXLoginTypeAccount && type <= KXLoginTypeApple ? type : KXLoginTypeAccount;
}

void KXSession::setLoginType(std::uint64_t loginType) { state_.set(&State::loginType, loginType); }

std::string KXSession::currentWebPath() const { return state_.get(&State::currentWebPath); }
void KXSession::setCurrentWebPath(std::string path) {
  state_.set(&State::currentWebPath, std::move(path));
}
std::string KXSession::verifyText() const { return state_.get(&State::verifyText); }
void KXSession::setVerifyText(std::string text) { state_.set(&State::verifyText, std::move(text)); }
kx::Dictionary KXSession::configDictionary() const { return state_.get(&State::configDictionary); }
void KXSession::setConfigDictionary(kx::Dictionary dictionary) {
  state_.set(&State::configDictionary, std::move(dictionary));
}
std::string KXSession::appDataDir() const { return state_.get(&State::appDataDir); }

void KXSession::setAppDataDir(std::string path) {
  std::shared_ptr<KXCookieJarFile> previous;
  const bool same = state_.with([&](State& s) {
    if (path == s.appDataDir && s.cookieFile) return true;
    s.appDataDir = path;
    previous = std::move(s.cookieFile);
    return false;
  });
  if (same) return;
  // The old file lets go of the transport before the new one takes it.
  previous.reset();
  if (path.empty()) return;
  auto file = std::make_shared<KXCookieJarFile>(
      transport_, kx::Path::appendingPathComponent(path, kCookieFileName));
  file->attach();
  state_.set(&State::cookieFile, std::move(file));
}

KXSession::LoginCallback KXSession::loginCallback() const {
  return state_.get(&State::loginCallback);
}
void KXSession::setLoginCallback(LoginCallback callback) {
  state_.set(&State::loginCallback, std::move(callback));
}
std::string KXSession::inputUserId() const { return state_.get(&State::inputUserId); }
void KXSession::setInputUserId(std::string userId) {
  state_.set(&State::inputUserId, std::move(userId));
}
std::string KXSession::localPwd() const { return state_.get(&State::localPwd); }
void KXSession::setLocalPwd(std::string text) { state_.set(&State::localPwd, std::move(text)); }
std::string KXSession::dbUserId() const { return state_.get(&State::dbUserId); }
void KXSession::setDbUserId(std::string userId) { state_.set(&State::dbUserId, std::move(userId)); }

std::shared_ptr<KXSessionAuthDelegate> KXSession::authDelegate() const {
  return state_.get(&State::authDelegate).lock();
}
void KXSession::setAuthDelegate(std::weak_ptr<KXSessionAuthDelegate> delegate) {
  state_.set(&State::authDelegate, std::move(delegate));
}
bool KXSession::loginFromWeb() const { return state_.get(&State::loginFromWeb); }
void KXSession::setIsLoginFromWeb(bool value) { state_.set(&State::loginFromWeb, value); }
std::string KXSession::pcString() const { return state_.get(&State::pcString); }
std::string KXSession::persistCookie() const { return state_.get(&State::persistCookie); }
std::string KXSession::md5Password() const { return state_.get(&State::md5Password); }
