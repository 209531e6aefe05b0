#include "support/TestNoteServiceAccountRoutes.h"

#include <string_view>
#include <utility>

namespace kxtest {

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::string requestCookie(const RecordedRequest& request, const std::string& name) {
  std::string header = request.header("Cookie");
  std::size_t start = 0;
  while (start < header.size()) {
    std::size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    std::string_view piece(header.data() + start, end - start);
    while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
    std::size_t eq = piece.find('=');
    if (eq != std::string_view::npos && piece.substr(0, eq) == name)
      return std::string(piece.substr(eq + 1));
    start = end + 1;
  }
  return std::string();
}

TestNoteServiceAccountRoutes::TestNoteServiceAccountRoutes(TestNoteService& service) {
  service.route("POST", "/login/acc/vmo/verify/check",
                [this](const RecordedRequest& r) { return verifyCheck(r); });
  service.route("GET", "/login/acc/vmo/verify/get", [](const RecordedRequest&) {
    Reply reply;
    reply.headers.emplace_back("Content-Type", "image/png");
    reply.headers.emplace_back("Set-Cookie", "QOPAL_VMO_VERIFY=v-1; Path=/; Secure");
    reply.body = std::string("\x89PNG\r\n\x1a\n", 8) + "code-image";
    return reply;
  });
  service.route("GET", "/login/acc/rp", [this](const RecordedRequest&) {
    std::lock_guard<std::mutex> lock(mu_);
    ++counter_;
    lastPc_ = "pc-" + std::to_string(counter_);
    webLogins_[lastPc_] = "";
    return Reply::json(200, "{\"pc\":" + quoted(lastPc_) +
                                ",\"pci\":" + quoted("pci-" + std::to_string(counter_)) + "}");
  });
  service.route("GET", "/login/acc/poll", [this](const RecordedRequest& r) { return poll(r); });
  service.route("", "/login/acc/login", [this](const RecordedRequest& r) { return login(r); });
  service.route("GET", "/login/acc/co/cq", [this](const RecordedRequest& r) {
    std::string token = r.header("QOPAL-PC");
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [user, digest] : accounts_) {
      if (!token.empty() && token == tokenFor(user)) {
        return Reply::json(200, "{\"login\":true,\"userid\":" + quoted(user) + "}");
      }
    }
    return Reply::json(200, "{\"login\":false}");
  });
  service.route("GET", "/login/acc/se/reset", [this](const RecordedRequest& r) {
    std::lock_guard<std::mutex> lock(mu_);
    liveSessions_.erase(requestCookie(r, "QOPAL_SESS"));
    return Reply::json(200, "{}");
  });
  service.route("GET", "/login/acc/se/cross/first", [this](const RecordedRequest& r) {
    std::lock_guard<std::mutex> lock(mu_);
    if (liveSessions_.count(requestCookie(r, "QOPAL_SESS")) == 0)
      return Reply::json(401, "{\"ecode\":2035}");
    return Reply::json(200, "{\"pci\":" + quoted(kTicket) + "}");
  });
}

void TestNoteServiceAccountRoutes::addAccount(const std::string& user, const std::string& digest) {
  std::lock_guard<std::mutex> lock(mu_);
  accounts_[user] = digest;
}

void TestNoteServiceAccountRoutes::setVerifyCodeRequired(bool required) {
  std::lock_guard<std::mutex> lock(mu_);
  verifyRequired_ = required;
}

void TestNoteServiceAccountRoutes::refuseNextLogin(int status, const std::string& jsonBody) {
  std::lock_guard<std::mutex> lock(mu_);
  refusalStatus_ = status;
  refusalBody_ = jsonBody;
}

void TestNoteServiceAccountRoutes::completeWebLogin(const std::string& pc,
                                                    const std::string& user) {
  std::lock_guard<std::mutex> lock(mu_);
  webLogins_[pc] = user;
  accounts_.emplace(user, "");
}

