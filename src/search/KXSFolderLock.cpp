#include "search/KXSFolderLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/Path.h"
#include "search/KXSError.h"

namespace {

constexpr const char* kLockName = "zarvelnote-indexer.lock";
constexpr const char* kGateName = "zarvelnote-indexer.gate";

using Clock = std::chrono::steady_clock;

int openLockFile(const std::string& path, kx::Error* error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) kx::SetError(error, kx::Error::posix(errno, path));
  return fd;
}

enum class Outcome { kTaken, kTimedOut, kFailed };

// Takes an exclusive flock on fd, trying again with short pauses (growing to
// 5 ms) until the deadline.
Outcome lockBefore(int fd, Clock::time_point deadline, const std::string& path, kx::Error* error) {
  auto pause = std::chrono::microseconds(250);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Outcome::kTaken;
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK) {
      kx::SetError(error, kx::Error::posix(err, path));
      return Outcome::kFailed;
    }
    const auto now = Clock::now();
    if (now >= deadline) return Outcome::kTimedOut;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(5));
  }
}

}  // namespace

std::string KXSFolderLock::lockPath(const std::string& indexDirectory) {
  return kx::Path::appendingPathComponent(indexDirectory, kLockName);
}

std::string KXSFolderLock::gatePath(const std::string& indexDirectory) {
  return kx::Path::appendingPathComponent(indexDirectory, kGateName);
}

KXSFolderLock::~KXSFolderLock() { release(); }

void KXSFolderLock::release() {
  if (lockFd_ < 0) return;
  ::flock(lockFd_, LOCK_UN);
  ::close(lockFd_);
  lockFd_ = -1;
}

bool KXSFolderLock::acquire(const std::string& indexDirectory, double timeoutSeconds,
                            kx::Error* error, const std::function<void()>& queued) {
  release();
  const std::string lockFile = lockPath(indexDirectory);
  const std::string gateFile = gatePath(indexDirectory);
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
  const int lockFd = openLockFile(lockFile, error);
  if (lockFd < 0) return false;
  const int gateFd = openLockFile(gateFile, error);
  if (gateFd < 0) {
    ::close(lockFd);
    return false;
  }
  // The gate is held only by the one waiter that is next in line, and only
  // until the current holder lets the folder go.
  Outcome outcome = lockBefore(gateFd, deadline, gateFile, error);
  if (outcome == Outcome::kTaken) {
    if (queued) queued();
    outcome = lockBefore(lockFd, deadline, lockFile, error);
    ::flock(gateFd, LOCK_UN);
  }
  ::close(gateFd);
  if (outcome == Outcome::kTaken) {
    lockFd_ = lockFd;
    return true;
  }
  ::close(lockFd);
  if (outcome == Outcome::kTimedOut) {
    kx::SetError(
        error, KXSMakeError(KXSErrorIndexBusy, "the full-text index is in use by another process"));
  }
  return false;
}
