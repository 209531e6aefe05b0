#include "search/KXSFolderLock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "search/KXSError.h"
#include "support/TempAppRoot.h"

namespace {

// The child's ends of the two pipes, fixed by the parent before exec.
constexpr int kChildCommandFd = 3;
constexpr int kChildReportFd = 4;
constexpr const char* kFolderEnv = "ZN_FOLDER_LOCK_TEST_DIR";
constexpr int kTimeLimitMs = 60000;

// Reads one byte, waiting no longer than the time limit; 0 on timeout or
// end of file.
char readByte(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, kTimeLimitMs) != 1) return 0;
  char c = 0;
  return ::read(fd, &c, 1) == 1 ? c : 0;
}

void writeByte(int fd, char c) { ASSERT_EQ(::write(fd, &c, 1), 1); }

// A child that ends early must fail the test, not end it with SIGPIPE.
[[maybe_unused]] const bool kNoSigpipe = [] {
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}();

// The other process of the fairness test (run only by that test, through
// the test program itself): it takes the folder lock again at once every
// time the parent tells it to let go, reporting 'H' each time it holds it,
// until told to stop.
TEST(KXSFolderLockChild, DISABLED_TakesTheLockAgainAtOnce) {
  const char* folder = std::getenv(kFolderEnv);
  ASSERT_NE(folder, nullptr);
  KXSFolderLock lock;
  for (;;) {
    kx::Error error;
    if (!lock.acquire(folder, kTimeLimitMs / 1000.0, &error)) {
      writeByte(kChildReportFd, 'F');
      return;
    }
    writeByte(kChildReportFd, 'H');
    const char command = readByte(kChildCommandFd);
    lock.release();
    if (command != 'g') return;
  }
}

class Child {
 public:
  explicit Child(const std::string& folder) {
    int commands[2];
    int reports[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(reports, O_CLOEXEC) != 0) return;
    const std::string filter = "--gtest_filter=KXSFolderLockChild.*";
    ::setenv(kFolderEnv, folder.c_str(), 1);
    pid_ = ::fork();
    if (pid_ == 0) {
      // Out of the way of 3 and 4 first: a pipe end may already be one of
      // them, and dup2 onto itself would keep it closing on exec.
      const int command = ::fcntl(commands[0], F_DUPFD, 10);
      const int report = ::fcntl(reports[1], F_DUPFD, 10);
      ::dup2(command, kChildCommandFd);
      ::dup2(report, kChildReportFd);
      const int devNull = ::open("/dev/null", O_WRONLY);
      ::dup2(devNull, STDOUT_FILENO);
      const char* argv[] = {"test_search", filter.c_str(), "--gtest_also_run_disabled_tests",
                            nullptr};
      ::execv("/proc/self/exe", const_cast<char* const*>(argv));
      ::_exit(127);
    }
    ::close(commands[0]);
    ::close(reports[1]);
    commandFd_ = commands[1];
    reportFd_ = reports[0];
  }
  ~Child() {
    if (commandFd_ >= 0) ::close(commandFd_);
    if (reportFd_ >= 0) ::close(reportFd_);
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0; }
  int reportFd() const { return reportFd_; }
  char report() { return readByte(reportFd_); }
  void tell(char c) { writeByte(commandFd_, c); }

  // The child's exit status, or -1 when it did not end within the limit.
  // Its end closes the report pipe.
  int wait() {
    pollfd p{reportFd_, POLLIN, 0};
    char c = 0;
    ssize_t n = 1;
    while (n == 1 && ::poll(&p, 1, kTimeLimitMs) == 1) n = ::read(reportFd_, &c, 1);
    if (n != 0) return -1;  // still running at the limit
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int commandFd_ = -1;
  int reportFd_ = -1;
  bool waited_ = false;
};

TEST(KXSFolderLockTest, TwoProcessesTakeTurnsWhenOneKeepsRetakingTheLock) {
  kxtest::TempAppRoot root;
  const std::string folder = root.path();
  Child child(folder);
  ASSERT_TRUE(child.started());
  ASSERT_EQ(child.report(), 'H');

  // This process waits for the folder; once it is next in line, the child
  // lets go and at once asks again.
  int events[2];
  ASSERT_EQ(::pipe2(events, O_CLOEXEC), 0);
  KXSFolderLock lock;
  bool acquired = false;
  kx::Error error;
  std::thread waiter([&] {
    acquired =
        lock.acquire(folder, kTimeLimitMs / 1000.0, &error, [&] { writeByte(events[1], 'Q'); });
    writeByte(events[1], 'D');
  });
  EXPECT_EQ(readByte(events[0]), 'Q');
  child.tell('g');
  // The waiter gets the folder before the child has it again.
  pollfd both[2] = {{events[0], POLLIN, 0}, {child.reportFd(), POLLIN, 0}};
  ASSERT_EQ(::poll(both, 2, kTimeLimitMs), 1);
  EXPECT_TRUE(both[0].revents & POLLIN) << "the child took the lock back first";
  EXPECT_EQ(readByte(events[0]), 'D');
  waiter.join();
  EXPECT_TRUE(acquired) << error.localizedDescription();
  EXPECT_TRUE(lock.held());

  // While this process holds it, the child cannot have it; once it is
  // released the child gets it in turn.
  lock.release();
  EXPECT_EQ(child.report(), 'H');
  child.tell('s');
  EXPECT_EQ(child.wait(), 0);
  ::close(events[0]);
  ::close(events[1]);
}

TEST(KXSFolderLockTest, ABusyFolderIsReportedAsBusy) {
  kxtest::TempAppRoot root;
  KXSFolderLock holder;
  kx::Error error;
  ASSERT_TRUE(holder.acquire(root.path(), 0, &error));
  KXSFolderLock other;
  EXPECT_FALSE(other.acquire(root.path(), 0, &error));
  EXPECT_EQ(error.domain(), kKXSErrorDomain);
  EXPECT_EQ(error.code(), KXSErrorIndexBusy);
  EXPECT_FALSE(other.held());
  holder.release();
  error = kx::Error();
  EXPECT_TRUE(other.acquire(root.path(), 0, &error));
  EXPECT_FALSE(error);
}

}  // namespace
