// KXFileManager's resource files (written or copied in, named only once
// their bytes are on disk, and removed through the lookup the data client
// installs), their digests, and the temporary copies made for preview.

#include "Data/client/KXFileManager.h"

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/KXAppTempDirectory.h"
#include "CommonUtils/KXLogger.h"
#include "Data/client/KXFileManagerInternal.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "platform/FileSystem.h"
#include "platform/Mutex.h"
#include "platform/Path.h"

namespace {

// Removes a file id from the copy bookkeeping when it goes out of scope, so
// that an exception from a completion handler cannot leave the mark behind.
class CopyMark {
 public:
  CopyMark(KXFileManager& manager, std::string fileId)
      : manager_(manager), fileId_(std::move(fileId)) {
    manager_.updateCopiedResourceInfos([this](kx::Dictionary& d) { d.set(fileId_, true); });
  }
  ~CopyMark() {
    manager_.updateCopiedResourceInfos([this](kx::Dictionary& d) { d.remove(fileId_); });
  }
  CopyMark(const CopyMark&) = delete;
  CopyMark& operator=(const CopyMark&) = delete;

 private:
  KXFileManager& manager_;
  std::string fileId_;
};

// Whether the temporary copy at `copy` is at least as new as the stored
// file described by `source`.
bool isCurrentCopy(const std::string& copy, const kx::FileInfo& source) {
  kx::FileInfo info;
  return kx::FileSystem::Default().getInfo(copy, true, &info, nullptr) &&
         !(info.modificationTime < source.modificationTime);
}

}  // namespace

using kx::file_manager_internal::itemsIn;
using kx::file_manager_internal::join;
using kx::file_manager_internal::temporaryFolderFor;

// ---------------------------------------------------------------------------
// Digests
// ---------------------------------------------------------------------------

std::string KXFileManager::dataHashForResourceData(kx::ByteView data) {
  return kx::Crypto::md5Hex(data);
}

std::optional<std::string> KXFileManager::datahashForResourceURL(const std::string& path) {
  kx::Digest digest(kx::Digest::Algorithm::MD5);
  std::uint64_t total = 0;
  bool read = kx::FileSystem::Default().readChunks(
      path, kHashChunkSize,
      [&](const std::uint8_t* data, std::size_t size) {
        digest.update(kx::ByteView(data, size));
        total += size;
        return true;
      },
      nullptr);
  if (!read) return std::nullopt;
  if (total == 0) return std::string();
  std::string hex = digest.finishHex();
  if (hex.empty()) return std::nullopt;
  return hex;
}

// ---------------------------------------------------------------------------
// Resource files
// ---------------------------------------------------------------------------

void KXFileManager::writeResourceFile(const kx::Value& resourceFileInfo,
                                      ResourceFileCompletion completion) {
  // The second bucket is the second of the clock now, as the path is formed.
  const std::string path = resourceFileURL(resourceFileInfo);
  const kx::Value& data = resourceFileInfo[kKXResourceFileInfoEntryData];
  const bool hasData = data.isData() || data.isString();
  std::string bytes;
  if (data.isData()) {
    bytes.assign(reinterpret_cast<const char*>(data.bytes().data()), data.bytes().size());
  } else if (data.isString()) {
    bytes = data.string();
  }
  queueForWriteResource_.async([path, hasData, bytes = std::move(bytes),
                                completion = std::move(completion)] {
    kx::Error error;
    std::string hash;
    if (path.empty()) {
      error = kx::Error::posix(ENOENT, path);
    } else if (!hasData) {
      error = kx::Error::posix(EINVAL, path);
    } else if (kx::FileSystem::Default().writeFileAtomically(path, bytes, temporaryFolderFor(path),
                                                             &error)) {
      hash = dataHashForResourceData(bytes);
    }
    if (error) {
      KXLOG("write resource file %s fail: %s", path.c_str(), error.localizedDescription().c_str());
    }
    if (completion) completion(error ? std::string() : path, hash, error);
  });
}

