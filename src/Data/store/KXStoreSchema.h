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
// It also writes the text of every statement the object context runs on
// those tables (reads of rows, inserts, updates, deletes, fetches, to-many
// reads and join-table changes), so that the schema and the statements that
// depend on its layout are in one place; the context binds values and reads
// rows. Rows are read as "Z_PK", "Z_ENT", then the table's columns in
// KXEntityDescription::columns() order (alias "t").
//
// Thread safety: works on one connection, under that connection's lock,
// which the caller holds. The statement builders keep no state beyond a
// table of column lists made once, and may be called from any thread.
#ifndef ZN_DATA_KXSTORESCHEMA_H_
#define ZN_DATA_KXSTORESCHEMA_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Data/store/KXStoreConnection.h"
#include "platform/Error.h"

class KXAttributeDescription;
class KXEntityDescription;
class KXRelationshipDescription;

class KXStoreSchema {
 public:
  KXStoreSchema() = delete;

  // Creates or migrates the schema in one transaction. A file whose tables
  // have the model's names but not its key columns fails with
  // kKXStoreIncompatibleError.
  [[nodiscard]] static bool prepare(KXStoreConnection& connection, kx::Error* error)
      REQUIRES(connection.mutex());

  // The CREATE TABLE statement of a table (for tests and diagnostics).
  static std::string createTableSQL(const std::string& tableName);

  // A table or column name as an SQL identifier: in double quotes, inner
  // quotes doubled. Names come only from the model; values are always bound.
  static std::string quoteIdentifier(std::string_view name);

  // ---- Statements of the object context. `table` is a root entity's table.

  // The row of a key. Binds: the key.
  static std::string selectRowSQL(const KXEntityDescription& table);
  // The largest key the table ever gave out (AUTOINCREMENT's record, or the
  // rows themselves when there is none yet). Binds: the table's name.
  static std::string lastKeySQL(const KXEntityDescription& table);
  // A new row with the given columns (indexes into table.columns()).
  // Binds: the key, the entity number, then the columns' values.
  static std::string insertRowSQL(const KXEntityDescription& table,
                                  const std::vector<int>& columns);
  // New values for the given columns of a row. Binds: the columns' values,
  // then the key.
  static std::string updateRowSQL(const KXEntityDescription& table,
                                  const std::vector<int>& columns);
  // Deletes a row. Binds: the key.
  static std::string deleteRowSQL(const KXEntityDescription& table);
  // The keys of the rows whose foreign key `rel` names a row. Binds: that
  // row's key.
  static std::string keysReferencingSQL(const KXRelationshipDescription& rel);

  // What a fetch reads from each row it selects.
  enum class FetchShape { Rows, Keys, Count, Attributes };
  // A fetch of `entity` (and its sub-entities) from its table, alias "t",
  // in key order. `condition` is an SQL condition over "t" (the
  // predicate's, with its own bindings) or empty. Attributes reads
  // `attributes` in order, grouped to distinct value sets when `distinct`.
  // A limit or offset of 0 or less means none.
  static std::string fetchSQL(const KXEntityDescription& entity, std::string_view condition,
                              FetchShape shape,
                              const std::vector<const KXAttributeDescription*>& attributes,
                              bool distinct, std::int64_t limit, std::int64_t offset);

  // The rows of a to-many relationship's destination, in key order. Binds:
  // the source row's key.
  static std::string relatedRowsSQL(const KXRelationshipDescription& rel);
  // The same rows for many source rows at once: each row is preceded by
  // the key of its source row (column 0), ordered by that key and then by
  // the row's key, so each source's rows come in relatedRowsSQL's order.
  // Binds: a JSON array of the source rows' keys.
  static std::string prefetchRowsSQL(const KXRelationshipDescription& rel);
  // The number of those rows. Binds: the source row's key.
  static std::string countRelatedSQL(const KXRelationshipDescription& rel);
  // The destination keys a many-to-many relationship's join table holds
  // for a source row, in no order. Binds: the source row's key.
  static std::string joinedKeysSQL(const KXRelationshipDescription& rel);
  // Join-table changes of a many-to-many relationship. Binds: the source
  // row's key (and for add and remove, the destination row's key).
  static std::string clearJoinSQL(const KXRelationshipDescription& rel);
  static std::string addJoinSQL(const KXRelationshipDescription& rel);
  static std::string removeJoinSQL(const KXRelationshipDescription& rel);
};

#endif  // ZN_DATA_KXSTORESCHEMA_H_
