// KXFileManager: the shared instance, the copy bookkeeping and the helpers
// every file operation uses. The layout, content, resource and clean-up
// work live in KXFileManagerLayout.cpp, KXFileManagerContent.cpp,
// KXFileManagerResources.cpp and KXFileManagerCleanup.cpp.

#include "Data/client/KXFileManager.h"

#include <cerrno>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXWritersTemporaryDirectory.h"
#include "Data/client/KXFileManagerInternal.h"
#include "platform/FileSystem.h"
#include "platform/Mutex.h"
#include "platform/Path.h"
#include "platform/Places.h"

namespace {

// Copies are streamed in pieces of this size.
constexpr std::size_t kCopyChunkSize = 256 * 1024;

}  // namespace

namespace kx::file_manager_internal {

std::string temporaryFolderFor(const std::string& path) {
  return KXWritersTemporaryDirectoryFor(path);
}

std::vector<kx::DirectoryEntry> itemsIn(const std::string& directory) {
  std::vector<kx::DirectoryEntry> entries;
  if (!kx::FileSystem::Default().listDirectory(directory, &entries, nullptr)) return {};
  return entries;
}

std::vector<kx::DirectoryEntry> storedFileCandidatesIn(const std::string& directory,
                                                       const std::string& ownName) {
  std::vector<kx::DirectoryEntry> entries = itemsIn(directory);
  std::erase_if(entries, [&](const kx::DirectoryEntry& entry) {
    return !entry.name.empty() && entry.name[0] == '.' && entry.name != ownName;
  });
  return entries;
}

}  // namespace kx::file_manager_internal

KXFileManager::KXFileManager()
    : queueForContent_("com.zarvel.note.contentFile"),
      queueForWriteResource_("com.zarvel.note.resFile.write"),
      queueForReadResource_("com.zarvel.note.resFile.read"),
      queueForCopyResource_("com.zarvel.note.resFile.copy") {}

KXFileManager& KXFileManager::defaultManauger() {
  static KXFileManager* manager = [] {
    auto* created = new KXFileManager();
    KXHooks::setCurrentUserDataDirectoryProvider(
        [created] { return created->URLForCurrentUserDataDirectory(); });
    KXHooks::setConfigurationFilePathProvider(
        [created] { return created->URLForConfigurationFile(); });
    return created;
  }();
  return *manager;
}

KXFileManager::CopyCompleteHandler KXFileManager::copyCompleteHandler() const {
  kx::MutexLock lock(mu_);
  return copyCompleteHandler_;
}

void KXFileManager::setCopyCompleteHandler(CopyCompleteHandler handler) {
  kx::MutexLock lock(mu_);
  copyCompleteHandler_ = std::move(handler);
}

kx::Dictionary KXFileManager::copiedResourceInfos() const {
  kx::MutexLock lock(mu_);
  return copiedResourceInfos_;
}

void KXFileManager::updateCopiedResourceInfos(const std::function<void(kx::Dictionary&)>& change) {
  kx::MutexLock lock(mu_);
  change(copiedResourceInfos_);
}

// ---------------------------------------------------------------------------
// Helpers of the file operations
// ---------------------------------------------------------------------------

bool KXFileManager::removeOwnedItem(const std::string& path, kx::Error* error) {
  if (!isRemovable(path)) {
    kx::SetError(error, kx::Error::posix(EPERM, path));
    return false;
  }
  return kx::FileSystem::Default().removeItem(path, error);
}

bool KXFileManager::copyFileAtomically(const std::string& from, const std::string& to,
                                       const std::string& tempFolder,
                                       const kx::FileTime* modificationTime, std::string* md5Hex,
                                       kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::string tempPath;
  std::unique_ptr<kx::WritableFile> file = fs.createTemporaryFile(
      tempFolder, kx::FileSystem::temporaryPrefixFor(kx::Path::lastPathComponent(to)), 0666,
      &tempPath, error);
  if (!file) return false;

  kx::Digest digest(kx::Digest::Algorithm::MD5);
  std::uint64_t total = 0;
  kx::Error failure;
  bool appendFailed = false;
  bool ok = fs.readChunks(
      from, kCopyChunkSize,
      [&](const std::uint8_t* data, std::size_t size) {
        if (!file->append(std::string_view(reinterpret_cast<const char*>(data), size), &failure)) {
          appendFailed = true;
          return false;
        }
        if (md5Hex) digest.update(kx::ByteView(data, size));
        total += size;
        return true;
      },
      &failure);
  ok = ok && !appendFailed && file->sync(&failure) && file->close(&failure);
  file.reset();
  if (ok && modificationTime) ok = fs.setModificationTime(tempPath, *modificationTime, &failure);
  if (ok) ok = fs.rename(tempPath, to, &failure);
  if (!ok) {
    kx::ignoreError(fs.removeFile(tempPath, nullptr));
    kx::SetError(error, std::move(failure));
    return false;
  }
  if (!fs.syncDirectory(kx::Path::deletingLastPathComponent(to), &failure)) {
    kx::SetError(error, std::move(failure));
    return false;
  }
  if (md5Hex) *md5Hex = total == 0 ? std::string() : digest.finishHex();
  return true;
}
