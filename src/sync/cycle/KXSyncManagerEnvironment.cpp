#include "sync/cycle/KXSyncManagerEnvironment.h"

#include "Data/DataUtil/KXNoteUtil.h"
#include "account/KXSession.h"

bool KXSyncManagerEnvironment::isLogin() { return KXSession::defaultSession().isLogin(); }

bool KXSyncManagerEnvironment::checkPersistCookie() {
  return KXSession::defaultSession().checkPersistCookie();
}

void KXSyncManagerEnvironment::checkLogin() { KXSession::defaultSession().checkLogin(); }

std::uint64_t KXSyncManagerEnvironment::loginType() {
  return KXSession::defaultSession().loginType();
}

bool KXSyncManagerEnvironment::checkUserAndPassword() {
  return KXSession::defaultSession().checkUserAndPassword();
}

void KXSyncManagerEnvironment::doLogin() { KXSession::defaultSession().doLogin(); }

void KXSyncManagerEnvironment::startSync(const std::function<void()>&) {
  KXNoteUtil::sharedUtil().startSync();
}
