// KXFileManager's clean-up at start: the temporaries that atomic writers
// left behind when their process died.

#include "Data/KXFileManager.h"

#include <signal.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/KXFileManagerInternal.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/Places.h"
#include "platform/Time.h"

namespace {

// A writer's temporary is stale when the process that made it is gone, or
// when nothing has touched it for a day: no write of ours leaves its
// temporary alone that long, and an old one whose process id was taken by
// another process would otherwise stay for good.
constexpr std::int64_t kStaleTemporaryAgeSeconds = 24 * 60 * 60;

bool isWriterGone(std::uint32_t pid) {
  // Ids that kill(2) reads as "my group" or as a group name no writer.
  if (pid == 0 || pid > 0x7fffffffu) return true;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

using kx::file_manager_internal::join;

// ---------------------------------------------------------------------------
// Stale temporaries
// ---------------------------------------------------------------------------

void KXFileManager::removeStaleTemporaryFiles(Completion completion) {
  kx::GlobalQueue::get(kx::QueuePriority::Background).async([completion = std::move(completion)] {
    const std::int64_t now = kx::Time::nowSeconds();
    kx::Error error;
    std::size_t removed = 0;
    for (const std::string& root : {kx::Places::applicationDataRoot(), kx::Places::scratchRoot()}) {
      if (!root.empty()) removed += removeStaleTemporariesUnder(root, now, &error);
    }
    if (removed > 0 || error) {
      KXLOG("removed %zu stale temporary files%s%s", removed, error ? ": " : "",
            error ? error.localizedDescription().c_str() : "");
    }
    if (completion) completion(error);
  });
}

std::size_t KXFileManager::removeStaleTemporariesUnder(const std::string& root, std::int64_t now,
                                                       kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::size_t removed = 0;
  // An explicit stack: a deep tree cannot exhaust the thread's stack.
  std::vector<std::string> folders{root};
  while (!folders.empty()) {
    const std::string folder = std::move(folders.back());
    folders.pop_back();
    std::vector<kx::DirectoryEntry> entries;
    kx::Error listError;
    if (!fs.listDirectory(folder, &entries, &listError)) {
      // A folder removed meanwhile (the scratch folder is emptied at start)
      // is no failure.
      if (!(listError.domain() == kx::kPosixErrorDomain && listError.code() == ENOENT) && !*error) {
        *error = std::move(listError);
      }
      continue;
    }
    for (const kx::DirectoryEntry& entry : entries) {
      const std::string path = join(folder, entry.name);
      std::uint32_t writer = 0;
      if (kx::FileSystem::isTemporaryName(entry.name, &writer)) {
        kx::FileInfo info;
        if (!fs.getInfo(path, /*followSymlinks=*/false, &info, nullptr)) continue;
        const bool old = info.modificationTime.seconds < now - kStaleTemporaryAgeSeconds;
        if (!old && !isWriterGone(writer)) continue;
        kx::Error removeError;
        if (removeOwnedItem(path, &removeError)) {
          ++removed;
        } else if (!(removeError.domain() == kx::kPosixErrorDomain &&
                     removeError.code() == ENOENT) &&
                   !*error) {
          *error = std::move(removeError);
        }
      } else if (entry.isDirectory) {
        // Links are never followed: nothing outside the roots is looked at.
        folders.push_back(path);
      }
    }
  }
  return removed;
}
