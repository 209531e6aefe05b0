#include "CommonUtils/KXAppTempDirectory.h"

#include <unistd.h>

#include <map>

#include "platform/FileSystem.h"
#include "platform/Mutex.h"
#include "platform/Path.h"
#include "platform/Places.h"

namespace {

// Empties and recreates the directory at `path` (see the header).
void setUp(const std::string& path) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::Error error;
  if (!kx::Places::ensureScratchRoot(&error)) return;
  kx::FileInfo info;
  if (fs.getInfo(path, /*followSymlinks=*/false, &info, nullptr)) {
    if (info.isDirectory()) {
      if (info.uid != static_cast<std::uint32_t>(::geteuid())) return;
      kx::ignoreError(fs.removeItem(path, nullptr));
    } else if (info.isSymlink()) {
      kx::ignoreError(fs.removeFile(path, nullptr));
    } else {
      return;
    }
  }
  kx::ignoreError(fs.ensurePrivateDirectory(path, nullptr));
}

}  // namespace

std::string KXAppTempDirectoryURL() {
  static kx::Mutex mu;
  static std::map<std::string, std::string>* readyByRoot = new std::map<std::string, std::string>();
  const std::string root = kx::Places::scratchRoot();
  if (root.empty()) return {};
  kx::MutexLock lock(mu);
  auto it = readyByRoot->find(root);
  if (it != readyByRoot->end()) return it->second;
  const std::string path = kx::Path::appendingPathComponent(root, kKXAppTempDirectoryName);
  setUp(path);
  readyByRoot->emplace(root, path);
  return path;
}
