// Helpers for the store tests: an environment for KXDataContext over a
// temporary application data folder, with a chosen user and login type and
// a presenter that records what it was asked to show; and a SQLite VFS
// ("kxfault") over the default one that can make writes to WAL files fail,
// so that a commit fails the way a full disk makes it fail, and its twin
// "kxnoshm" without shared memory, on which a store cannot enter WAL mode;
// and the opening of the log file before a test puts a file system in.
#ifndef ZN_TESTS_DATA_STORETESTSUPPORT_H_
#define ZN_TESTS_DATA_STORETESTSUPPORT_H_

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/client/KXFileManager.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXStoreEnvironment.h"
#include "platform/FileSystem.h"

namespace kxtest {

class TestStoreEnvironment : public KXStoreEnvironment {
 public:
  explicit TestStoreEnvironment(std::string applicationData)
      : appData_(std::move(applicationData)) {}

  std::string user = "alice";
  unsigned login = 1;
  std::string vfs;

  std::string currentUser() override { return user; }
  unsigned loginType() override { return login; }
  void setDbUserId(const std::string& userId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    dbUserId_ = userId;
  }
  std::string applicationDataDirectory() override { return appData_; }
  std::string userDataDirectory(const std::string& userId, kx::Error* error) override {
    std::string dir = appData_ + "/" + userId;
    if (!kx::FileSystem::Default().createDirectory(dir, error)) return {};
    return dir;
  }
  void presentError(const kx::Error& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    presented_.push_back(error);
  }
  std::string sqliteVfs() override { return vfs; }

  std::vector<kx::Error> presented() {
    std::lock_guard<std::mutex> lock(mutex_);
    return presented_;
  }
  std::string dbUserId() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dbUserId_;
  }

 private:
  std::string appData_;
  std::mutex mutex_;
  std::vector<kx::Error> presented_;
  std::string dbUserId_;
};

// ---------------------------------------------------------------------------
// Fault-injecting VFS
// ---------------------------------------------------------------------------

struct FaultVfs {
  // When set, every write to a WAL file fails with `errorCode`.
  std::atomic<bool> failWalWrites{false};
  std::atomic<int> errorCode{SQLITE_FULL};
  // Fails this many of the next writes to a WAL file, then lets them through
  // again (a disk that was full for a moment).
  std::atomic<int> failingWalWritesLeft{0};

  static FaultVfs& instance() {
    static FaultVfs* vfs = new FaultVfs();
    return *vfs;
  }
  // Registers "kxfault" once and answers its name.
  static const char* name() {
    static const char* registered = [] {
      instance().registerVfs();
      return "kxfault";
    }();
    return registered;
  }
  // Registers "kxnoshm" once and answers its name: the same files, but
  // without the shared-memory methods that WAL mode needs.
  static const char* noShmName() {
    static const char* registered = [] {
      name();
      instance().registerNoShmVfs();
      return "kxnoshm";
    }();
    return registered;
  }

