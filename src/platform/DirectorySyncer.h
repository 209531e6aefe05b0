// kx::DirectorySyncer makes renames into folders durable with as few folder
// syncs as it can. A caller that has renamed a file into a folder asks for
// the folder to be synced and is answered once a sync of that folder that
// began after its request has ended, with that sync's error (empty when it
// succeeded): the rename is then on the disk. Requests for a folder that
// arrive while a sync of it is queued join that sync; those that arrive
// while one runs wait for the next, which then covers them all. So a burst
// of renames into one folder costs a few syncs, not one each, and no caller
// is told its rename is durable before a sync that started after it has
// ended. A syncer made with a gathering time starts a folder's sync that
// long after the first request that finds none queued, so that a steady
// stream of renames (a pull placing thousands of bodies) shares one sync
// per folder per gathering time; each answer comes that much later.
//
// Syncs go through kx::FileSystem::Default() as it is when they run, on the
// queue given at construction (a global queue: a sync waits for the disk);
// the requests a sync covers are answered there, one after another in the
// order they came, without the lock held, once the syncer is done with
// that sync. Syncs of different folders run side by side.
//
// Thread safety: every member may be called from any thread, also from an
// answer. The syncer must outlive the syncs it has queued (it may go once
// every request has been answered); shared() is never freed.
#ifndef ZN_PLATFORM_DIRECTORYSYNCER_H_
#define ZN_PLATFORM_DIRECTORYSYNCER_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Queue.h"

namespace kx {

class DirectorySyncer {
 public:
  using Done = std::function<void(const Error& error)>;

  // The process's syncer, on the default global queue, gathering requests
  // for kSharedGatherSeconds.
  static DirectorySyncer& shared();
  static constexpr double kSharedGatherSeconds = 0.02;

  explicit DirectorySyncer(Queue& queue, double gatherSeconds = 0);
  DirectorySyncer(const DirectorySyncer&) = delete;
  DirectorySyncer& operator=(const DirectorySyncer&) = delete;

  // Answers `done` once a sync of `path` that began after this call has
  // ended.
  void syncDirectory(const std::string& path, Done done);

  // Syncs started so far (each covers one or more requests).
  std::size_t syncsStarted() const;

 private:
  struct Folder {
    bool queued = false;   // a sync is queued and has not taken its requests yet
    bool running = false;  // a sync took its requests and has not answered them
    std::vector<Done> waiting;
  };

  // Queued on queue_: takes the folder's waiting requests, syncs it once and
  // answers them; queues the next sync when more came meanwhile.
  void run(const std::string& path);
  // Queues run(path) on queue_, after the gathering time.
  void queueRun(const std::string& path);

  Queue& queue_;
  const double gatherSeconds_;
  mutable Mutex mu_;
  std::map<std::string, Folder> folders_ GUARDED_BY(mu_);
  std::size_t syncsStarted_ GUARDED_BY(mu_) = 0;
};

}  // namespace kx

#endif  // ZN_PLATFORM_DIRECTORYSYNCER_H_
