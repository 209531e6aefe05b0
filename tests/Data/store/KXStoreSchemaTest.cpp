#include <gtest/gtest.h>

#include <sqlite3.h>

#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreError.h"
#include "support/TempAppRoot.h"

namespace {

void Exec(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

std::int64_t Scalar(KXStoreConnection& conn, const char* sql) {
  kx::MutexLock guard(conn.mutex());
  sqlite3_stmt* st = conn.statement(sql, nullptr);
  EXPECT_TRUE(st);
  if (!st) return -1;
  KXStatementReset reset(st);
  EXPECT_EQ(sqlite3_step(st), SQLITE_ROW);
  return sqlite3_column_int64(st, 0);
}

TEST(KXStoreSchemaTest, OlderStoresGainWhatTheyLackAndKeepTheirData) {
  kxtest::TempAppRoot root;
  std::string path = root.path() + "/ZarvelNote.db";
  // A store of an older version: FileMeta without most of today's columns,
  // no Tag table, plus a column this version does not know.
  Exec(path,
       "CREATE TABLE FileMeta (Z_PK INTEGER PRIMARY KEY AUTOINCREMENT, Z_ENT INTEGER NOT NULL, "
       "fileId TEXT, title TEXT, legacy TEXT);"
       "INSERT INTO FileMeta (Z_ENT, fileId, title, legacy) VALUES (2, 'N1', 'kept', 'old');");
  kx::Error e;
  auto store = KXPersistentStore::open(path, "", &e);
  ASSERT_TRUE(store) << e.localizedDescription();
  EXPECT_EQ(Scalar(*store->writeConnection(), "PRAGMA user_version"), KXModel::kSchemaVersion);
  EXPECT_EQ(Scalar(*store->writeConnection(),
                   "SELECT count(*) FROM pragma_table_info('FileMeta') WHERE name = 'hasIndex'"),
            1);
  EXPECT_EQ(
      Scalar(*store->writeConnection(), "SELECT count(*) FROM sqlite_master WHERE name = 'Tag'"),
      1);

  auto writer = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Writer);
  auto notes = writer->fetch(KXFetchRequest("Note"));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0]->stringValue("title"), "kept");
  notes[0]->setValue("hasIndex", kx::Value(true));
  auto tag = writer->insertNewObject("Tag");
  ASSERT_TRUE(tag);
  tag->setValue("name", kx::Value("t"));
  // A new row's key follows the old ones.
  auto note = writer->insertNewObject("Note");
  EXPECT_EQ(note->objectID().primaryKey(), 2);
  ASSERT_TRUE(writer->save(&e)) << e.localizedDescription();
  // The column this version does not know is left alone.
  EXPECT_EQ(Scalar(*store->writeConnection(), "SELECT count(*) FROM FileMeta WHERE legacy = 'old'"),
            1);

  // Opening again changes nothing.
  writer.reset();
  store.reset();
  store = KXPersistentStore::open(path, "", &e);
  ASSERT_TRUE(store) << e.localizedDescription();
  auto reader = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Reader);
  EXPECT_EQ(reader->count(KXFetchRequest("FileMeta", KXPredicate::withFormat("hasIndex = YES"))),
            1);
}

// Title lookups within a folder go through an index on (parentId, title),
// which stores made before it gain when they are opened; an exact title and
// a range of titles are both looked up through it, not through the folder.
TEST(KXStoreSchemaTest, OlderStoresGainTheFolderTitleIndex) {
  kxtest::TempAppRoot root;
  std::string path = root.path() + "/ZarvelNote.db";
  Exec(path,
       "CREATE TABLE FileMeta (Z_PK INTEGER PRIMARY KEY AUTOINCREMENT, Z_ENT INTEGER NOT NULL, "
       "fileId TEXT, parentId TEXT, title TEXT, del INTEGER);"
       "CREATE INDEX FileMeta_parentId ON FileMeta (parentId);");
  kx::Error e;
  auto store = KXPersistentStore::open(path, "", &e);
  ASSERT_TRUE(store) << e.localizedDescription();
  KXStoreConnection& conn = *store->writeConnection();
  EXPECT_EQ(Scalar(conn,
                   "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                   "name = 'FileMeta_parentId_title'"),
            1);
  for (const char* condition : {"t.title = ?", "t.title >= ? AND t.title < ?"}) {
    const std::string sql =
        "EXPLAIN QUERY PLAN SELECT t.Z_PK FROM FileMeta AS t WHERE t.Z_ENT IN (2) AND "
        "((t.del = ?) AND (" +
        std::string(condition) +
        ") AND (t.parentId = ?) AND (t.fileId IS NOT ?)) ORDER BY t.Z_PK LIMIT 1";
    kx::MutexLock guard(conn.mutex());
    sqlite3_stmt* st = conn.statement(sql, nullptr);
    ASSERT_TRUE(st) << sql;
    KXStatementReset reset(st);
    std::string plan;
    while (sqlite3_step(st) == SQLITE_ROW) {
      plan += reinterpret_cast<const char*>(sqlite3_column_text(st, 3));
      plan += "\n";
    }
    EXPECT_NE(plan.find("FileMeta_parentId_title"), std::string::npos) << condition << "\n" << plan;
  }
}

TEST(KXStoreSchemaTest, ForeignTablesAreRefused) {
  kxtest::TempAppRoot root;
  std::string path = root.path() + "/ZarvelNote.db";
  Exec(path, "CREATE TABLE Tag (id INTEGER PRIMARY KEY, name TEXT);");
  kx::Error e;
  EXPECT_FALSE(KXPersistentStore::open(path, "", &e));
  EXPECT_EQ(e.code(), kKXStoreIncompatibleError);
  EXPECT_TRUE(KXPersistentStore::isDamagedStoreError(e));
}

}  // namespace
