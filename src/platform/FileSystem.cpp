#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/Path.h"

namespace kx {

namespace {

[[nodiscard]] bool fail(Error* error, int err, std::string_view path) {
  SetError(error, Error::posix(err, path));
  return false;
}

// The errno value an error carries, or 0 when it is not a POSIX error.
int posixCode(const Error& error) {
  return error.domain() == kPosixErrorDomain ? static_cast<int>(error.code()) : 0;
}

FileInfo infoFromStat(const struct stat& st) {
  FileInfo info;
  if (S_ISREG(st.st_mode)) {
    info.type = FileType::Regular;
  } else if (S_ISDIR(st.st_mode)) {
    info.type = FileType::Directory;
  } else if (S_ISLNK(st.st_mode)) {
    info.type = FileType::Symlink;
  } else {
    info.type = FileType::Other;
  }
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mode = st.st_mode & 07777;
  info.uid = st.st_uid;
  info.gid = st.st_gid;
  info.modificationTime.seconds = st.st_mtim.tv_sec;
  info.modificationTime.nanoseconds = static_cast<std::int32_t>(st.st_mtim.tv_nsec);
  return info;
}

class PosixSequentialFile final : public SequentialFile {
 public:
  PosixSequentialFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixSequentialFile() override { ::close(fd_); }

  [[nodiscard]] bool read(void* buffer, std::size_t capacity, std::size_t* bytesRead,
                          Error* error) override {
    *bytesRead = 0;
    for (;;) {
      ssize_t n = ::read(fd_, buffer, capacity);
      if (n >= 0) {
        *bytesRead = static_cast<std::size_t>(n);
        return true;
      }
      if (errno != EINTR) return fail(error, errno, path_);
    }
  }

 private:
  int fd_;
  std::string path_;
};

class PosixWritableFile final : public WritableFile {
 public:
  PosixWritableFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  [[nodiscard]] bool append(std::string_view data, Error* error) override {
    if (fd_ < 0) return fail(error, EBADF, path_);
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
      ssize_t n = ::write(fd_, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(error, errno, path_);
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    return true;
  }

  [[nodiscard]] bool sync(Error* error) override {
    if (fd_ < 0) return fail(error, EBADF, path_);
    if (::fsync(fd_) != 0) return fail(error, errno, path_);
    return true;
  }

  [[nodiscard]] bool close(Error* error) override {
    if (fd_ < 0) return fail(error, EBADF, path_);
    int rc = ::close(fd_);
    fd_ = -1;  // never closed twice, even when close reports an error
    if (rc != 0) return fail(error, errno, path_);
    return true;
  }

 private:
  int fd_;
  std::string path_;
};

// Appends the names in `dir` other than "." and ".." to *names and closes
// it; a failed read is reported as an error naming `path`.
[[nodiscard]] bool readNamesAndClose(DIR* dir, const std::string& path,
                                     std::vector<std::string>* names, Error* error) {
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(dir);
    if (!entry) {
      int err = errno;
      ::closedir(dir);
      if (err != 0) return fail(error, err, path);
      return true;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names->emplace_back(name);
  }
}

// Removes everything inside the open folder `dirFd` (named `dirPath` in
// errors). Items are removed relative to the folder's descriptor and
// sub-folders are opened with O_NOFOLLOW, so a symbolic link met on the way
// is unlinked and never entered, even if it replaced a folder meanwhile.
[[nodiscard]] bool removeContents(int dirFd, const std::string& dirPath, Error* error) {
  std::vector<std::string> names;
  {
    int listFd = ::dup(dirFd);
    if (listFd < 0) return fail(error, errno, dirPath);
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
      int err = errno;
      ::close(listFd);
      return fail(error, err, dirPath);
    }
    ::rewinddir(dir);
    if (!readNamesAndClose(dir, dirPath, &names, error)) return false;
  }

