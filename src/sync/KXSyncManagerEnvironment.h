// KXSyncManagerEnvironment is what the sync manager asks of the layers above
// it and of pieces not built yet: the session's sign-in state and its ways of
// signing in again, the main menu's sign-out, the long-poll connection, and
// the note utility's delayed sync request that the first automatic sync goes
// through.
//
// Defaults: signed in when the session names a current user; no persistent
// cookie and no stored password, so no way to sign in again; sign-out, the
// long poll and the other log-in calls do nothing; the delayed sync request
// asks the manager directly. The shell installs the real ones.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_SYNC_KXSYNCMANAGERENVIRONMENT_H_
#define ZN_SYNC_KXSYNCMANAGERENVIRONMENT_H_

#include <cstdint>
#include <functional>

class KXSyncManagerEnvironment {
 public:
  virtual ~KXSyncManagerEnvironment() = default;

  // The session: signed in; a persistent login cookie is held; re-check the
  // login (its success starts a sync through the post-login continuation);
  // the login type (1: account and password); a stored account and password
  // are there; sign in with them.
  virtual bool isLogin();
  virtual bool checkPersistCookie() { return false; }
  virtual void checkLogin() {}
  virtual std::uint64_t loginType();
  virtual bool checkUserAndPassword() { return false; }
  virtual void doLogin() {}

  // The main menu's sign-out.
  virtual void respondsToLogout() {}
  // Starts the long-poll change connection.
  virtual void multiportConnect() {}
  // The note utility's delayed sync request (the 300-second timer's target);
  // `syncByManual` asks the manager for a sync.
  virtual void startSync(const std::function<void()>& syncByManual);
};

#endif  // ZN_SYNC_KXSYNCMANAGERENVIRONMENT_H_
