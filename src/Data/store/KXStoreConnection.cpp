#include "Data/store/KXStoreConnection.h"

#include <sqlite3.h>

#include "Data/store/KXStoreError.h"

namespace {

// Statements are cached by their text; conditions with long IN lists make
// many distinct texts, so the cache is emptied when it grows past this.
constexpr std::size_t kMaxCachedStatements = 256;

}  // namespace

KXStatementReset::~KXStatementReset() {
  if (statement_) {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
}

std::shared_ptr<KXStoreConnection> KXStoreConnection::open(const std::string& path, Mode mode,
                                                           const std::string& vfs,
                                                           kx::Error* error) {
  std::shared_ptr<KXStoreConnection> conn(new KXStoreConnection());
  conn->mode_ = mode;
  conn->path_ = path;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (mode == Mode::Write) flags |= SQLITE_OPEN_CREATE;
  int rc = sqlite3_open_v2(path.c_str(), &conn->db_, flags, vfs.empty() ? nullptr : vfs.c_str());
  if (rc != SQLITE_OK) {
    kx::SetError(error, conn->lastError("open " + path, rc));
    return nullptr;
  }
  sqlite3_extended_result_codes(conn->db_, 1);
  sqlite3_busy_timeout(conn->db_, 5000);
  kx::MutexLock guard(conn->mutex());
  // The first statements read the file header: a file that is not a
  // database fails here (SQLITE_NOTADB).
  if (mode == Mode::Write) {
    if (!conn->exec("PRAGMA journal_mode=WAL", error)) return nullptr;
    if (!conn->exec("PRAGMA synchronous=NORMAL", error)) return nullptr;
  } else {
    if (!conn->exec("PRAGMA query_only=1", error)) return nullptr;
  }
  if (!conn->exec("PRAGMA foreign_keys=ON", error)) return nullptr;
  return conn;
}

KXStoreConnection::~KXStoreConnection() {
  clearCache();
  if (db_) sqlite3_close_v2(db_);
}

void KXStoreConnection::clearCache() {
  for (auto& [key, stmt] : cache_) sqlite3_finalize(stmt);
  cache_.clear();
}

sqlite3_stmt* KXStoreConnection::statement(const std::string& key,
                                           const std::function<std::string()>& makeSql,
                                           kx::Error* error) {
  auto it = cache_.find(key);
  if (it != cache_.end()) return it->second;
  if (cache_.size() >= kMaxCachedStatements) clearCache();
  std::string sql = makeSql();
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    kx::SetError(error, lastError("prepare " + sql, rc));
    if (stmt) sqlite3_finalize(stmt);
    return nullptr;
  }
  cache_.emplace(key, stmt);
  return stmt;
}

bool KXStoreConnection::exec(std::string_view sql, kx::Error* error) {
  std::string text(sql);
  char* message = nullptr;
  int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string why = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    kx::Error e = KXStoreMakeError(rc, text + ": " + why);
    e.mutableUserInfo().set("sqliteCode", kx::Value(rc));
    kx::SetError(error, std::move(e));
    return false;
  }
  return true;
}

void KXStoreConnection::bind(sqlite3_stmt* statement, int index, const kx::Value& value) {
  switch (value.kind()) {
    case kx::Value::Kind::Null: sqlite3_bind_null(statement, index); break;
    case kx::Value::Kind::Bool:
      sqlite3_bind_int64(statement, index, value.boolValue() ? 1 : 0);
      break;
    case kx::Value::Kind::Int64: sqlite3_bind_int64(statement, index, value.intValue()); break;
    case kx::Value::Kind::UInt64:
      sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(value.unsignedValue()));
      break;
    case kx::Value::Kind::Double: sqlite3_bind_double(statement, index, value.doubleValue()); break;
    case kx::Value::Kind::Date: sqlite3_bind_double(statement, index, value.dateValue()); break;
    case kx::Value::Kind::String: {
      const std::string& s = value.string();
      sqlite3_bind_text64(statement, index, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      break;
    }
    case kx::Value::Kind::Data: {
      const kx::Bytes& b = value.bytes();
      // An empty buffer is still a blob, not NULL.
      static const std::uint8_t kEmpty = 0;
      sqlite3_bind_blob64(statement, index, b.empty() ? &kEmpty : b.data(), b.size(),
                          SQLITE_TRANSIENT);
      break;
    }
    default: sqlite3_bind_null(statement, index); break;
  }
}

bool KXStoreConnection::run(sqlite3_stmt* statement, kx::Error* error) {
  KXStatementReset reset(statement);
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    kx::SetError(error, lastError(sqlite3_sql(statement) ? sqlite3_sql(statement) : "step", rc));
    return false;
  }
  return true;
}

kx::Error KXStoreConnection::lastError(std::string_view context, int code) const {
  int rc = code ? code : (db_ ? sqlite3_extended_errcode(db_) : SQLITE_ERROR);
  std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  if (code && db_ && sqlite3_extended_errcode(db_) != code) why = sqlite3_errstr(code);
  kx::Error e = KXStoreMakeError(rc, std::string(context) + ": " + why);
  e.mutableUserInfo().set("sqliteCode", kx::Value(rc));
  return e;
}

bool KXStoreConnection::inTransaction() const { return db_ && !sqlite3_get_autocommit(db_); }