  for (const std::string& name : names) {
    std::string full = dirPath + "/" + name;
    if (::unlinkat(dirFd, name.c_str(), 0) == 0) continue;
    int err = errno;
    if (err == ENOENT) continue;  // gone meanwhile
    // Linux answers EISDIR for a folder; POSIX allows EPERM.
    if (err != EISDIR && err != EPERM) return fail(error, err, full);
    int childFd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (childFd < 0) {
      if (errno == ENOENT) continue;
      // Not a folder after all: the unlink error was the real one.
      return fail(error, errno == ENOTDIR ? err : errno, full);
    }
    bool ok = removeContents(childFd, full, error);
    ::close(childFd);
    if (!ok) return false;
    if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      return fail(error, errno, full);
    }
  }
  return true;
}

class PosixFileSystem final : public FileSystem {
 public:
  [[nodiscard]] bool getInfo(const std::string& path, bool followSymlinks, FileInfo* info,
                             Error* error) override {
    struct stat st;
    int rc = followSymlinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) return fail(error, errno, path);
    if (info) *info = infoFromStat(st);
    return true;
  }

  [[nodiscard]] bool makeDirectory(const std::string& path, std::uint32_t mode,
                                   Error* error) override {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) return fail(error, errno, path);
    return true;
  }

  [[nodiscard]] bool removeFile(const std::string& path, Error* error) override {
    if (::unlink(path.c_str()) != 0) return fail(error, errno, path);
    return true;
  }

  [[nodiscard]] bool removeDirectory(const std::string& path, Error* error) override {
    if (::rmdir(path.c_str()) != 0) return fail(error, errno, path);
    return true;
  }

  [[nodiscard]] bool removeItem(const std::string& rawPath, Error* error) override {
    // Without trailing slashes: "link/" would make the system follow the link.
    std::string path = Path::standardizingPath(rawPath);
    if (path.empty()) return fail(error, ENOENT, rawPath);
    std::string last = Path::lastPathComponent(path);
    if (path == "/" || last == "." || last == "..") return fail(error, EINVAL, path);

    if (::unlink(path.c_str()) == 0) return true;
    int err = errno;
    if (err != EISDIR && err != EPERM) return fail(error, err, path);
    int dirFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return fail(error, errno == ENOTDIR ? err : errno, path);
    bool ok = removeContents(dirFd, path, error);
    ::close(dirFd);
    if (!ok) return false;
    if (::rmdir(path.c_str()) != 0) return fail(error, errno, path);
    return true;
  }

  [[nodiscard]] bool listNames(const std::string& path, std::vector<std::string>* names,
                               Error* error) override {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return fail(error, errno, path);
    std::vector<std::string> out;
    if (!readNamesAndClose(dir, path, &out, error)) return false;
    *names = std::move(out);
    return true;
  }

  [[nodiscard]] bool rename(const std::string& from, const std::string& to, Error* error) override {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      int err = errno;
      Error e = Error::posix(err, from);
      e.mutableUserInfo().set("NSDestinationFilePath", Value(to));
      SetError(error, std::move(e));
      return false;
    }
    return true;
  }

  std::unique_ptr<SequentialFile> newSequentialFile(const std::string& path,
                                                    Error* error) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      SetError(error, Error::posix(errno, path));
      return nullptr;
    }
    return std::make_unique<PosixSequentialFile>(fd, path);
  }

  std::unique_ptr<WritableFile> newWritableFile(const std::string& path, WriteMode how,
                                                std::uint32_t mode, Error* error) override {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (how == WriteMode::Exclusive ? O_EXCL : O_TRUNC);
    if (how == WriteMode::TruncateAppend) flags |= O_APPEND;
    int fd = ::open(path.c_str(), flags, static_cast<mode_t>(mode));
    if (fd < 0) {
      SetError(error, Error::posix(errno, path));
      return nullptr;
    }
    return std::make_unique<PosixWritableFile>(fd, path);
  }

  [[nodiscard]] bool syncDirectory(const std::string& path, Error* error) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail(error, errno, path);
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) return fail(error, err, path);
    return true;
  }

  [[nodiscard]] bool syncFile(const std::string& path, Error* error) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(error, errno, path);
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) return fail(error, err, path);
    return true;
  }

  [[nodiscard]] bool setPermissions(const std::string& path, std::uint32_t mode,
                                    Error* error) override {
    if (::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) {
      return fail(error, errno, path);
    }
    return true;
  }

  [[nodiscard]] bool setModificationTime(const std::string& path, FileTime time,
                                         Error* error) override {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;  // access time left alone
    times[1].tv_sec = static_cast<time_t>(time.seconds);
    times[1].tv_nsec = time.nanoseconds;
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return fail(error, errno, path);
    return true;
  }

  [[nodiscard]] bool readSymlink(const std::string& path, std::string* target,
                                 Error* error) override {
    std::vector<char> buffer(256);
    for (;;) {
      ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
      if (n < 0) return fail(error, errno, path);
      if (static_cast<std::size_t>(n) < buffer.size()) {
        target->assign(buffer.data(), static_cast<std::size_t>(n));
        return true;
      }
      buffer.resize(buffer.size() * 2);
    }
  }

  [[nodiscard]] bool createSymlink(const std::string& target, const std::string& path,
                                   Error* error) override {
    if (::symlink(target.c_str(), path.c_str()) != 0) return fail(error, errno, path);
    return true;
  }
};

