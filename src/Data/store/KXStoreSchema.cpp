#include "Data/store/KXStoreSchema.h"

#include <sqlite3.h>
#include <set>
#include <unordered_map>

#include "Data/store/KXModel.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreError.h"

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
         "(\"Z_PK\") ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED, " + Quote(join.secondColumn) +
         " INTEGER NOT NULL REFERENCES " + Quote(join.secondTable->tableName()) +
         "(\"Z_PK\") ON DELETE CASCADE DEFERRABLE INITIALLY DEFERRED, PRIMARY KEY (" +
         Quote(join.firstColumn) + ", " + Quote(join.secondColumn) + ")) WITHOUT ROWID";
}

// The column names of a table, or an empty set when it does not exist.
[[nodiscard]] bool ExistingColumns(KXStoreConnection& conn, const std::string& table,
                                   std::set<std::string>* columns, kx::Error* error)
    REQUIRES(conn.mutex()) {
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

[[nodiscard]] bool Migrate(KXStoreConnection& conn, kx::Error* error) REQUIRES(conn.mutex()) {
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
      if (!conn.exec(
              "ALTER TABLE " + Quote(root->tableName()) + " ADD COLUMN " + ColumnDefinition(column),
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

// ---------------------------------------------------------------------------
// Statements of the object context
// ---------------------------------------------------------------------------

namespace {

// "t."Z_PK", t."Z_ENT", t."col"..." for every column of the table (alias
// "t"), made once per table.
const std::string& SelectColumns(const KXEntityDescription& table) {
  static const auto* lists = [] {
    auto* m = new std::unordered_map<const KXEntityDescription*, std::string>();
    for (const KXEntityDescription* root : KXModel::shared().rootEntities()) {
      std::string out = "t.\"Z_PK\", t.\"Z_ENT\"";
      for (const KXTableColumn& c : root->columns()) out += ", t." + Quote(c.name);
      (*m)[root] = std::move(out);
    }
    return m;
  }();
  return lists->at(&table.rootEntity());
}

// The column of a relationship's foreign key, in its table.
const std::string& ForeignKeyColumn(const KXEntityDescription& table,
                                    const KXRelationshipDescription& rel) {
  return table.columns()[static_cast<std::size_t>(rel.column())].name;
}

}  // namespace

std::string KXStoreSchema::selectRowSQL(const KXEntityDescription& table) {
  return "SELECT " + SelectColumns(table) + " FROM " + Quote(table.tableName()) +
         " AS t WHERE t.\"Z_PK\" = ?";
}

std::string KXStoreSchema::lastKeySQL(const KXEntityDescription& table) {
  return "SELECT max(coalesce((SELECT seq FROM sqlite_sequence WHERE name = ?), 0), "
         "coalesce((SELECT max(\"Z_PK\") FROM " +
         Quote(table.tableName()) + "), 0))";
}

std::string KXStoreSchema::insertRowSQL(const KXEntityDescription& table,
                                        const std::vector<int>& columns) {
  const auto& cols = table.columns();
  std::string sql = "INSERT INTO " + Quote(table.tableName()) + " (\"Z_PK\", \"Z_ENT\"";
  for (int c : columns) sql += ", " + Quote(cols[static_cast<std::size_t>(c)].name);
  sql += ") VALUES (?, ?";
  for (std::size_t i = 0; i < columns.size(); ++i) sql += ", ?";
  sql += ")";
  return sql;
}

std::string KXStoreSchema::updateRowSQL(const KXEntityDescription& table,
                                        const std::vector<int>& columns) {
  const auto& cols = table.columns();
  std::string sql = "UPDATE " + Quote(table.tableName()) + " SET ";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) sql += ", ";
    sql += Quote(cols[static_cast<std::size_t>(columns[i])].name) + " = ?";
  }
  sql += " WHERE \"Z_PK\" = ?";
  return sql;
}

std::string KXStoreSchema::deleteRowSQL(const KXEntityDescription& table) {
  return "DELETE FROM " + Quote(table.tableName()) + " WHERE \"Z_PK\" = ?";
}

std::string KXStoreSchema::keysReferencingSQL(const KXRelationshipDescription& rel) {
  const KXEntityDescription& source = rel.entity().rootEntity();
  return "SELECT \"Z_PK\" FROM " + Quote(source.tableName()) + " WHERE " +
         Quote(ForeignKeyColumn(source, rel)) + " = ?";
}

std::string KXStoreSchema::fetchSQL(const KXEntityDescription& entity, std::string_view condition,
                                    FetchShape shape,
                                    const std::vector<const KXAttributeDescription*>& attributes,
                                    bool distinct, std::int64_t limit, std::int64_t offset) {
  const KXEntityDescription& table = entity.rootEntity();
  std::string where;
  if (!entity.isRootEntity()) {
    where = "t.\"Z_ENT\" IN (";
    bool first = true;
    for (int n : entity.kindNumbers()) {
      if (!first) where += ",";
      first = false;
      where += std::to_string(n);
    }
    where += ")";
  }
  if (!condition.empty()) {
    where += where.empty() ? std::string(condition) : " AND " + std::string(condition);
  }
  std::string from = " FROM " + Quote(table.tableName()) + " AS t";
  if (!where.empty()) from += " WHERE " + where;
  std::string window;
  if (limit > 0 || offset > 0) {
    window = " LIMIT " + std::to_string(limit > 0 ? limit : -1);
    if (offset > 0) window += " OFFSET " + std::to_string(offset);
  }

  switch (shape) {
    case FetchShape::Rows:
      return "SELECT " + SelectColumns(table) + from + " ORDER BY t.\"Z_PK\"" + window;
    case FetchShape::Keys: return "SELECT t.\"Z_PK\"" + from + " ORDER BY t.\"Z_PK\"" + window;
    case FetchShape::Count:
      return "SELECT count(*) FROM (SELECT 1" + from + " ORDER BY t.\"Z_PK\"" + window + ")";
    case FetchShape::Attributes: break;
  }
  std::string cols;
  for (const KXAttributeDescription* a : attributes) {
    if (!cols.empty()) cols += ", ";
    cols += "t." + Quote(a->name());
  }
  if (distinct) {
    return "SELECT " + cols + from + " GROUP BY " + cols + " ORDER BY min(t.\"Z_PK\")" + window;
  }
  return "SELECT " + cols + from + " ORDER BY t.\"Z_PK\"" + window;
}

std::string KXStoreSchema::relatedRowsSQL(const KXRelationshipDescription& rel) {
  const KXEntityDescription& dest = rel.destination().rootEntity();
  if (rel.storage() == KXRelationshipDescription::Storage::JoinTable) {
    return "SELECT " + SelectColumns(dest) + " FROM " + Quote(dest.tableName()) + " AS t JOIN " +
           Quote(rel.joinTable()) + " AS j ON j." + Quote(rel.joinDestinationColumn()) +
           " = t.\"Z_PK\" WHERE j." + Quote(rel.joinSourceColumn()) + " = ? ORDER BY t.\"Z_PK\"";
  }
  return "SELECT " + SelectColumns(dest) + " FROM " + Quote(dest.tableName()) + " AS t WHERE t." +
         Quote(ForeignKeyColumn(dest, rel)) + " = ? ORDER BY t.\"Z_PK\"";
}

std::string KXStoreSchema::prefetchRowsSQL(const KXRelationshipDescription& rel) {
  const KXEntityDescription& dest = rel.destination().rootEntity();
  if (rel.storage() == KXRelationshipDescription::Storage::JoinTable) {
    const std::string source = "j." + Quote(rel.joinSourceColumn());
    return "SELECT " + source + ", " + SelectColumns(dest) + " FROM " + Quote(dest.tableName()) +
           " AS t JOIN " + Quote(rel.joinTable()) + " AS j ON j." +
           Quote(rel.joinDestinationColumn()) + " = t.\"Z_PK\" WHERE " + source +
           " IN (SELECT value FROM json_each(?)) ORDER BY " + source + ", t.\"Z_PK\"";
  }
  const std::string source = "t." + Quote(ForeignKeyColumn(dest, rel));
  return "SELECT " + source + ", " + SelectColumns(dest) + " FROM " + Quote(dest.tableName()) +
         " AS t WHERE " + source + " IN (SELECT value FROM json_each(?)) ORDER BY " + source +
         ", t.\"Z_PK\"";
}

std::string KXStoreSchema::countRelatedSQL(const KXRelationshipDescription& rel) {
  if (rel.storage() == KXRelationshipDescription::Storage::JoinTable) {
    return "SELECT count(*) FROM " + Quote(rel.joinTable()) + " WHERE " +
           Quote(rel.joinSourceColumn()) + " = ?";
  }
  const KXEntityDescription& dest = rel.destination().rootEntity();
  return "SELECT count(*) FROM " + Quote(dest.tableName()) + " WHERE " +
         Quote(ForeignKeyColumn(dest, rel)) + " = ?";
}

std::string KXStoreSchema::joinedKeysSQL(const KXRelationshipDescription& rel) {
  return "SELECT " + Quote(rel.joinDestinationColumn()) + " FROM " + Quote(rel.joinTable()) +
         " WHERE " + Quote(rel.joinSourceColumn()) + " = ?";
}

std::string KXStoreSchema::clearJoinSQL(const KXRelationshipDescription& rel) {
  return "DELETE FROM " + Quote(rel.joinTable()) + " WHERE " + Quote(rel.joinSourceColumn()) +
         " = ?";
}

std::string KXStoreSchema::addJoinSQL(const KXRelationshipDescription& rel) {
  return "INSERT OR IGNORE INTO " + Quote(rel.joinTable()) + " (" + Quote(rel.joinSourceColumn()) +
         ", " + Quote(rel.joinDestinationColumn()) + ") VALUES (?, ?)";
}

std::string KXStoreSchema::removeJoinSQL(const KXRelationshipDescription& rel) {
  return "DELETE FROM " + Quote(rel.joinTable()) + " WHERE " + Quote(rel.joinSourceColumn()) +
         " = ? AND " + Quote(rel.joinDestinationColumn()) + " = ?";
}
