#include "sync/KXSyncManagerEnvironment.h"

#include "CommonUtils/KXHooks.h"
#include "account/KXSession.h"

bool KXSyncManagerEnvironment::isLogin() {
  std::string user = KXSession::defaultSession().currentUser();
  return !user.empty() && user != KXHooks::kEmptyUser;
}

std::uint64_t KXSyncManagerEnvironment::loginType() {
  return KXSession::defaultSession().loginType();
}

void KXSyncManagerEnvironment::startSync(const std::function<void()>& syncByManual) {
  if (syncByManual) syncByManual();
}