std::atomic<FileSystem*> gDefaultOverride{nullptr};

// Random bits for temporary names: a per-process seed from the kernel,
// stirred with the name counter.
std::uint64_t processSeed() {
  static const std::uint64_t seed = [] {
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value) {
      value = static_cast<std::uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
              reinterpret_cast<std::uintptr_t>(&value);
    }
    return value;
  }();
  return seed;
}

std::uint64_t splitMix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::string hex(std::uint64_t value, int digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return out;
}

std::string folderOf(const std::string& standardPath) {
  std::string folder = Path::deletingLastPathComponent(standardPath);
  return folder.empty() ? std::string(".") : folder;
}

constexpr std::size_t kCopyBufferSize = 64 * 1024;

}  // namespace

// ---- Default instance ----

FileSystem& FileSystem::Posix() {
  static FileSystem* const instance = new PosixFileSystem();
  return *instance;
}

FileSystem& FileSystem::Default() {
  FileSystem* installed = gDefaultOverride.load(std::memory_order_acquire);
  return installed ? *installed : Posix();
}

void FileSystem::SetDefaultForTesting(FileSystem* fileSystem) {
  gDefaultOverride.store(fileSystem, std::memory_order_release);
}

FileSystem::ScopedDefaultForTesting::ScopedDefaultForTesting(FileSystem* fileSystem)
    : previous_(gDefaultOverride.exchange(fileSystem, std::memory_order_acq_rel)) {}

FileSystem::ScopedDefaultForTesting::~ScopedDefaultForTesting() {
  gDefaultOverride.store(previous_, std::memory_order_release);
}

// ---- Queries ----

bool FileSystem::exists(const std::string& path, bool* isDir) {
  FileInfo info;
  if (!getInfo(path, true, &info, nullptr)) return false;
  if (isDir) *isDir = info.isDirectory();
  return true;
}

bool FileSystem::exists(const std::string& path) { return exists(path, nullptr); }

bool FileSystem::isDirectory(const std::string& path) {
  bool isDir = false;
  return exists(path, &isDir) && isDir;
}

std::optional<std::uint64_t> FileSystem::fileSize(const std::string& path, Error* error) {
  FileInfo info;
  if (!getInfo(path, true, &info, error)) return std::nullopt;
  return info.size;
}

bool FileSystem::listDirectory(const std::string& path, std::vector<DirectoryEntry>* entries,
                               Error* error) {
  std::vector<std::string> names;
  if (!listNames(path, &names, error)) return false;
  std::sort(names.begin(), names.end());
  std::vector<DirectoryEntry> out;
  out.reserve(names.size());
  for (std::string& name : names) {
    FileInfo info;
    Error err;
    if (!getInfo(Path::appendingPathComponent(path, name), false, &info, &err)) {
      if (posixCode(err) == ENOENT) continue;
      SetError(error, std::move(err));
      return false;
    }
    DirectoryEntry entry;
    entry.name = std::move(name);
    entry.size = info.size;
    entry.isDirectory = info.isDirectory();
    entry.isSymlink = info.isSymlink();
    out.push_back(std::move(entry));
  }
  *entries = std::move(out);
  return true;
}

