// KXSessionPostLogin glues the session to the rest of the program: setEnv
// prepares the session at start-up, startLogin opens the sign-in with the
// continuation that runs after every successful sign-in, and linkFrom
// reconciles the per-user data folder when the user typed another id than
// the account's own.
//
// The continuation: when the store open in this process belongs to another
// account (ids compared without regard to case) it shows "账号不一致" and
// signs out; otherwise it pulls the paper backgrounds, links the typed id's
// folder, opens the store and shows the main window (syncing at once) when
// the local copy is complete, or the first-download window when it is not;
// then it records where the sign-in came from and pushes the usage
// statistics.
//
// Thread safety: setEnv and startLogin on the main thread; the continuation
// may be called on any queue and moves its interface work to the main
// queue; linkFrom on any thread.
#ifndef ZN_SHELL_KXSESSIONPOSTLOGIN_H_
#define ZN_SHELL_KXSESSIONPOSTLOGIN_H_

#include <memory>
#include <string>

#include "CommonUtils/KXUIPort.h"
#include "account/KXSession.h"
#include "shell/KXPostLoginEnvironment.h"

class KXSessionPostLogin {
 public:
  KXSessionPostLogin() = delete;

  // Application data folder, common statistics, last session.
  static void setEnv(KXSession& session, const std::string& appDataDir);
  // Hands the session a new continuation and opens the sign-in. `alerts`
  // shows the account check's alert.
  static void startLogin(KXSession& session, std::shared_ptr<KXPostLoginEnvironment> environment,
                         std::shared_ptr<KXUIPort> alerts);
  // The continuation itself.
  static void continueAfterLogin(KXSession& session,
                                 std::shared_ptr<KXPostLoginEnvironment> environment,
                                 std::shared_ptr<KXUIPort> alerts);
  // Makes <appDataDir>/<from> a hard-link copy of <appDataDir>/<to> when
  // only the latter exists. Nothing happens when `to` is empty or equals
  // `from`, when either is not one plain path component, or when anything
  // is at <appDataDir>/<from>; failures are ignored.
  static void linkFrom(const std::string& appDataDir, const std::string& from,
                       const std::string& to);
};

#endif  // ZN_SHELL_KXSESSIONPOSTLOGIN_H_
