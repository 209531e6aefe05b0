// kx::FileSystem is the one door through which the program reaches the
// operating system's file system. Every file the client reads or writes goes
// through FileSystem::Default(), so that tests can install a replacement that
// fails chosen operations (see tests/support/FaultInjectingFileSystem.h) and
// check that no data is lost when the disk misbehaves.
//
// The class has two layers:
//  - a small set of virtual primitives, each close to one system call
//    (getInfo, makeDirectory, removeFile, rename, newWritableFile, ...). A
//    replacement overrides these, and only these;
//  - the operations callers use (createDirectory with intermediates,
//    removeItem, listDirectory, readFile, writeFileAtomically, moveItem,
//    copyItem, readChunks, ...), written once, here, on top of the
//    primitives. A fault injected into a primitive therefore shows up in every
//    operation that uses it, at the step where it would happen for real.
//
// removeItem is the exception: it is a primitive so that the POSIX version
// can walk the tree with descriptors relative to each folder and never follow
// a symbolic link out of the tree, even if the tree changes while it runs.
//
// Failures are returned, never thrown: each operation returns false (or an
// empty value) and fills *error, when error is not null, with an error of the
// POSIX domain whose code is the errno value and whose user info names the
// path (kx::Error::posix).
//
// Thread safety: the POSIX file system is safe to use from any thread at the
// same time; so must every replacement be. A SequentialFile or WritableFile
// is used by one thread at a time. Default() may be called from any thread;
// SetDefaultForTesting must not race with file work of other threads.
#ifndef ZN_PLATFORM_FILESYSTEM_H_
#define ZN_PLATFORM_FILESYSTEM_H_

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kx {

// A modification time as the file system keeps it, to the nanosecond, so that
// a time copied from one file to another compares equal afterwards.
struct FileTime {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;

  double secondsSince1970() const { return double(seconds) + double(nanoseconds) / 1e9; }
  auto operator<=>(const FileTime&) const = default;
};

enum class FileType { Regular, Directory, Symlink, Other };

// What getInfo reports about one item.
struct FileInfo {
  FileType type = FileType::Other;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;  // permission bits (st_mode & 07777)
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  FileTime modificationTime;

  bool isDirectory() const { return type == FileType::Directory; }
  bool isRegular() const { return type == FileType::Regular; }
  bool isSymlink() const { return type == FileType::Symlink; }
};

// One item of a listing. Symbolic links are described as links (not
// followed): isDirectory is false and size is the link's own size.
struct DirectoryEntry {
  std::string name;
  std::uint64_t size = 0;
  bool isDirectory = false;
  bool isSymlink = false;
};

// A file opened for reading from the start to the end.
class SequentialFile {
 public:
  virtual ~SequentialFile() = default;
  // Reads up to `capacity` bytes into `buffer` and sets *bytesRead; 0 bytes
  // read means the end of the file.
  [[nodiscard]] virtual bool read(void* buffer, std::size_t capacity, std::size_t* bytesRead,
                                  Error* error) = 0;
};

// A file opened for writing. Appends either write all bytes or fail. The
// destructor closes a file that was not closed (ignoring errors); callers
// that care about the data call sync() and close() and look at the results.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  [[nodiscard]] virtual bool append(std::string_view data, Error* error) = 0;
  [[nodiscard]] virtual bool sync(Error* error) = 0;
  [[nodiscard]] virtual bool close(Error* error) = 0;
};

class FileSystem {
 public:
  enum class WriteMode {
    Truncate,   // create the file or empty an existing one
    Exclusive,  // create the file; fail with EEXIST when something is there
    // As Truncate, and every append goes to the file's end as it is at that
    // moment (O_APPEND): a file emptied or cut short by someone else goes on
    // from its new end instead of gaining a hole of zero bytes.
    TruncateAppend,
  };

  virtual ~FileSystem() = default;

  // The file system the program uses: the installed test replacement, or the
  // POSIX one. Ask for it at each use rather than keeping the reference.
  static FileSystem& Default();
  // The real POSIX file system, whatever is installed.
  static FileSystem& Posix();
  // Installs a replacement (nullptr puts the POSIX one back). The caller
  // keeps ownership and keeps it alive while installed.
  static void SetDefaultForTesting(FileSystem* fileSystem);

  // Installs a replacement for the lifetime of the guard and then puts back
  // whatever was installed before.
  class ScopedDefaultForTesting {
   public:
    explicit ScopedDefaultForTesting(FileSystem* fileSystem);
    ~ScopedDefaultForTesting();
    ScopedDefaultForTesting(const ScopedDefaultForTesting&) = delete;
    ScopedDefaultForTesting& operator=(const ScopedDefaultForTesting&) = delete;

   private:
    FileSystem* previous_;
  };

  // ---- Primitives (override these in a replacement) ----

