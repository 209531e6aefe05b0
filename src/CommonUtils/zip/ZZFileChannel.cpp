#include "CommonUtils/zip/ZZFileChannel.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZFileChannelOutput.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"

namespace {

struct Mapping {
  void* address = nullptr;
  std::size_t length = 0;
  ~Mapping() {
    if (address) munmap(address, length);
  }
};

}  // namespace

ZZFileChannel::ZZFileChannel(std::string path) : path_(std::move(path)) {}

ZZFileChannel::ZZFileChannel(std::string path, bool temporary)
    : path_(std::move(path)), temporary_(temporary) {}

std::optional<ZZBytes> ZZFileChannel::newInput(kx::Error* error) {
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT) {
      kx::Dictionary info;
      info.set(kx::kFilePathErrorKey, kx::Value(path_));
      info.set(kx::kUnderlyingErrorKey, ZZError::toValue(kx::Error::posix(err, path_)));
      kx::SetError(error, kx::Error(kx::kCocoaErrorDomain, ZZFileReadNoSuchFileError,
                                    kx::Value(std::move(info))));
    } else {
      kx::SetError(error, kx::Error::posix(err, path_));
    }
    return std::nullopt;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    kx::SetError(error, kx::Error::posix(err, path_));
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    kx::SetError(error, kx::Error::posix(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path_));
    return std::nullopt;
  }
  if (st.st_size == 0) {
    ::close(fd);
    return ZZBytes(kx::Bytes());
  }
  auto mapping = std::make_shared<Mapping>();
  mapping->length = static_cast<std::size_t>(st.st_size);
  void* address = mmap(nullptr, mapping->length, PROT_READ, MAP_PRIVATE, fd, 0);
  int err = errno;
  ::close(fd);
  if (address == MAP_FAILED) {
    kx::SetError(error, kx::Error::posix(err, path_));
    return std::nullopt;
  }
  mapping->address = address;
  const auto* data = static_cast<const std::uint8_t*>(address);
  return ZZBytes(std::shared_ptr<const void>(mapping, mapping.get()), data, mapping->length);
}

std::unique_ptr<ZZChannel> ZZFileChannel::temporaryChannel(kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::string folder = kx::Path::deletingLastPathComponent(path_);
  if (folder.empty()) folder = ".";
  std::string prefix = "." + kx::Path::lastPathComponent(path_) + ".tmp-";
  std::string tempPath;
  std::unique_ptr<kx::WritableFile> file =
      fs.createTemporaryFile(folder, prefix, 0644, &tempPath, error);
  if (!file) return nullptr;
  if (!file->close(error)) {
    kx::ignoreError(fs.removeFile(tempPath, nullptr));
    return nullptr;
  }
  return std::unique_ptr<ZZChannel>(new ZZFileChannel(tempPath, true));
}

bool ZZFileChannel::replaceWithChannel(ZZChannel& channel, kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  const std::string from = channel.path();
  if (from.empty()) {
    kx::SetError(error, kx::Error::posix(EINVAL, path_));
    return false;
  }
  // The new archive keeps the permissions of the one it replaces.
  kx::FileInfo info;
  if (fs.getInfo(path_, true, &info, nullptr) && info.isRegular()) {
    if (!fs.setPermissions(from, info.mode, error)) return false;
  }
  if (!fs.rename(from, path_, error)) return false;
  std::string folder = kx::Path::deletingLastPathComponent(path_);
  return fs.syncDirectory(folder.empty() ? "." : folder, error);
}

void ZZFileChannel::removeAsTemporary() {
  if (!temporary_) return;
  kx::FileSystem& fs = kx::FileSystem::Default();
  if (fs.exists(path_)) kx::ignoreError(fs.removeFile(path_, nullptr));
}

std::unique_ptr<ZZChannelOutput> ZZFileChannel::newOutput(kx::Error* error) {
  std::unique_ptr<kx::WritableFile> file = kx::FileSystem::Default().newWritableFile(
      path_, kx::FileSystem::WriteMode::Truncate, 0644, error);
  if (!file) return nullptr;
  return std::make_unique<ZZFileChannelOutput>(std::move(file));
}
