#include "platform/DirectorySyncer.h"

#include <cerrno>
#include <utility>

#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"

namespace kx {

DirectorySyncer& DirectorySyncer::shared() {
  static DirectorySyncer* syncer = new DirectorySyncer(GlobalQueue::get(), kSharedGatherSeconds);
  return *syncer;
}

DirectorySyncer::DirectorySyncer(Queue& queue, double gatherSeconds)
    : queue_(queue), gatherSeconds_(gatherSeconds) {}

void DirectorySyncer::queueRun(const std::string& path) {
  if (gatherSeconds_ > 0) {
    queue_.after(gatherSeconds_, [this, path] { run(path); });
  } else {
    queue_.async([this, path] { run(path); });
  }
}

void DirectorySyncer::syncDirectory(const std::string& path, Done done) {
  bool start = false;
  {
    MutexLock lock(mu_);
    Folder& folder = folders_[path];
    folder.waiting.push_back(std::move(done));
    if (!folder.queued && !folder.running) {
      folder.queued = true;
      start = true;
    }
  }
  if (start) queueRun(path);
}

std::size_t DirectorySyncer::syncsStarted() const {
  MutexLock lock(mu_);
  return syncsStarted_;
}

void DirectorySyncer::run(const std::string& path) {
  std::vector<Done> answered;
  {
    MutexLock lock(mu_);
    Folder& folder = folders_[path];
    folder.queued = false;
    folder.running = true;
    answered.swap(folder.waiting);
    ++syncsStarted_;
  }
  // Every request taken here came after its rename: this sync covers them.
  Error error;
  if (!FileSystem::Default().syncDirectory(path, &error) && !error) {
    error = Error::posix(EIO, path);
  }
  bool again = false;
  {
    MutexLock lock(mu_);
    Folder& folder = folders_[path];
    folder.running = false;
    if (folder.waiting.empty()) {
      folders_.erase(path);
    } else {
      folder.queued = true;
      again = true;
    }
  }
  if (again) queueRun(path);
  // Answered last: an answer may let its caller go on to free the syncer.
  for (Done& done : answered) {
    if (done) done(error);
  }
}

}  // namespace kx
