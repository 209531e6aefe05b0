// KXStoreConnection is one SQLite connection to the store file with a cache
// of prepared statements. The store opens two per file: the write
// connection (the write context's) and the read connection (the read
// context's), both in WAL mode, so that reads never wait for a writer and
// see only committed data.
//
// Every use of the connection happens under its lock: take mutex(), then
// prepare or fetch a cached statement, bind, step and reset it, and let the
// lock go. The lock is held for one statement at a time and never while
// waiting on a queue, so a thread that waits for another queue cannot hold a
// connection that the other queue needs.
//
// Thread safety: all members may be called from any thread; the sqlite3
// handle and the cache are guarded by the connection's lock (the handle is
// opened without SQLite's own mutex).
#ifndef ZN_DATA_KXSTORECONNECTION_H_
#define ZN_DATA_KXSTORECONNECTION_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

struct sqlite3;
struct sqlite3_stmt;

class KXStoreConnection {
 public:
  enum class Mode { Write, Read };

  // Opens (and for Write creates) the database at `path`; `vfs` names a
  // SQLite VFS ("" for the default). Sets WAL mode, foreign keys and a busy
  // timeout. nullptr and *error on failure.
  static std::shared_ptr<KXStoreConnection> open(const std::string& path, Mode mode,
                                                 const std::string& vfs, kx::Error* error);
  ~KXStoreConnection();
  KXStoreConnection(const KXStoreConnection&) = delete;
  KXStoreConnection& operator=(const KXStoreConnection&) = delete;

  Mode mode() const { return mode_; }
  const std::string& path() const { return path_; }

  // The connection's lock: hold it (kx::MutexLock) around every use below.
  kx::Mutex& mutex() const RETURN_CAPABILITY(mutex_) { return mutex_; }

  // The following require the lock.

  // A prepared statement for `key`, made from makeSql() the first time; the
  // connection owns it. nullptr and *error when it does not prepare.
  sqlite3_stmt* statement(const std::string& key, const std::function<std::string()>& makeSql,
                          kx::Error* error) REQUIRES(mutex_);
  sqlite3_stmt* statement(const std::string& sql, kx::Error* error) REQUIRES(mutex_) {
    return statement(
        sql, [&] { return sql; }, error);
  }
  // Runs statements without results (no bindings).
  [[nodiscard]] bool exec(std::string_view sql, kx::Error* error) REQUIRES(mutex_);
  // Binds one value at the 1-based index by its kind: Null, integers and
  // booleans as INTEGER, doubles and dates as REAL, text as TEXT, bytes as
  // BLOB.
  static void bind(sqlite3_stmt* statement, int index, const kx::Value& value);
  // Steps a statement without rows to its end and resets it.
  [[nodiscard]] bool run(sqlite3_stmt* statement, kx::Error* error) REQUIRES(mutex_);
  // An error for the connection's last failure (or `code` when given).
  kx::Error lastError(std::string_view context, int code = 0) const;
  // Whether a transaction is open on the connection.
  bool inTransaction() const REQUIRES(mutex_);
  // Drops every cached statement.
  void clearCache() REQUIRES(mutex_);

  sqlite3* handle() const { return db_; }

 private:
  KXStoreConnection() = default;

  Mode mode_ = Mode::Read;
  std::string path_;
  sqlite3* db_ = nullptr;
  mutable kx::Mutex mutex_;
  std::unordered_map<std::string, sqlite3_stmt*> cache_ GUARDED_BY(mutex_);
};

// Resets a statement (and clears its bindings) when the scope ends.
class KXStatementReset {
 public:
  explicit KXStatementReset(sqlite3_stmt* statement) : statement_(statement) {}
  ~KXStatementReset();
  KXStatementReset(const KXStatementReset&) = delete;
  KXStatementReset& operator=(const KXStatementReset&) = delete;

 private:
  sqlite3_stmt* statement_;
};

#endif  // ZN_DATA_KXSTORECONNECTION_H_
