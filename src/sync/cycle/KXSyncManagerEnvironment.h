// KXSyncManagerEnvironment is what the sync manager asks of the rest of the
// client: the session's sign-in state and its ways of signing in again, the
// main menu's sign-out, the long-poll connection, and the note utility's
// delayed sync request that the first automatic sync goes through.
//
// Defaults are the program's wherever the collaborator sits below the sync
// engine: the shared session (signed in during this run, its persistent
// token, its re-check of the login, its stored account and password and
// their sign-in) and the note utility's delayed request. The main menu's
// sign-out and the long-poll connection are the application object's.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCMANAGERENVIRONMENT_H_
#define ZN_SYNC_KXSYNCMANAGERENVIRONMENT_H_

#include <cstdint>
#include <functional>

class KXSyncManagerEnvironment {
 public:
  virtual ~KXSyncManagerEnvironment() = default;

  // The session: signed in during this run; a persistent login cookie is
  // held; re-check the login (its success reaches the session's login
  // callback, the post-login continuation, which asks for a sync); the login
  // type (1: account and password); a stored account and password are there;
  // sign in with them.
  virtual bool isLogin();
  virtual bool checkPersistCookie();
  virtual void checkLogin();
  virtual std::uint64_t loginType();
  virtual bool checkUserAndPassword();
  virtual void doLogin();

  // The main menu's sign-out.
  virtual void respondsToLogout() {}
  // Starts (again) and stops the long-poll change connection. The long-poll
  // client asks the manager for syncs, so it sits beside the manager and the
  // application object connects the two (KXLiveConnection).
  virtual void multiportConnect() {}
  virtual void stopLiveConnect() {}
  // The note utility's delayed sync request (the 300-second timer's target),
  // which ends in the manager's syncByManual through the store's sync
  // request hooks. `syncByManual` is the manager's own, for environments
  // that have no note utility (tests).
  virtual void startSync(const std::function<void()>& syncByManual);
};

#endif  // ZN_SYNC_KXSYNCMANAGERENVIRONMENT_H_
