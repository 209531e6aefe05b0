#include "Data/KXStoreSchema.h"

#include <set>
#include <sqlite3.h>

#include "Data/KXModel.h"
#include "Data/KXStoreConnection.h"
#include "Data/KXStoreError.h"

namespace {

std::string Quote(const std::string& name) { return KXStoreSchema::quoteIdentifier(name); }

const char* Affinity(KXAttributeType type) {
  switch (type) {
    case KXAttributeType::String: return "TEXT";
    case KXAttributeType::Integer:
    case KXAttributeType::Boolean:
    case KXAttributeType::Time: return "INTEGER";
    case KXAttributeType::Bytes: return "BLOB";
    case KXAttributeType::Any: return "";  // no affinity: values keep their kind
  }
  return "";
}

std::string ColumnDefinition(const KXTableColumn& column) {
  std::string def = Quote(column.name);
  const char* affinity = column.foreignTable ? "INTEGER" : Affinity(column.type);
  if (*affinity) def += std::string(" ") + affinity;
  if (column.foreignTable) {
    def += " REFERENCES " + Quote(column.foreignTable->tableName()) +
           "(\"Z_PK\") ON DELETE SET NULL DEFERRABLE INITIALLY DEFERRED";
  }
  return def;
}

std::string JoinTableSQL(const KXJoinTableDescription& join) {
  return "CREATE TABLE IF NOT EXISTS " + Quote(join.name) + " (" + Quote(join.firstColumn) +
         " INTEGER NOT NULL REFERENCES " + Quote(join.firstTable->tableName()) +
         "(\"Z_PK\") ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED, " +
         Quote(join.secondColumn) + " INTEGER NOT NULL REFERENCES " +
         Quote(join.secondTable->tableName()) +
         "(\"Z_PK\") ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED, PRIMARY KEY (" +
         Quote(join.firstColumn) + ", " + Quote(join.secondColumn) + ")) WITHOUT ROWID";
}

// The column names of a table, or an empty set when it does not exist.
bool ExistingColumns(KXStoreConnection& conn, const std::string& table,
                     std::set<std::string>* columns, kx::Error* error) {
  sqlite3_stmt* st = conn.statement("SELECT name FROM pragma_table_info(?)", error);
  if (!st) return false;
  KXStatementReset reset(st);
  sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(st, 0);
    if (name) columns->insert(reinterpret_cast<const char*>(name));
  }
  if (rc != SQLITE_DONE) {
    kx::SetError(error, conn.lastError("read the columns of " + table, rc));
    return false;
  }
  return true;
}

bool Migrate(KXStoreConnection& conn, kx::Error* error) {
  const KXModel& model = KXModel::shared();
  for (const KXEntityDescription* root : model.rootEntities()) {
    std::set<std::string> existing;
    if (!ExistingColumns(conn, root->tableName(), &existing, error)) return false;
    if (existing.empty()) {
      if (!conn.exec(KXStoreSchema::createTableSQL(root->tableName()), error)) return false;
      continue;
    }
    if (!existing.count("Z_PK") || !existing.count("Z_ENT")) {
      kx::SetError(error, KXStoreMakeError(kKXStoreIncompatibleError,
                                       "The table " + root->tableName() +
                                           " of the store file has no key columns"));
      return false;
    }
    for (const KXTableColumn& column : root->columns()) {
      if (existing.count(column.name)) continue;
      if (!conn.exec("ALTER TABLE " + Quote(root->tableName()) + " ADD COLUMN " +
                         ColumnDefinition(column),
                     error)) {
        return false;
      }
    }
  }
  for (const KXJoinTableDescription& join : model.joinTables()) {
    std::set<std::string> existing;
    if (!ExistingColumns(conn, join.name, &existing, error)) return false;
    if (existing.empty()) {
      if (!conn.exec(JoinTableSQL(join), error)) return false;
      if (!conn.exec("CREATE INDEX IF NOT EXISTS " + Quote(join.name + "_" + join.secondColumn) +
                         " ON " + Quote(join.name) + " (" + Quote(join.secondColumn) + ")",
                     error)) {
        return false;
      }
    } else if (!existing.count(join.firstColumn) || !existing.count(join.secondColumn)) {
      kx::SetError(error, KXStoreMakeError(kKXStoreIncompatibleError,
                                       "The join table " + join.name + " has other columns"));
      return false;
    }
  }
  for (const auto& [table, column] : model.indexedColumns()) {
    if (!conn.exec("CREATE INDEX IF NOT EXISTS " + Quote(table + "_" + column) + " ON " +
                       Quote(table) + " (" + Quote(column) + ")",
                   error)) {
      return false;
    }
  }
  // The title check of a new entry looks titles up within its folder; with
  // this index a lookup reads only the entries that carry the title, not
  // the whole folder.
  // Made on every open, so that stores made before it gain it.
  if (!conn.exec("CREATE INDEX IF NOT EXISTS \"FileMeta_parentId_title\" ON \"FileMeta\" "
                 "(\"parentId\", \"title\")",
                 error)) {
    return false;
  }
  return true;
}

}  // namespace

std::string KXStoreSchema::createTableSQL(const std::string& tableName) {
  const KXEntityDescription* root = KXModel::shared().entity(tableName);
  if (!root || !root->isRootEntity()) return {};
  std::string sql = "CREATE TABLE " + Quote(tableName) +
                    " (\"Z_PK\" INTEGER PRIMARY KEY AUTOINCREMENT, \"Z_ENT\" INTEGER NOT NULL";
  for (const KXTableColumn& column : root->columns()) sql += ", " + ColumnDefinition(column);
  return sql + ")";
}

bool KXStoreSchema::prepare(KXStoreConnection& conn, kx::Error* error) {
  int version = 0;
  {
    sqlite3_stmt* st = conn.statement("PRAGMA user_version", error);
    if (!st) return false;
    KXStatementReset reset(st);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) {
      kx::SetError(error, conn.lastError("read the schema version", rc));
      return false;
    }
    version = sqlite3_column_int(st, 0);
  }
  if (!conn.exec("BEGIN IMMEDIATE", error)) return false;
  kx::Error e;
  bool ok = Migrate(conn, &e);
  if (ok && version < KXModel::kSchemaVersion) {
    ok = conn.exec("PRAGMA user_version=" + std::to_string(KXModel::kSchemaVersion), &e);
  }
  if (ok) ok = conn.exec("COMMIT", &e);
  if (!ok) {
    if (conn.inTransaction()) kx::ignoreError(conn.exec("ROLLBACK", nullptr));
    kx::SetError(error, e);
    return false;
  }
  // Statements prepared before the schema changed re-prepare themselves;
  // dropping them keeps the cache small.
  conn.clearCache();
  return true;
}

std::string KXStoreSchema::quoteIdentifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}
