#include "CommonUtils/KXWritersTemporaryDirectory.h"

#include <string>

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Places.h"

namespace {

// Whether `path` lies strictly below the folder `root` (textually, after
// collapsing slashes; a "." or ".." component never does).
bool isStrictlyBelow(const std::string& path, const std::string& root) {
  if (root.empty() || root[0] != '/' || path.empty()) return false;
  const std::string p = kx::Path::standardizingPath(path);
  const std::string r = kx::Path::standardizingPath(root);
  const std::string prefix = r == "/" ? r : r + "/";
  if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) return false;
  for (const std::string& component : kx::Path::pathComponents(p)) {
    if (component == "." || component == "..") return false;
  }
  return true;
}

// Makes the writers' folder when it is not a folder yet.
void ensureFolder(const std::string& folder) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::FileInfo info;
  if (fs.getInfo(folder, /*followSymlinks=*/false, &info, nullptr)) {
    if (info.isDirectory()) return;
    // Only the writers put anything here: a file or a link in the folder's
    // place is no stored file, and a link is never followed.
    kx::ignoreError(fs.removeItem(folder, nullptr));
  }
  // A failure is not reported here: the writes that need the folder fail
  // and say why.
  kx::ignoreError(fs.createDirectory(folder, /*withIntermediates=*/true, 0700, nullptr));
}

}  // namespace

std::string KXWritersTemporaryDirectory(const std::string& root) {
  if (root.empty()) return {};
  return kx::Path::appendingPathComponent(root, kKXWritersTemporaryDirectoryName);
}

std::string KXWritersTemporaryDirectoryFor(const std::string& targetPath) {
  for (const std::string& root : {kx::Places::applicationDataRoot(), kx::Places::scratchRoot()}) {
    if (!isStrictlyBelow(targetPath, root)) continue;
    const std::string folder = KXWritersTemporaryDirectory(root);
    // The writers' own folder is no target of theirs.
    if (targetPath == folder || isStrictlyBelow(targetPath, folder)) break;
    ensureFolder(folder);
    return folder;
  }
  return kx::Path::deletingLastPathComponent(targetPath);
}