void KXFileManager::copyResourceFileFormExtern(const kx::Value& resourceFileInfo,
                                               ResourceFileCompletion completion) {
  const std::string path = resourceFileURL(resourceFileInfo);
  const std::string source = resourceFileInfo[kKXResourceFileInfoExternFile].string();
  queueForWriteResource_.async([path, source, completion = std::move(completion)] {
    kx::FileSystem& fs = kx::FileSystem::Default();
    kx::Error error;
    std::string hash;
    bool isDirectory = false;
    if (path.empty()) {
      error = kx::Error::posix(ENOENT, path);
    } else if (source.empty() || !fs.exists(source, &isDirectory)) {
      error = kx::Error::posix(ENOENT, source);
    } else if (isDirectory) {
      error = kx::Error::posix(EISDIR, source);
    } else {
      kx::ignoreError(
          copyFileAtomically(source, path, temporaryFolderFor(path), nullptr, &hash, &error));
    }
    if (error) {
      KXLOG("copy resource file %s to %s fail: %s", source.c_str(), path.c_str(),
            error.localizedDescription().c_str());
      hash.clear();
    }
    if (completion) completion(error ? std::string() : path, hash, error);
  });
}

namespace {

struct ResourceFileLookupSlot {
  kx::Mutex mu;
  KXFileManager::ResourceFileLookup lookup GUARDED_BY(mu);
};

ResourceFileLookupSlot& resourceFileLookupSlot() {
  static ResourceFileLookupSlot* slot = new ResourceFileLookupSlot();
  return *slot;
}

}  // namespace

void KXFileManager::setResourceFileLookup(ResourceFileLookup lookup) {
  ResourceFileLookupSlot& slot = resourceFileLookupSlot();
  kx::MutexLock lock(slot.mu);
  slot.lookup = std::move(lookup);
}

void KXFileManager::removeResourceFile(const std::string& resourceId, Completion completion) {
  ResourceFileLookup lookup;
  {
    ResourceFileLookupSlot& slot = resourceFileLookupSlot();
    kx::MutexLock lock(slot.mu);
    lookup = slot.lookup;
  }
  // Called outside the lock: the lookup waits for the store's read queue.
  const std::string path = lookup ? lookup(resourceId) : std::string();
  queueForContent_.async([path, resourceId, completion = std::move(completion)] {
    kx::Error error;
    if (!path.empty() && kx::FileSystem::Default().getInfo(path, false, nullptr, nullptr)) {
      kx::ignoreError(removeOwnedItem(path, &error));
    }
    if (error) {
      KXLOG("remove resource file %s of %s fail: %s", path.c_str(), resourceId.c_str(),
            error.localizedDescription().c_str());
    }
    if (completion) completion(error);
  });
}

void KXFileManager::writeResourceFileSync(const kx::Value& /*resourceFileInfo*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

std::string KXFileManager::resourceURLForResource(const kx::Value& /*resource*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

std::string KXFileManager::dataHashForResourceDataStream(std::istream& /*stream*/) {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

// ---------------------------------------------------------------------------
// Temporary copies for preview
// ---------------------------------------------------------------------------

std::string KXFileManager::tempResourceDirectory(const std::string& fileId) {
  const std::string tmp = KXAppTempDirectoryURL();
  if (tmp.empty() || !isSafePathComponent(fileId)) return {};
  return join(join(tmp, kResourceDirectoryName), fileId);
}

void KXFileManager::copyResourceToTemp(const kx::Value& tempResourceInfo) {
  const std::string source = tempResourceInfo[kKXTempResourceInfoFile].string();
  const std::string fileId = tempResourceInfo[kKXTempResourceInfoFileId].string();
  const std::string title = tempResourceInfo[kKXTempResourceInfoTitle].string();
  kx::FileInfo sourceInfo;
  if (source.empty() || !kx::FileSystem::Default().getInfo(source, true, &sourceInfo, nullptr)) {
    return;
  }
  const std::string destination = URLForTempResourceFileWithID(fileId, title);
  if (destination.empty() || isCurrentCopy(destination, sourceInfo)) return;
  queueForCopyResource_.async(
      [this, fileId, source, destination] { copyToTempNow(fileId, source, destination); });
}

void KXFileManager::copyToTempNow(const std::string& fileId, const std::string& source,
                                  const std::string& destination) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::FileInfo sourceInfo;
  if (!fs.getInfo(source, true, &sourceInfo, nullptr)) {
    KXLOG("temp copy of %s: the stored file %s is gone", fileId.c_str(), source.c_str());
    return;
  }
  // Requests queued before this one may have made the copy already.
  if (isCurrentCopy(destination, sourceInfo)) return;

  CopyMark mark(*this, fileId);
  const std::string directory = kx::Path::deletingLastPathComponent(destination);
  const std::string name = kx::Path::lastPathComponent(destination);
  kx::Error error;
  bool ok = createNonExistsDir(directory);
  if (!ok) error = kx::Error::posix(ENOENT, directory);
  if (ok) {
    // One copy per id, also when the title changed. A copy under the same
    // name is replaced in one step, so its readers never see it missing.
    for (const kx::DirectoryEntry& entry : itemsIn(directory)) {
      if (entry.name != name)
        kx::ignoreError(removeOwnedItem(join(directory, entry.name), nullptr));
    }
    // The copy is made in the writers' folder, so that a lookup of the
    // id's folder never finds a half-made copy.
    ok = copyFileAtomically(source, destination, temporaryFolderFor(destination),
                            &sourceInfo.modificationTime, nullptr, &error);
  }
  if (!ok) {
    KXLOG("write temp file %s fail ,error is %s", destination.c_str(),
          error.localizedDescription().c_str());
    // A stale copy must not pass for the stored file.
    if (fs.getInfo(destination, false, nullptr, nullptr))
      kx::ignoreError(removeOwnedItem(destination, nullptr));
  }
  CopyCompleteHandler handler = copyCompleteHandler();
  if (handler) handler(fileId, ok ? kx::Error() : error);
}

