#include "support/E2EDriver.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>

#include "platform/MainQueue.h"

extern char** environ;

namespace kxtest {

E2EDriverResult runE2EDriver(const char* node, const char* script, const std::string& credentials,
                             const std::string& serviceHost) {
  E2EDriverResult result;
  char* childArgs[] = {const_cast<char*>(node), const_cast<char*>(script),
                       const_cast<char*>(credentials.c_str()),
                       const_cast<char*>(serviceHost.c_str()), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, node, nullptr, nullptr, childArgs, environ) != 0) return result;
  result.started = true;
  kx::MainQueue::shared().runUntil(
      [&] {
        result.exited = ::waitpid(pid, &result.status, WNOHANG) == pid;
        return result.exited;
      },
      240);
  if (!result.exited) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &result.status, 0);
    std::printf("FAIL: the driver ran past its time\n");
  }
  return result;
}

}  // namespace kxtest
