// What a caller of raw SQLite keeps of a row: every column copied out into
// the same value type the store's objects hold (kx::Value), so that the
// baseline does the same copying and the same allocations as the store and
// differs only in what the store adds on top (conditions, objects, the
// identity map). The store benchmarks compare the store against it.
//
// Thread safety: plain functions over a statement the caller owns.
#ifndef ZN_BENCH_RAWSQLITEROW_H_
#define ZN_BENCH_RAWSQLITEROW_H_

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Data/store/KXModel.h"
#include "platform/Value.h"

using RawValue = kx::Value;

// "SELECT Z_PK, Z_ENT, <every FileMeta column> FROM FileMeta <tail>": the
// row a store object is made from, read with plain SQL.
inline std::string RawFileMetaSelect(const std::string& tail) {
  const KXEntityDescription* table = KXModel::shared().entity("FileMeta");
  std::string sql = "SELECT Z_PK, Z_ENT";
  for (const auto& c : table->columns()) sql += ", \"" + c.name + "\"";
  return sql + " FROM FileMeta " + tail;
}

// Copies every column of the statement's current row.
inline std::vector<RawValue> CopyRawRow(sqlite3_stmt* st, int columns) {
  std::vector<RawValue> row(static_cast<std::size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    auto& slot = row[static_cast<std::size_t>(c)];
    switch (sqlite3_column_type(st, c)) {
      case SQLITE_INTEGER:
        slot = kx::Value(static_cast<long long>(sqlite3_column_int64(st, c)));
        break;
      case SQLITE_FLOAT: slot = kx::Value(sqlite3_column_double(st, c)); break;
      case SQLITE_TEXT:
        slot = kx::Value(std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(st, c)),
                                          static_cast<std::size_t>(sqlite3_column_bytes(st, c))));
        break;
      case SQLITE_BLOB:
        slot = kx::Value::data(sqlite3_column_blob(st, c),
                               static_cast<std::size_t>(sqlite3_column_bytes(st, c)));
        break;
      default: break;
    }
  }
  return row;
}

// Steps the statement to its end, copying every row, and resets it.
inline std::vector<std::vector<RawValue>> CopyRawRows(sqlite3_stmt* st, int columns) {
  std::vector<std::vector<RawValue>> rows;
  while (sqlite3_step(st) == SQLITE_ROW) rows.push_back(CopyRawRow(st, columns));
  sqlite3_reset(st);
  return rows;
}

#endif  // ZN_BENCH_RAWSQLITEROW_H_
