// KXShellSessionEnvironment is what the program installs as the session's
// environment: the sign-out's teardown reaches the sync manager, both
// transfer controllers and the data client, and the data client counts the
// session's statistics. The login window, the web view's URL loading and its
// cookie store belong to the desktop window, which this program does not
// open yet; those calls keep the environment's default of doing nothing.
//
// Thread safety: every method may be called from any thread; each forwards
// to an object that is safe to call from any thread.
#ifndef ZN_SHELL_KXSHELLSESSIONENVIRONMENT_H_
#define ZN_SHELL_KXSHELLSESSIONENVIRONMENT_H_

#include <string>

#include "account/KXSessionEnvironment.h"

class KXShellSessionEnvironment : public KXSessionEnvironment {
 public:
  void cancelTaskWhenLogoff() override;
  void clearPushEnvironment() override;
  void clearPullEnvironment() override;
  void closeDB() override;
  void addStatisKey(const std::string& key, const kx::Value& value) override;
};

#endif  // ZN_SHELL_KXSHELLSESSIONENVIRONMENT_H_
