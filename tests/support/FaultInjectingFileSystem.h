// FaultInjectingFileSystem passes every primitive of kx::FileSystem to a
// target (the POSIX file system by default) and fails the ones a test picks:
// by operation, by a piece of the path, after a number of matching calls
// have gone through, for a number of times, with a chosen errno. An append
// can be made short: part of the bytes reach the file, then it fails, as a
// disk that fills up midway does. Renames can fail with EXDEV to drive the
// copy fallback of moveItem.
//
// Install it with kx::FileSystem::ScopedDefaultForTesting so that code that
// asks FileSystem::Default() meets the faults.
//
//   kxtest::FaultInjectingFileSystem fs;
//   fs.inject({.op = Op::Append, .error = ENOSPC, .shortWrite = true});
//   kx::FileSystem::ScopedDefaultForTesting use(&fs);
//
// Thread safety: faults and counters are guarded by a mutex; the object may
// be used from several threads at once. Files it hands out must not outlive
// it, and neither may work on other queues that reaches Default() while it
// is installed: let such work (the logger opening its file, for one) happen
// before the scope, or wait for it before the scope ends.
#ifndef ZN_TESTS_SUPPORT_FAULTINJECTINGFILESYSTEM_H_
#define ZN_TESTS_SUPPORT_FAULTINJECTINGFILESYSTEM_H_

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace kxtest {

class FaultInjectingFileSystem : public kx::FileSystem {
 public:
  enum class Op {
    GetInfo,
    MakeDirectory,
    RemoveFile,
    RemoveDirectory,
    RemoveItem,
    ListNames,
    Rename,
    OpenRead,
    Read,
    OpenWrite,
    Append,
    Sync,
    Close,
    SyncDirectory,
    SyncFile,
    SetPermissions,
    SetModificationTime,
    ReadSymlink,
    CreateSymlink,
  };

  struct Fault {
    Op op = Op::Append;
    // Matches when the path contains this text ("" matches every path). The
    // path is the one the primitive acts on: for a rename, its source; for
    // reads and writes of an open file, that file's path.
    std::string pathContains = {};
    // Matching calls that go through before the fault fires.
    int skip = 0;
    // How many times it fires; -1 for every later matching call.
    int times = 1;
    int error = EIO;
    // Append only: write the first half of the bytes, then fail.
    bool shortWrite = false;
  };

  explicit FaultInjectingFileSystem(kx::FileSystem& target = kx::FileSystem::Posix());

  void inject(Fault fault);
  void clearFaults();
  // Calls of the operation seen so far (failed ones included).
  int calls(Op op) const;
  // Faults that fired so far.
  int injectedFailures() const;
  // Every path opened for writing so far, in order (failed opens included):
  // shows where a writer makes its temporary files.
  std::vector<std::string> openedForWriting() const;

  bool getInfo(const std::string& path, bool followSymlinks, kx::FileInfo* info,
               kx::Error* error) override;
  bool makeDirectory(const std::string& path, std::uint32_t mode, kx::Error* error) override;
  bool removeFile(const std::string& path, kx::Error* error) override;
  bool removeDirectory(const std::string& path, kx::Error* error) override;
  bool removeItem(const std::string& path, kx::Error* error) override;
  bool listNames(const std::string& path, std::vector<std::string>* names,
                 kx::Error* error) override;
  bool rename(const std::string& from, const std::string& to, kx::Error* error) override;
  std::unique_ptr<kx::SequentialFile> newSequentialFile(const std::string& path,
                                                        kx::Error* error) override;
  std::unique_ptr<kx::WritableFile> newWritableFile(const std::string& path, WriteMode how,
                                                    std::uint32_t mode, kx::Error* error) override;
  bool syncDirectory(const std::string& path, kx::Error* error) override;
  bool syncFile(const std::string& path, kx::Error* error) override;
  bool setPermissions(const std::string& path, std::uint32_t mode, kx::Error* error) override;
  bool setModificationTime(const std::string& path, kx::FileTime time, kx::Error* error) override;
  bool readSymlink(const std::string& path, std::string* target, kx::Error* error) override;
  bool createSymlink(const std::string& target, const std::string& path, kx::Error* error) override;

  // Counts the call and decides whether it fails: the fault that fires, or
  // nullopt. Used by the wrapped files too.
  std::optional<Fault> check(Op op, const std::string& path);

 private:
  struct Armed {
    Fault fault;
    int seen = 0;
    int fired = 0;
  };

  kx::FileSystem& target_;
  mutable std::mutex mutex_;
  std::vector<Armed> faults_;                  // guarded by mutex_
  std::map<Op, int> calls_;                    // guarded by mutex_
  int injectedFailures_ = 0;                   // guarded by mutex_
  std::vector<std::string> openedForWriting_;  // guarded by mutex_
};

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_FAULTINJECTINGFILESYSTEM_H_