// ---- Folders ----

bool FileSystem::createDirectory(const std::string& rawPath, bool withIntermediates,
                                 std::uint32_t mode, Error* error) {
  std::string path = Path::standardizingPath(rawPath);
  if (path.empty()) return fail(error, ENOENT, rawPath);
  Error err;
  if (makeDirectory(path, mode, &err)) return true;
  int code = posixCode(err);
  if (code == EEXIST && withIntermediates && isDirectory(path)) return true;
  if (code == ENOENT && withIntermediates) {
    std::string parent = Path::deletingLastPathComponent(path);
    if (!parent.empty() && parent != path) {
      if (!createDirectory(parent, true, mode, error)) return false;
      err = Error();
      if (makeDirectory(path, mode, &err)) return true;
      if (posixCode(err) == EEXIST && isDirectory(path)) return true;
    }
  }
  SetError(error, std::move(err));
  return false;
}

bool FileSystem::ensurePrivateDirectory(const std::string& path, Error* error) {
  if (!createDirectory(path, true, 0700, error)) return false;
  FileInfo info;
  if (!getInfo(path, true, &info, error)) return false;
  if (!info.isDirectory()) return fail(error, ENOTDIR, path);
  if (info.uid != static_cast<std::uint32_t>(::geteuid())) return fail(error, EACCES, path);
  if (info.mode != 0700) return setPermissions(path, 0700, error);
  return true;
}

// ---- Reading ----

bool FileSystem::readChunks(
    const std::string& path, std::size_t chunkSize,
    const std::function<bool(const std::uint8_t* data, std::size_t size)>& consume, Error* error) {
  std::unique_ptr<SequentialFile> file = newSequentialFile(path, error);
  if (!file) return false;
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(chunkSize, 1));
  for (;;) {
    std::size_t n = 0;
    if (!file->read(buffer.data(), buffer.size(), &n, error)) return false;
    if (n == 0) return true;
    if (!consume(buffer.data(), n)) return true;
  }
}

bool FileSystem::readFile(const std::string& path, std::string* contents, Error* error) {
  std::string out;
  FileInfo info;
  if (getInfo(path, true, &info, nullptr) && info.isRegular()) out.reserve(info.size);
  bool ok = readChunks(
      path, kCopyBufferSize,
      [&out](const std::uint8_t* data, std::size_t size) {
        out.append(reinterpret_cast<const char*>(data), size);
        return true;
      },
      error);
  if (ok) *contents = std::move(out);
  return ok;
}

bool FileSystem::readFile(const std::string& path, Bytes* contents, Error* error) {
  Bytes out;
  FileInfo info;
  if (getInfo(path, true, &info, nullptr) && info.isRegular()) out.reserve(info.size);
  bool ok = readChunks(
      path, kCopyBufferSize,
      [&out](const std::uint8_t* data, std::size_t size) {
        out.insert(out.end(), data, data + size);
        return true;
      },
      error);
  if (ok) *contents = std::move(out);
  return ok;
}

// ---- Writing ----

bool FileSystem::writeFile(const std::string& path, std::string_view data, Error* error) {
  std::unique_ptr<WritableFile> file = newWritableFile(path, WriteMode::Truncate, 0666, error);
  if (!file) return false;
  return file->append(data, error) && file->close(error);
}

std::string FileSystem::temporaryPathIn(const std::string& folder, std::string_view prefix) {
  static std::atomic<std::uint64_t> counter{0};
  const std::string pid = hex(static_cast<std::uint64_t>(::getpid()), 8);
  std::string path;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
    std::string name(prefix);
    name += pid;
    name += '-';
    name += std::to_string(n);
    name += '-';
    name += hex(splitMix64(processSeed() ^ n), 8);
    path = Path::appendingPathComponent(folder, name);
    if (!getInfo(path, false, nullptr, nullptr)) break;
  }
  return path;
}