  // stat(2) (followSymlinks) or lstat(2).
  [[nodiscard]] virtual bool getInfo(const std::string& path, bool followSymlinks, FileInfo* info,
                                     Error* error) = 0;
  // mkdir(2) of one folder; the mode is subject to the umask.
  [[nodiscard]] virtual bool makeDirectory(const std::string& path, std::uint32_t mode,
                                           Error* error) = 0;
  // unlink(2): a file or a symbolic link.
  [[nodiscard]] virtual bool removeFile(const std::string& path, Error* error) = 0;
  // rmdir(2): an empty folder.
  [[nodiscard]] virtual bool removeDirectory(const std::string& path, Error* error) = 0;
  // Removes a file, a link or a folder with everything in it. Symbolic links
  // inside the tree are removed themselves; what they point to is never
  // touched. A path that names a link removes the link. "/" and paths ending
  // in "." or ".." are refused with EINVAL.
  [[nodiscard]] virtual bool removeItem(const std::string& path, Error* error) = 0;
  // The names in a folder, without "." and "..", in no particular order.
  [[nodiscard]] virtual bool listNames(const std::string& path, std::vector<std::string>* names,
                                       Error* error) = 0;
  // rename(2): replaces an existing file at `to`; EXDEV across file systems.
  [[nodiscard]] virtual bool rename(const std::string& from, const std::string& to,
                                    Error* error) = 0;
  virtual std::unique_ptr<SequentialFile> newSequentialFile(const std::string& path,
                                                            Error* error) = 0;
  // `mode` is the permission of a new file, subject to the umask.
  virtual std::unique_ptr<WritableFile> newWritableFile(const std::string& path, WriteMode how,
                                                        std::uint32_t mode, Error* error) = 0;
  // fsync(2) of a folder, so that a rename in it is durable.
  [[nodiscard]] virtual bool syncDirectory(const std::string& path, Error* error) = 0;
  // fsync(2) of a regular file written and closed by someone else (a
  // download), so that its bytes are on disk before a rename makes it the
  // file others read. Links are followed.
  [[nodiscard]] virtual bool syncFile(const std::string& path, Error* error) = 0;
  // chmod(2) with the permission bits.
  [[nodiscard]] virtual bool setPermissions(const std::string& path, std::uint32_t mode,
                                            Error* error) = 0;
  // Sets the modification time of the item (the access time is left as it
  // is); links are followed.
  [[nodiscard]] virtual bool setModificationTime(const std::string& path, FileTime time,
                                                 Error* error) = 0;
  [[nodiscard]] virtual bool readSymlink(const std::string& path, std::string* target,
                                         Error* error) = 0;
  [[nodiscard]] virtual bool createSymlink(const std::string& target, const std::string& path,
                                           Error* error) = 0;

  // ---- Operations (built on the primitives) ----

  // Whether something is at the path; links are followed, so a dangling link
  // does not exist.
  bool exists(const std::string& path);
  bool isDirectory(const std::string& path);
  // Both at once: false when nothing is there; *isDirectory tells the kind.
  bool exists(const std::string& path, bool* isDirectory);

  // Creates a folder. With intermediates, missing parents are created with
  // the same mode and an existing folder is success (two callers creating the
  // same folder at once both succeed); without, an existing item is EEXIST.
  // Something that is not a folder in the way fails with EEXIST or ENOTDIR.
  [[nodiscard]] bool createDirectory(const std::string& path, bool withIntermediates,
                                     std::uint32_t mode, Error* error);
  [[nodiscard]] bool createDirectory(const std::string& path, Error* error) {
    return createDirectory(path, true, 0755, error);
  }
  // A folder only this user can enter: created with mode 0700 (and its
  // missing parents likewise) when missing; when present it must be a folder
  // owned by the effective user (EACCES otherwise), and any other mode is
  // set to 0700.
  [[nodiscard]] bool ensurePrivateDirectory(const std::string& path, Error* error);

  // The folder's items with their sizes, sorted by name (byte order) so that
  // "the first two entries" means the same thing on every file system. Items
  // that vanish while the listing is made are left out.
  [[nodiscard]] bool listDirectory(const std::string& path, std::vector<DirectoryEntry>* entries,
                                   Error* error);

  // Size of a file (links followed); nullopt on failure.
  std::optional<std::uint64_t> fileSize(const std::string& path, Error* error);

  [[nodiscard]] bool readFile(const std::string& path, std::string* contents, Error* error);
  [[nodiscard]] bool readFile(const std::string& path, Bytes* contents, Error* error);
  // Reads the file from the start in chunks of at most chunkSize bytes and
  // hands each to `consume`; consume returns false to stop early (the call
  // then still returns true). Used to hash large files without loading them.
  [[nodiscard]] bool readChunks(
      const std::string& path, std::size_t chunkSize,
      const std::function<bool(const std::uint8_t* data, std::size_t size)>& consume, Error* error);

