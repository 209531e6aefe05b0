#include "Data/store/KXPersistentStore.h"

#include <sqlite3.h>
#include <atomic>
#include <ctime>

#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreError.h"
#include "Data/store/KXStoreSchema.h"
#include "platform/FileSystem.h"

namespace {
std::atomic<std::int64_t> gNextToken{1};
}  // namespace

std::shared_ptr<KXPersistentStore> KXPersistentStore::open(const std::string& path,
                                                           const std::string& vfs,
                                                           kx::Error* error) {
  std::shared_ptr<KXPersistentStore> store(new KXPersistentStore());
  store->path_ = path;
  store->token_ = gNextToken.fetch_add(1);
  store->writer_ = KXStoreConnection::open(path, KXStoreConnection::Mode::Write, vfs, error);
  if (!store->writer_) return nullptr;
  {
    kx::MutexLock guard(store->writer_->mutex());
    if (!KXStoreSchema::prepare(*store->writer_, error)) return nullptr;
  }
  store->reader_ = KXStoreConnection::open(path, KXStoreConnection::Mode::Read, vfs, error);
  if (!store->reader_) return nullptr;
  return store;
}

KXPersistentStore::~KXPersistentStore() = default;

bool KXPersistentStore::isDamagedStoreError(const kx::Error& error) {
  if (error.domain() != kKXStoreErrorDomain) return false;
  if (error.code() == kKXStoreIncompatibleError) return true;
  int primary = static_cast<int>(error.code() & 0xff);
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

bool KXPersistentStore::moveAside(const std::string& path, std::string* movedTo, kx::Error* error) {
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  std::string base = path + ".damaged-" + stamp;
  // Two failures within one second get distinct names.
  for (int i = 1; fs.exists(base); ++i) {
    base = path + ".damaged-" + stamp + "-" + std::to_string(i);
  }
  if (!fs.rename(path, base, error)) return false;
  for (const char* suffix : {"-wal", "-shm"}) {
    if (fs.exists(path + suffix)) kx::ignoreError(fs.rename(path + suffix, base + suffix, nullptr));
  }
  if (movedTo) *movedTo = base;
  return true;
}

bool KXPersistentStore::checkpointIntoSingleFile(const std::string& path, const std::string& vfs,
                                                 kx::Error* error) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE,
                           vfs.empty() ? nullptr : vfs.c_str());
  auto fail = [&](const std::string& what, int code) {
    std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    kx::Error e = KXStoreMakeError(code, what + " " + path + ": " + why);
    e.mutableUserInfo().set("sqliteCode", kx::Value(code));
    kx::SetError(error, std::move(e));
    if (db) sqlite3_close_v2(db);
    return false;
  };
  if (rc != SQLITE_OK) return fail("open", rc);
  sqlite3_extended_result_codes(db, 1);
  // TRUNCATE waits for nothing: it fails with SQLITE_BUSY when another
  // connection still reads, and then nothing is moved.
  int logFrames = -1, checkpointed = -1;
  rc =
      sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &checkpointed);
  if (rc != SQLITE_OK) return fail("checkpoint", rc);
  char* message = nullptr;
  rc = sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, &message);
  sqlite3_free(message);
  if (rc != SQLITE_OK) return fail("leave WAL mode in", rc);
  rc = sqlite3_close(db);
  db = nullptr;
  if (rc != SQLITE_OK) return fail("close", rc);
  kx::FileSystem& fs = kx::FileSystem::Default();
  std::optional<std::uint64_t> walSize = fs.fileSize(path + "-wal", nullptr);
  if (walSize && *walSize > 0) {
    kx::SetError(error,
                 KXStoreMakeError(kKXStoreIncompatibleError,
                                  "the WAL of " + path + " still holds data after a checkpoint"));
    return false;
  }
  return true;
}