std::unique_ptr<WritableFile> FileSystem::createTemporaryFile(const std::string& folder,
                                                              std::string_view prefix,
                                                              std::uint32_t mode, std::string* path,
                                                              Error* error) {
  Error err;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = temporaryPathIn(folder, prefix);
    err = Error();
    std::unique_ptr<WritableFile> file =
        newWritableFile(candidate, WriteMode::Exclusive, mode, &err);
    if (file) {
      *path = std::move(candidate);
      return file;
    }
    if (posixCode(err) != EEXIST) break;
  }
  SetError(error, std::move(err));
  return nullptr;
}

std::string FileSystem::temporaryPrefixFor(std::string_view name) {
  std::size_t length = std::min(name.size(), kMaxNameInTemporary);
  // Never cut a UTF-8 character in two.
  if (length < name.size()) {
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
  }
  std::string prefix = ".";
  prefix.append(name.substr(0, length));
  prefix += ".tmp-";
  return prefix;
}

bool FileSystem::isTemporaryName(std::string_view name, std::uint32_t* writerPid) {
  // "." ... ".tmp-" pppppppp "-" counter "-" rrrrrrrr
  constexpr std::string_view kMarker = ".tmp-";
  if (name.empty() || name[0] != '.') return false;
  const std::size_t marker = name.rfind(kMarker);
  if (marker == std::string_view::npos) return false;
  std::string_view rest = name.substr(marker + kMarker.size());
  auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (rest.size() < 8 + 1 + 1 + 1 + 8) return false;
  std::uint32_t pid = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    if (!isHex(rest[i])) return false;
    pid = pid * 16 +
          static_cast<std::uint32_t>(isDigit(rest[i]) ? rest[i] - '0' : rest[i] - 'a' + 10);
  }
  if (rest[8] != '-') return false;
  std::size_t i = 9;
  while (i < rest.size() && isDigit(rest[i])) ++i;
  if (i == 9 || i >= rest.size() || rest[i] != '-') return false;
  std::string_view random = rest.substr(i + 1);
  if (random.size() != 8 || !std::all_of(random.begin(), random.end(), isHex)) return false;
  if (writerPid) *writerPid = pid;
  return true;
}

bool FileSystem::writeFileAtomically(const std::string& rawPath, std::string_view data,
                                     Error* error) {
  std::string path = Path::standardizingPath(rawPath);
  if (path.empty() || path == "/") return fail(error, path.empty() ? ENOENT : EISDIR, rawPath);
  return writeFileAtomically(path, data, folderOf(path), error);
}

bool FileSystem::writeFileAtomically(const std::string& rawPath, std::string_view data,
                                     const std::string& tempFolder, Error* error) {
  return writeAtomically(rawPath, data, tempFolder, 0666, false, error);
}

bool FileSystem::writePrivateFileAtomically(const std::string& rawPath, std::string_view data,
                                            Error* error) {
  return writeAtomically(rawPath, data, std::string(), 0600, true, error);
}

bool FileSystem::writeAtomically(const std::string& rawPath, std::string_view data,
                                 const std::string& tempFolder, std::uint32_t mode, bool exactMode,
                                 Error* error) {
  std::string path = Path::standardizingPath(rawPath);
  if (path.empty() || path == "/") return fail(error, path.empty() ? ENOENT : EISDIR, rawPath);
  std::string folder = folderOf(path);
  std::string prefix = temporaryPrefixFor(Path::lastPathComponent(path));
  std::string tempPath;
  std::unique_ptr<WritableFile> file =
      createTemporaryFile(tempFolder.empty() ? folder : tempFolder, prefix, mode, &tempPath, error);
  if (!file) return false;
  bool ok = file->append(data, error) && file->sync(error) && file->close(error);
  file.reset();
  if (ok && exactMode) ok = setPermissions(tempPath, mode, error);
  if (ok) ok = rename(tempPath, path, error);
  if (!ok) {
    kx::ignoreError(removeFile(tempPath, nullptr));
    return false;
  }
  return syncDirectory(folder, error);
}

// ---- Moving and copying ----

