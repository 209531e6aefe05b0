// KXStoreSchema makes the SQLite schema of the model (KXModel) exist in a
// store file: one table per root entity with its hidden "Z_PK" (INTEGER
// PRIMARY KEY AUTOINCREMENT) and "Z_ENT" columns, the join tables, the
// foreign keys (ON DELETE SET NULL for to-one relationships, ON DELETE
// CASCADE for the rows of a join table, which removes the link and nothing
// else), and the indexes. Migration is additive: tables and columns that the
// model has and the file lacks are added; nothing is dropped or changed, so
// an older store opens with its data and a newer one keeps columns this
// program does not know. The schema version is PRAGMA user_version; it is
// raised to KXModel::kSchemaVersion and never lowered.
//
// Thread safety: works on one connection, under that connection's lock,
// which the caller holds.
#ifndef ZN_DATA_KXSTORESCHEMA_H_
#define ZN_DATA_KXSTORESCHEMA_H_

#include <string>
#include <string_view>

#include "platform/Error.h"

class KXStoreConnection;

class KXStoreSchema {
 public:
  KXStoreSchema() = delete;

  // Creates or migrates the schema in one transaction. A file whose tables
  // have the model's names but not its key columns fails with
  // kKXStoreIncompatibleError.
  [[nodiscard]] static bool prepare(KXStoreConnection& connection, kx::Error* error);

  // The CREATE TABLE statement of a table (for tests and diagnostics).
  static std::string createTableSQL(const std::string& tableName);

  // A table or column name as an SQL identifier: in double quotes, inner
  // quotes doubled. Names come only from the model; values are always bound.
  static std::string quoteIdentifier(std::string_view name);
};

#endif  // ZN_DATA_KXSTORESCHEMA_H_