  // Writes in place: creates or truncates the file, writes, closes. A failure
  // midway leaves a partial file; use writeFileAtomically for data that
  // matters.
  [[nodiscard]] bool writeFile(const std::string& path, std::string_view data, Error* error);
  [[nodiscard]] bool writeFile(const std::string& path, const Bytes& data, Error* error) {
    return writeFile(path, asStringView(data), error);
  }
  // Writes through a new file with a unique name in the same folder: write,
  // fsync the file, rename over the target, fsync the folder. A reader sees
  // the old bytes or the new ones, never a mix; on any failure the temporary
  // file is removed and the old file is left as it was (a failure of the
  // final folder fsync is reported, with the new file already in place).
  [[nodiscard]] bool writeFileAtomically(const std::string& path, std::string_view data,
                                         Error* error);
  [[nodiscard]] bool writeFileAtomically(const std::string& path, const Bytes& data, Error* error) {
    return writeFileAtomically(path, asStringView(data), error);
  }
  // The same with the temporary file made in `tempFolder` instead, which
  // must be on the file system of `path` (the rename fails with EXDEV
  // otherwise). For files whose folder readers list: made beside that
  // folder, the temporary never shows up in a listing of it. Only the
  // target's folder is synced after the rename; a temporary name that comes
  // back after a power cut is a stale temporary like any other.
  [[nodiscard]] bool writeFileAtomically(const std::string& path, std::string_view data,
                                         const std::string& tempFolder, Error* error);
  // As writeFileAtomically, for a file only this user may read (secrets):
  // the temporary is created with mode 0600 and set to exactly 0600 before
  // the rename, so the data is never readable by others, not even for a
  // moment, and the file that replaces an older one has that mode.
  [[nodiscard]] bool writePrivateFileAtomically(const std::string& path, std::string_view data,
                                                Error* error);

  // Renames `from` to `to` (replacing a file at `to`, as rename(2) does).
  // Across file systems (EXDEV) the item is copied to a unique temporary name
  // beside `to`, renamed into place and then the source is removed; when the
  // copy fails the temporary copy is removed and the source is kept. When
  // only the final removal of the source fails, `to` holds the data and the
  // failure is reported.
  [[nodiscard]] bool moveItem(const std::string& from, const std::string& to, Error* error);
  // The same with the copy made in `tempFolder` (on the file system of
  // `to`) when the item has to be copied.
  [[nodiscard]] bool moveItem(const std::string& from, const std::string& to,
                              const std::string& tempFolder, Error* error);
  // Copies a file, a symbolic link (as a link) or a folder with everything in
  // it. Fails with EEXIST when something is at `to`. Permission bits and
  // modification times are carried over. A failed copy removes what it made.
  [[nodiscard]] bool copyItem(const std::string& from, const std::string& to, Error* error);

  // A path in `folder` where nothing exists at the time of the call, named
  // `prefix` + process id + a per-process counter + random characters, so
  // that concurrent callers in one or several processes never get the same
  // name. Creating the file with WriteMode::Exclusive makes it certain.
  std::string temporaryPathIn(const std::string& folder, std::string_view prefix = ".tmp-");
  // Creates a new empty file at a temporary path in `folder` (retrying on the
  // rare clash) and opens it for writing; *path receives its path.
  std::unique_ptr<WritableFile> createTemporaryFile(const std::string& folder,
                                                    std::string_view prefix, std::uint32_t mode,
                                                    std::string* path, Error* error);

  // The prefix of the hidden temporary that stands in for a file called
  // `name` while it is written, moved or copied: "." + name + ".tmp-", with
  // the name cut to its first kMaxNameInTemporary bytes (at a character
  // boundary), so that a long file name still leaves room for the unique
  // part within the file system's limit on names.
  static std::string temporaryPrefixFor(std::string_view name);
  static constexpr std::size_t kMaxNameInTemporary = 64;
  // Whether `name` is one of those hidden temporaries: it starts with "."
  // and ends in ".tmp-" followed by the unique part temporaryPathIn adds
  // (process id, counter, random characters). *writerPid, when not null,
  // receives the id of the process that made it. Names given on purpose,
  // such as "{fileId}.tmp" or the scratch files "{n}-{unique}.tmp", are not.
  static bool isTemporaryName(std::string_view name, std::uint32_t* writerPid = nullptr);

 private:
  [[nodiscard]] bool writeAtomically(const std::string& path, std::string_view data,
                                     const std::string& tempFolder, std::uint32_t mode,
                                     bool exactMode, Error* error);
  static std::string_view asStringView(const Bytes& data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
  }
  // Copies one item and, for a folder, what is in it. *created tells whether
  // `to` was made (so that the caller removes it on failure and nothing
  // else). `durable` syncs every copied file and folder.
  [[nodiscard]] bool copyTree(const std::string& from, const std::string& to, bool durable,
                              bool* created, Error* error);
};

}  // namespace kx

#endif  // ZN_PLATFORM_FILESYSTEM_H_
