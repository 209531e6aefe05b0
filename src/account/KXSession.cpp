#include "account/KXSession.h"

#include <utility>

#include "CommonUtils/KXHooks.h"

KXSession& KXSession::defaultSession() {
  static KXSession* session = [] {
    auto* created = new KXSession();
    KXHooks::setCurrentUserProvider([created] { return created->currentUser(); });
    return created;
  }();
  return *session;
}

std::string KXSession::currentUser() const {
  std::lock_guard<std::mutex> lock(mu_);
  return currentUser_.empty() ? std::string(KXHooks::kEmptyUser) : currentUser_;
}

void KXSession::setCurrentUser(std::string userId) {
  std::lock_guard<std::mutex> lock(mu_);
  currentUser_ = std::move(userId);
}

std::uint64_t KXSession::loginType() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (loginType_ >= KXLoginTypeAccount && loginType_ <= KXLoginTypeApple) return loginType_;
  return KXLoginTypeAccount;
}

void KXSession::setLoginType(std::uint64_t loginType) {
  std::lock_guard<std::mutex> lock(mu_);
  loginType_ = loginType;
}

std::string KXSession::dbUserId() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dbUserId_;
}

void KXSession::setDbUserId(std::string userId) {
  std::lock_guard<std::mutex> lock(mu_);
  dbUserId_ = std::move(userId);
}

std::string KXSession::currentWebPath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return currentWebPath_;
}
