#include "shell/KXRelauncher.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

void fail(kx::Error* error, const std::string& what, int code) {
  if (error) {
    *error = kx::Error::make(kx::kPosixErrorDomain, code, what + ": " + std::strerror(code));
  }
}

}  // namespace

bool KXRelauncher::launchDetached(const std::vector<std::string>& argv, double delaySeconds,
                                  kx::Error* error) {
  if (argv.empty() || argv[0].empty()) {
    fail(error, "nothing to launch", EINVAL);
    return false;
  }
  // Only async-signal-safe calls happen after fork(): everything is built
  // here.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  struct timespec delay;
  delay.tv_sec = static_cast<time_t>(delaySeconds);
  delay.tv_nsec = static_cast<long>((delaySeconds - static_cast<double>(delay.tv_sec)) * 1e9);

  pid_t child = ::fork();
  if (child < 0) {
    fail(error, "fork", errno);
    return false;
  }
  if (child == 0) {
    // The first child starts a session of its own and leaves at once, so
    // the waiting grandchild belongs to nobody and outlives the program.
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
    while (::nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail(error, "the relaunch could not detach", ECHILD);
    return false;
  }
  return true;
}

std::string KXRelauncher::currentExecutable() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  return std::string(buffer, static_cast<std::size_t>(n));
}
