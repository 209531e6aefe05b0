#include "CommonUtils/KXXdgURLOpener.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "CommonUtils/KXLogger.h"

extern char** environ;

bool KXXdgURLOpener::isOpenableScheme(const kx::URL& url) {
  const std::string& scheme = url.scheme();
  return scheme == "http" || scheme == "https" || scheme == "mailto";
}

void KXXdgURLOpener::openURL(const kx::URL& url) {
  if (!isOpenableScheme(url)) {
    KXLOG("not opening %s: scheme not allowed", url.absoluteString().c_str());
    return;
  }
  std::string program = "xdg-open";
  std::string argument = url.absoluteString();
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  if (rc != 0) {
    KXLOG("xdg-open %s failed: %s", argument.c_str(), std::strerror(rc));
    return;
  }
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}
