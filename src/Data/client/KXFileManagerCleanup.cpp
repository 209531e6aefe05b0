// KXFileManager's clean-up at start: the temporaries that atomic writers
// left behind when their process died.

#include "Data/client/KXFileManager.h"

#include <signal.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXWritersTemporaryDirectory.h"
#include "Data/client/KXFileManagerInternal.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/Path.h"
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
    for (const std::string& folder : staleTemporarySweepFolders()) {
      removed += removeStaleTemporariesIn(folder, now, &error);
    }
    if (removed > 0 || error) {
      KXLOG("removed %zu stale temporary files%s%s", removed, error ? ": " : "",
            error ? error.localizedDescription().c_str() : "");
    }
    if (completion) completion(error);
  });
}

std::vector<std::string> KXFileManager::staleTemporarySweepFolders() {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::vector<std::string> folders;
  const std::string appdata = kx::Places::applicationDataRoot();
  for (const std::string& root : {appdata, kx::Places::scratchRoot()}) {
    if (!root.empty()) folders.push_back(KXWritersTemporaryDirectory(root));
  }
  if (appdata.empty()) return folders;
  // Older builds made their temporaries among the stored files. Of those
  // folders only the ones whose items this program names itself, and that
  // never hold a file named by a title, an id or the service, are looked
  // at: there a name shaped like a temporary's is one. Elsewhere (a normal
  // file's folder, a content bucket, the shared downloads) it may be a
  // stored file, so what older builds left there stays; it is hidden, and
  // no lookup takes it for a stored file.
  folders.push_back(appdata);
  auto subfolders = [&fs](const std::string& folder) {
    std::vector<std::string> out;
    std::vector<kx::DirectoryEntry> entries;
    if (!fs.listDirectory(folder, &entries, nullptr)) return out;
    for (const kx::DirectoryEntry& entry : entries) {
      if (entry.isDirectory && !entry.name.empty() && entry.name[0] != '.') {
        out.push_back(join(folder, entry.name));
      }
    }
    return out;
  };
  for (const std::string& user : subfolders(appdata)) {
    const std::string name = kx::Path::lastPathComponent(user);
    if (name == kBgImageDirectoryName || name == kEditorDirectoryName) continue;
    folders.push_back(user);
    for (const char* fixed : {kContentDirectoryName, kResourceDirectoryName, kPreviewDirectoryName,
                              kThumbnailDirectoryName}) {
      folders.push_back(join(user, fixed));
    }
    for (const std::string& bucket : subfolders(join(user, kResourceDirectoryName))) {
      folders.push_back(bucket);
    }
  }
  return folders;
}

std::size_t KXFileManager::removeStaleTemporariesIn(const std::string& folder, std::int64_t now,
                                                    kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::size_t removed = 0;
  // Names only: most of what these folders hold is the user's data, and
  // only a name shaped like a temporary's is looked at (lstat) at all.
  std::vector<std::string> names;
  kx::Error listError;
  if (!fs.listNames(folder, &names, &listError)) {
    // A folder that is not there (none made yet, or removed meanwhile) is
    // no failure.
    if (!(listError.domain() == kx::kPosixErrorDomain &&
          (listError.code() == ENOENT || listError.code() == ENOTDIR)) &&
        !*error) {
      *error = std::move(listError);
    }
    return 0;
  }
  for (const std::string& name : names) {
    std::uint32_t writer = 0;
    if (!kx::FileSystem::isTemporaryName(name, &writer)) continue;
    const std::string path = join(folder, name);
    kx::FileInfo info;
    if (!fs.getInfo(path, /*followSymlinks=*/false, &info, nullptr)) continue;
    const bool old = info.modificationTime.seconds < now - kStaleTemporaryAgeSeconds;
    if (!old && !isWriterGone(writer)) continue;
    kx::Error removeError;
    if (removeOwnedItem(path, &removeError)) {
      ++removed;
    } else if (!(removeError.domain() == kx::kPosixErrorDomain && removeError.code() == ENOENT) &&
               !*error) {
      *error = std::move(removeError);
    }
  }
  return removed;
}