void TestNoteServiceAccountRoutes::addPhoneAccount(const std::string& cookieValue,
                                                   const std::string& user) {
  std::lock_guard<std::mutex> lock(mu_);
  phoneAccounts_[cookieValue] = user;
  accounts_.emplace(user, "");
}

void TestNoteServiceAccountRoutes::addAppleAccount(const std::string& code,
                                                   const std::string& user) {
  std::lock_guard<std::mutex> lock(mu_);
  appleAccounts_[code] = user;
  accounts_.emplace(user, "");
}

std::string TestNoteServiceAccountRoutes::startSession(const std::string& user) {
  std::lock_guard<std::mutex> lock(mu_);
  liveSessions_.insert(sessionFor(user));
  return sessionFor(user);
}

std::set<std::string> TestNoteServiceAccountRoutes::liveSessions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return liveSessions_;
}

std::string TestNoteServiceAccountRoutes::lastPc() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastPc_;
}

// Called with mu_ held.
Reply TestNoteServiceAccountRoutes::signedIn(const std::string& user, bool withToken) {
  liveSessions_.insert(sessionFor(user));
  std::string body = "{\"userid\":" + quoted(user);
  if (withToken) body += ",\"QOPAL-PC\":" + quoted(tokenFor(user));
  Reply reply = Reply::json(200, body + "}");
  reply.headers.emplace_back("Set-Cookie",
                             "QOPAL_SESS=" + sessionFor(user) + "; Path=/; Secure; HttpOnly");
  reply.headers.emplace_back(
      "Set-Cookie",
      "QOPAL_PERS=pers-" + user + "; Domain=zarvel.com; Path=/; Max-Age=2592000; Secure");
  reply.headers.emplace_back("Set-Cookie", "QOPAL_LOGIN=true; Path=/; Secure");
  return reply;
}

Reply TestNoteServiceAccountRoutes::verifyCheck(const RecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  if (refusalStatus_ != 0) {
    Reply reply = Reply::json(refusalStatus_, refusalBody_);
    refusalStatus_ = 0;
    return reply;
  }
  std::string vcode = queryValue(request.query, "vcode");
  if (verifyRequired_ && vcode.empty()) return Reply::json(400, "{\"ecode\":2062}");
  if (verifyRequired_ && vcode != kVerifyCode) return Reply::json(400, "{\"ecode\":2064}");
  std::string user = formValue(request.body, "username");
  auto account = accounts_.find(user);
  if (account == accounts_.end()) return Reply::json(400, "{\"ecode\":2045}");
  if (account->second.empty() || account->second != formValue(request.body, "password")) {
    return Reply::json(400, "{\"ecode\":2043}");
  }
  return signedIn(user, true);
}

Reply TestNoteServiceAccountRoutes::poll(const RecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  auto pending = webLogins_.find(request.header("pc"));
  if (pending == webLogins_.end()) return Reply::json(400, "{\"ecode\":2100}");
  if (pending->second.empty()) return Reply::json(200, "{\"login\":false,\"userid\":\"\"}");
  Reply reply = signedIn(pending->second, true);
  reply.body = "{\"login\":true,\"userid\":" + quoted(pending->second) +
               ",\"QOPAL-PC\":" + quoted(tokenFor(pending->second)) + "}";
  return reply;
}

Reply TestNoteServiceAccountRoutes::login(const RecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  if (request.method == "POST") {
    auto account = phoneAccounts_.find(requestCookie(request, "BOSK_WF_SESS"));
    if (account == phoneAccounts_.end()) return Reply::json(200, "{\"errorCode\":2071}");
    return signedIn(account->second, false);
  }
  std::string code = queryValue(request.query, "code");
  if (code == "silent") return Reply::json(200, "{}");
  auto account = appleAccounts_.find(code);
  if (account == appleAccounts_.end() || request.header("IDToken").empty()) {
    return Reply::json(400, "{\"errorCode\":1}");
  }
  return signedIn(account->second, false);
}

}  // namespace kxtest