std::string KXFileManager::tempFileURLForResourceID(const std::string& fileId) {
  const std::string directory = tempResourceDirectory(fileId);
  if (directory.empty()) return {};
  const std::vector<kx::DirectoryEntry> entries = itemsIn(directory);
  if (entries.empty()) return {};
  return join(directory, entries.front().name);
}

void KXFileManager::tempFileForResourceID(const std::string& fileId, TempFileHandler handler) {
  queueForCopyResource_.async([this, fileId, handler = std::move(handler)] {
    const std::string path = tempFileURLForResourceID(fileId);
    if (handler) handler(path);
  });
}

bool KXFileManager::tempFileForResourceIDModified(const std::string& fileId,
                                                  const std::string& original) {
  const std::string copy = tempFileURLForResourceID(fileId);
  if (copy.empty()) return false;
  kx::FileSystem& fs = kx::FileSystem::Default();
  kx::FileInfo copyInfo;
  kx::FileInfo originalInfo;
  if (!fs.getInfo(copy, true, &copyInfo, nullptr) ||
      !fs.getInfo(original, true, &originalInfo, nullptr)) {
    return false;
  }
  if (copyInfo.modificationTime > originalInfo.modificationTime) return true;
  if (copyInfo.size > kTempCompareLimit && originalInfo.size > kTempCompareLimit) return false;
  if (copyInfo.size != originalInfo.size) return true;
  std::string a;
  std::string b;
  if (!fs.readFile(copy, &a, nullptr) || !fs.readFile(original, &b, nullptr)) return false;
  return a != b;
}

void KXFileManager::removeAllItemsInTempURL(const std::string& fileId) {
  const std::string directory = tempResourceDirectory(fileId);
  if (directory.empty()) return;
  std::vector<kx::DirectoryEntry> entries;
  kx::ignoreError(kx::FileSystem::Default().listDirectory(directory, &entries, nullptr));
  for (const kx::DirectoryEntry& entry : entries) {
    kx::Error error;
    if (!removeOwnedItem(join(directory, entry.name), &error)) {
      KXLOG("remove temp item %s fail: %s", entry.name.c_str(),
            error.localizedDescription().c_str());
    }
  }
}

void KXFileManager::clearTemp() {
  queueForCopyResource_.async([] {
    const std::string tmp = KXAppTempDirectoryURL();
    kx::Error error;
    if (!tmp.empty() && kx::FileSystem::Default().exists(tmp) && !removeOwnedItem(tmp, &error)) {
      KXLOG("clear temp %s fail: %s", tmp.c_str(), error.localizedDescription().c_str());
    }
  });
}