 private:
  bool takeWalWriteFailure() {
    int left = failingWalWritesLeft.load();
    while (left > 0 && !failingWalWritesLeft.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
  }

  struct File {
    sqlite3_file base;
    sqlite3_file* real;
    bool isWal;
  };

  static sqlite3_vfs* real() { return static_cast<sqlite3_vfs*>(instance().vfs_.pAppData); }
  static sqlite3_file* R(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

  static int xClose(sqlite3_file* f) { return R(f)->pMethods->xClose(R(f)); }
  static int xRead(sqlite3_file* f, void* b, int n, sqlite3_int64 o) {
    return R(f)->pMethods->xRead(R(f), b, n, o);
  }
  static int xWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
    if (reinterpret_cast<File*>(f)->isWal &&
        (instance().failWalWrites.load() || instance().takeWalWriteFailure())) {
      return instance().errorCode.load();
    }
    return R(f)->pMethods->xWrite(R(f), b, n, o);
  }
  static int xTruncate(sqlite3_file* f, sqlite3_int64 s) {
    return R(f)->pMethods->xTruncate(R(f), s);
  }
  static int xSync(sqlite3_file* f, int flags) { return R(f)->pMethods->xSync(R(f), flags); }
  static int xFileSize(sqlite3_file* f, sqlite3_int64* s) {
    return R(f)->pMethods->xFileSize(R(f), s);
  }
  static int xLock(sqlite3_file* f, int l) { return R(f)->pMethods->xLock(R(f), l); }
  static int xUnlock(sqlite3_file* f, int l) { return R(f)->pMethods->xUnlock(R(f), l); }
  static int xCheckReservedLock(sqlite3_file* f, int* r) {
    return R(f)->pMethods->xCheckReservedLock(R(f), r);
  }
  static int xFileControl(sqlite3_file* f, int op, void* a) {
    return R(f)->pMethods->xFileControl(R(f), op, a);
  }
  static int xSectorSize(sqlite3_file* f) { return R(f)->pMethods->xSectorSize(R(f)); }
  static int xDeviceCharacteristics(sqlite3_file* f) {
    return R(f)->pMethods->xDeviceCharacteristics(R(f));
  }
  static int xShmMap(sqlite3_file* f, int i, int s, int e, void volatile** p) {
    return R(f)->pMethods->xShmMap(R(f), i, s, e, p);
  }
  static int xShmLock(sqlite3_file* f, int o, int n, int fl) {
    return R(f)->pMethods->xShmLock(R(f), o, n, fl);
  }
  static void xShmBarrier(sqlite3_file* f) { R(f)->pMethods->xShmBarrier(R(f)); }
  static int xShmUnmap(sqlite3_file* f, int d) { return R(f)->pMethods->xShmUnmap(R(f), d); }
  static int xFetch(sqlite3_file* f, sqlite3_int64 o, int n, void** p) {
    return R(f)->pMethods->xFetch(R(f), o, n, p);
  }
  static int xUnfetch(sqlite3_file* f, sqlite3_int64 o, void* p) {
    return R(f)->pMethods->xUnfetch(R(f), o, p);
  }

  static int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out) {
    File* file = reinterpret_cast<File*>(f);
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    file->isWal = (flags & SQLITE_OPEN_WAL) != 0;
    int rc = real()->xOpen(real(), name, file->real, flags, out);
    if (rc != SQLITE_OK || !file->real->pMethods) {
      file->base.pMethods = nullptr;
      return rc;
    }
    static sqlite3_io_methods methods;
    static std::once_flag once;
    std::call_once(once, [&] {
      methods.iVersion = file->real->pMethods->iVersion;
      methods.xClose = xClose;
      methods.xRead = xRead;
      methods.xWrite = xWrite;
      methods.xTruncate = xTruncate;
      methods.xSync = xSync;
      methods.xFileSize = xFileSize;
      methods.xLock = xLock;
      methods.xUnlock = xUnlock;
      methods.xCheckReservedLock = xCheckReservedLock;
      methods.xFileControl = xFileControl;
      methods.xSectorSize = xSectorSize;
      methods.xDeviceCharacteristics = xDeviceCharacteristics;
      methods.xShmMap = xShmMap;
      methods.xShmLock = xShmLock;
      methods.xShmBarrier = xShmBarrier;
      methods.xShmUnmap = xShmUnmap;
      methods.xFetch = xFetch;
      methods.xUnfetch = xUnfetch;
    });
    file->base.pMethods = &methods;
    return rc;
  }
  static int xOpenNoShm(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags,
                        int* out) {
    int rc = xOpen(vfs, name, f, flags, out);
    if (!f->pMethods) return rc;
    static sqlite3_io_methods methods;
    static std::once_flag once;
    std::call_once(once, [&] {
      methods = *f->pMethods;
      methods.iVersion = 1;
      methods.xShmMap = nullptr;
      methods.xShmLock = nullptr;
      methods.xShmBarrier = nullptr;
      methods.xShmUnmap = nullptr;
      methods.xFetch = nullptr;
      methods.xUnfetch = nullptr;
    });
    f->pMethods = &methods;
    return rc;
  }
  static int xDelete(sqlite3_vfs*, const char* n, int s) { return real()->xDelete(real(), n, s); }
  static int xAccess(sqlite3_vfs*, const char* n, int f, int* r) {
    return real()->xAccess(real(), n, f, r);
  }
  static int xFullPathname(sqlite3_vfs*, const char* n, int size, char* out) {
    return real()->xFullPathname(real(), n, size, out);
  }
  static void* xDlOpen(sqlite3_vfs*, const char* n) { return real()->xDlOpen(real(), n); }
  static void xDlError(sqlite3_vfs*, int n, char* m) { real()->xDlError(real(), n, m); }
  static void (*xDlSym(sqlite3_vfs*, void* h, const char* s))(void) {
    return real()->xDlSym(real(), h, s);
  }
  static void xDlClose(sqlite3_vfs*, void* h) { real()->xDlClose(real(), h); }
  static int xRandomness(sqlite3_vfs*, int n, char* out) {
    return real()->xRandomness(real(), n, out);
  }
  static int xSleep(sqlite3_vfs*, int us) { return real()->xSleep(real(), us); }
  static int xCurrentTime(sqlite3_vfs*, double* t) { return real()->xCurrentTime(real(), t); }
  static int xGetLastError(sqlite3_vfs*, int n, char* m) {
    return real()->xGetLastError(real(), n, m);
  }
  static int xCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* t) {
    return real()->xCurrentTimeInt64(real(), t);
  }

  void registerVfs() {
    sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    vfs_.iVersion = 2;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + base->szOsFile;
    vfs_.mxPathname = base->mxPathname;
    vfs_.zName = "kxfault";
    vfs_.pAppData = base;
    vfs_.xOpen = xOpen;
    vfs_.xDelete = xDelete;
    vfs_.xAccess = xAccess;
    vfs_.xFullPathname = xFullPathname;
    vfs_.xDlOpen = xDlOpen;
    vfs_.xDlError = xDlError;
    vfs_.xDlSym = xDlSym;
    vfs_.xDlClose = xDlClose;
    vfs_.xRandomness = xRandomness;
    vfs_.xSleep = xSleep;
    vfs_.xCurrentTime = xCurrentTime;
    vfs_.xGetLastError = xGetLastError;
    vfs_.xCurrentTimeInt64 = xCurrentTimeInt64;
    sqlite3_vfs_register(&vfs_, 0);
  }
  void registerNoShmVfs() {
    noShmVfs_ = vfs_;
    noShmVfs_.zName = "kxnoshm";
    noShmVfs_.xOpen = xOpenNoShm;
    sqlite3_vfs_register(&noShmVfs_, 0);
  }

  sqlite3_vfs vfs_{};
  sqlite3_vfs noShmVfs_{};
};

// Waits until every task queued on the queue before the call has run.
inline void Barrier(kx::Queue& queue) {
  queue.sync([] {});
}

// The logger asks the file manager for its folder, through the default file
// system, when it first writes. Makes that happen now, not on the logger's
// queue while a test's own file system is in (or already gone). The file
// manager must exist first: it installs the folder hook, and without it the
// logger would try again at a later write.
inline void OpenLogFileNow() {
  KXFileManager::defaultManauger();
  KXLOG("%s", "test");
  KXLogger::sharedLogger().drain();
}

}  // namespace kxtest

#endif  // ZN_TESTS_DATA_STORETESTSUPPORT_H_