bool FileSystem::moveItem(const std::string& from, const std::string& to, Error* error) {
  return moveItem(from, to, std::string(), error);
}

bool FileSystem::moveItem(const std::string& from, const std::string& to,
                          const std::string& tempFolder, Error* error) {
  Error err;
  if (rename(from, to, &err)) return true;
  if (posixCode(err) != EXDEV) {
    SetError(error, std::move(err));
    return false;
  }
  // Another file system: copy beside the destination, make the copy durable,
  // put it in place in one step, and only then let go of the source.
  std::string source = Path::standardizingPath(from);
  std::string destination = Path::standardizingPath(to);
  std::string folder = folderOf(destination);
  std::string temp = temporaryPathIn(tempFolder.empty() ? folder : tempFolder,
                                     temporaryPrefixFor(Path::lastPathComponent(destination)));
  bool created = false;
  if (!copyTree(source, temp, /*durable=*/true, &created, error)) {
    if (created) kx::ignoreError(removeItem(temp, nullptr));
    return false;
  }
  if (!rename(temp, destination, error)) {
    kx::ignoreError(removeItem(temp, nullptr));
    return false;
  }
  if (!syncDirectory(folder, error)) return false;
  return removeItem(source, error);
}

bool FileSystem::copyItem(const std::string& from, const std::string& to, Error* error) {
  std::string source = Path::standardizingPath(from);
  std::string destination = Path::standardizingPath(to);
  if (source.empty()) return fail(error, ENOENT, from);
  if (destination.empty()) return fail(error, ENOENT, to);
  // A folder copied into itself would never end.
  if (destination == source ||
      (destination.size() > source.size() && destination.compare(0, source.size(), source) == 0 &&
       (source == "/" || destination[source.size()] == '/'))) {
    return fail(error, EINVAL, to);
  }
  if (getInfo(destination, false, nullptr, nullptr)) return fail(error, EEXIST, destination);
  bool created = false;
  if (copyTree(source, destination, /*durable=*/false, &created, error)) return true;
  if (created) kx::ignoreError(removeItem(destination, nullptr));
  return false;
}

bool FileSystem::copyTree(const std::string& from, const std::string& to, bool durable,
                          bool* created, Error* error) {
  *created = false;
  FileInfo info;
  if (!getInfo(from, false, &info, error)) return false;
  switch (info.type) {
    case FileType::Symlink: {
      std::string target;
      if (!readSymlink(from, &target, error)) return false;
      if (!createSymlink(target, to, error)) return false;
      *created = true;
      return true;
    }
    case FileType::Regular: {
      std::unique_ptr<SequentialFile> in = newSequentialFile(from, error);
      if (!in) return false;
      std::unique_ptr<WritableFile> out =
          newWritableFile(to, WriteMode::Exclusive, info.mode & 0777, error);
      if (!out) return false;
      *created = true;
      std::vector<char> buffer(kCopyBufferSize);
      for (;;) {
        std::size_t n = 0;
        if (!in->read(buffer.data(), buffer.size(), &n, error)) return false;
        if (n == 0) break;
        if (!out->append(std::string_view(buffer.data(), n), error)) return false;
      }
      if (durable && !out->sync(error)) return false;
      if (!out->close(error)) return false;
      return setPermissions(to, info.mode & 0777, error) &&
             setModificationTime(to, info.modificationTime, error);
    }
    case FileType::Directory: {
      if (!makeDirectory(to, 0700, error)) return false;
      *created = true;
      std::vector<std::string> names;
      if (!listNames(from, &names, error)) return false;
      for (const std::string& name : names) {
        bool childCreated = false;
        if (!copyTree(Path::appendingPathComponent(from, name),
                      Path::appendingPathComponent(to, name), durable, &childCreated, error)) {
          return false;
        }
      }
      if (durable && !syncDirectory(to, error)) return false;
      // Last, because adding the children changed the folder's time.
      return setPermissions(to, info.mode & 0777, error) &&
             setModificationTime(to, info.modificationTime, error);
    }
    case FileType::Other: break;
  }
  return fail(error, ENOTSUP, from);
}

}  // namespace kx
