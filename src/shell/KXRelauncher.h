// KXRelauncher starts a program again after the running one has ended: it
// runs `argv` (argv[0] is the program's path, run as it is, never through a
// shell) after `delaySeconds`, in a process of its own session that
// outlives the caller.
//
// Thread safety: may be called from any thread. Everything the started
// process needs is prepared before it forks.
#ifndef ZN_SHELL_KXRELAUNCHER_H_
#define ZN_SHELL_KXRELAUNCHER_H_

#include <string>
#include <vector>

#include "platform/Error.h"

class KXRelauncher {
 public:
  KXRelauncher() = delete;

  // Returns once the waiting process is detached; false with *error when it
  // could not be started.
  [[nodiscard]] static bool launchDetached(const std::vector<std::string>& argv,
                                           double delaySeconds, kx::Error* error);
  // The running program's own path (/proc/self/exe), "" when unknown.
  static std::string currentExecutable();
};

#endif  // ZN_SHELL_KXRELAUNCHER_H_
