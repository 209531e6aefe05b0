// The store's file format, held to checked-in files under tests/data/store:
//
//  - schema.txt: the schema a new store gets (sqlite_master, every table's
//    columns with their types, user_version) and the model's entity
//    numbers, which are stored in every row;
//  - v<N>.db with v<N>.txt: a small store written by the build of schema
//    version N, and every row of it as that build read it back. Every later
//    build must open each such store and read the same rows.
//
// A change of the format must change these files on purpose, together with
// the migration that brings older stores along. Running the test program
// with ZN_UPDATE_STORE_FORMAT=1 rewrites schema.txt and writes the store of
// the current schema version (an existing store file is never replaced).
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "support/Fixtures.h"
#include "support/TempAppRoot.h"

namespace {

namespace fs = std::filesystem;

bool Updating() {
  const char* v = std::getenv("ZN_UPDATE_STORE_FORMAT");
  return v && std::string(v) == "1";
}

std::string ReadText(const std::string& path) {
  kx::Bytes bytes = kxtest::readFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::vector<std::string>> Rows(sqlite3* db, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3_stmt* st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
  while (st && sqlite3_step(st) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      const unsigned char* text = sqlite3_column_text(st, i);
      row.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(st);
  return rows;
}

// The schema of the store file at `path` and the model's entity numbers,
// as stable text.
std::string SchemaDump(const std::string& path) {
  std::ostringstream out;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  out << "user_version " << Rows(db, "PRAGMA user_version").at(0).at(0) << "\n";
  for (const auto& row : Rows(db,
                              "SELECT type, name, tbl_name, coalesce(sql, '') FROM sqlite_master "
                              "WHERE name NOT LIKE 'sqlite_%' ORDER BY type, name")) {
    out << row[0] << " " << row[1] << " on " << row[2] << "\n  " << row[3] << "\n";
    if (row[0] != "table") continue;
    for (const auto& column :
         Rows(db,
              "SELECT name, type, \"notnull\", coalesce(dflt_value, ''), pk FROM "
              "pragma_table_info('" +
                  row[1] + "') ORDER BY cid")) {
      out << "  column " << column[0] << " " << column[1] << " notnull=" << column[2]
          << " default=" << column[3] << " pk=" << column[4] << "\n";
    }
  }
  sqlite3_close(db);
  std::vector<const KXEntityDescription*> entities = KXModel::shared().entities();
  std::sort(entities.begin(), entities.end(),
            [](const KXEntityDescription* a, const KXEntityDescription* b) {
              return a->entityNumber() < b->entityNumber();
            });
  for (const KXEntityDescription* e : entities) {
    out << "entity " << e->entityNumber() << " " << e->name() << " in " << e->tableName() << "\n";
  }
  return out.str();
}

std::string Describe(const kx::Value& v) {
  static const char* const kHex = "0123456789abcdef";
  switch (v.kind()) {
    case kx::Value::Kind::Null: return "nil";
    case kx::Value::Kind::Bool: return v.boolValue() ? "bool YES" : "bool NO";
    case kx::Value::Kind::Int64: return "int " + std::to_string(v.intValue());
    case kx::Value::Kind::UInt64: return "uint " + std::to_string(v.unsignedValue());
    case kx::Value::Kind::Double: {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%.17g", v.doubleValue());
      return std::string("real ") + buffer;
    }
    case kx::Value::Kind::String: return "text \"" + v.string() + "\"";
    case kx::Value::Kind::Data: {
      std::string out = "bytes ";
      for (std::uint8_t b : v.bytes()) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
      }
      return out;
    }
    default: return "other";
  }
}

// Every row of every table as the store reads it: entity, ID, each
// attribute and relationship with its value's kind.
std::string ContentDump(KXManagedObjectContext& context) {
  std::ostringstream out;
  for (const KXEntityDescription* table : KXModel::shared().rootEntities()) {
    kx::Error e;
    for (const KXManagedObjectPtr& object : context.fetch(KXFetchRequest(table->name()), &e)) {
      const KXEntityDescription& entity = object->entity();
      out << entity.name() << " " << object->objectID().uriRepresentation() << "\n";
      for (const KXAttributeDescription* a : entity.attributes()) {
        kx::Value v = object->value(a->name());
        if (!v.isNull()) out << "  " << a->name() << " = " << Describe(v) << "\n";
      }
      for (const KXRelationshipDescription* r : entity.relationships()) {
        kx::Value v = object->value(r->name());
        if (v.isNull() || (v.isArray() && v.size() == 0)) continue;
        out << "  " << r->name() << " ->";
        if (v.isArray()) {
          for (const kx::Value& id : v.array()) out << " " << id.string();
        } else {
          out << " " << v.string();
        }
        out << "\n";
      }
    }
    EXPECT_FALSE(e) << table->name() << ": " << e.localizedDescription();
  }
  return out.str();
}

// A small store with a row of every kind the client writes and a value of
// every type: text with non-ASCII and quotes, integers beyond 32 bits,
// Booleans, times, bytes, the free-typed state value in each kind, to-one
// and many-to-many links.
void WriteSampleStore(KXManagedObjectContext& w) {
  auto add = [&](const char* entity, kx::Dictionary values) {
    KXManagedObjectPtr o = w.insertNewObject(entity);
    EXPECT_TRUE(o) << entity;
    EXPECT_TRUE(o->setValuesForKeys(values)) << entity;
    return o;
  };
  using V = kx::Value;
  add("Root", {{"fileId", V("ROOT")}, {"title", V("Root")}, {"version", V(42)}});
  auto book = add("Notebook", {{"fileId", V("B0000000000000000000000000000001")},
                               {"parentId", V("ROOT")},
                               {"title", V("Bücher \"neu\"")},
                               {"dir", V(true)},
                               {"encrypted", V(false)},
                               {"createTime", V(1700000000)},
                               {"modifyTime", V(1700000100)}});
  (void)book;
  auto note = add("Note", {{"fileId", V("N0000000000000000000000000000001")},
                           {"parentId", V("B0000000000000000000000000000001")},
                           {"title", V("笔记 one")},
                           {"dir", V(false)},
                           {"del", V(false)},
                           {"remoteRemoved", V(false)},
                           {"localModified", V(2)},
                           {"size", V(5000000000LL)},
                           {"tags", V("12,123")},
                           {"transactionTime", V(1700000200)},
                           {"transactionId", V("t-1")},
                           {"stick", V(true)},
                           {"entryProps", V::data("\x00\x01\xfe", 3)}});
  add("Note", {{"fileId", V("N0000000000000000000000000000002")},
               {"parentId", V("1")},
               {"title", V("")},
               {"del", V(true)}});
  add("NormalFile", {{"fileId", V("F0000000000000000000000000000001")},
                     {"parentId", V("-2")},
                     {"title", V("report.pdf")},
                     {"size", V(1)}});
  auto entry = add("ResourceEntry", {{"entryID", V(7)}});
  auto image =
      add("Image", {{"fileId", V("R0000000000000000000000000000001")}, {"localModified", V(true)}});
  auto attachment = add("Attachment", {{"fileId", V("R0000000000000000000000000000002")}});
  EXPECT_TRUE(image->setObject("entry", entry));
  EXPECT_TRUE(note->setObjects("resources", {image, attachment}));
  auto link = add("ShareLink", {{"entryId", V("N0000000000000000000000000000001")},
                                {"shareUrl", V("https://example.invalid/s/1")},
                                {"searchEngineEnable", V(false)}});
  EXPECT_TRUE(note->setObject("shareLinkInfo", link));
  add("Tag", {{"tagId", V("12")}, {"name", V("work")}, {"isLocalRemoved", V(false)}});
  add("DbState", {{"stateKey", V("dbVersion")}, {"stateValue", V(10)}});
  add("DbState", {{"stateKey", V("real")}, {"stateValue", V(0.5)}});
  add("DbState", {{"stateKey", V("text")}, {"stateValue", V("10")}});
  add("DbState", {{"stateKey", V("bytes")}, {"stateValue", V::data("ab", 2)}});
  add("FailedInfo", {{"fileId", V("N0000000000000000000000000000003")}, {"retry", V(3)}});
}

TEST(KXStoreFormatTest, NewStoresHaveTheCheckedInSchema) {
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/ZarvelNote.db";
  {
    kx::Error e;
    auto store = KXPersistentStore::open(path, "", &e);
    ASSERT_TRUE(store) << e.localizedDescription();
  }
  const std::string dump = SchemaDump(path);
  const std::string golden = kxtest::fixturePath("store/schema.txt");
  if (Updating()) WriteText(golden, dump);
  EXPECT_EQ(dump, ReadText(golden))
      << "The store's file format changed. If that is meant, add the migration and "
         "rewrite tests/data/store/schema.txt (ZN_UPDATE_STORE_FORMAT=1).";
}

TEST(KXStoreFormatTest, StoresOfEveryVersionReadBackExactly) {
  const std::string folder = kxtest::fixturePath("store");
  const std::string current = folder + "/v" + std::to_string(KXModel::kSchemaVersion) + ".db";
  if (Updating() && !fs::exists(current)) {
    kxtest::TempAppRoot root;
    const std::string path = root.path() + "/ZarvelNote.db";
    {
      kx::Error e;
      auto store = KXPersistentStore::open(path, "", &e);
      ASSERT_TRUE(store) << e.localizedDescription();
      auto writer = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Writer);
      WriteSampleStore(*writer);
      ASSERT_TRUE(writer->save(&e)) << e.localizedDescription();
      auto reader = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Reader);
      WriteText(folder + "/v" + std::to_string(KXModel::kSchemaVersion) + ".txt",
                ContentDump(*reader));
    }
    kx::Error e;
    ASSERT_TRUE(KXPersistentStore::checkpointIntoSingleFile(path, "", &e))
        << e.localizedDescription();
    fs::copy_file(path, current);
  }

  std::vector<std::string> stores;
  for (const auto& item : fs::directory_iterator(folder)) {
    if (item.path().extension() == ".db") stores.push_back(item.path().string());
  }
  std::sort(stores.begin(), stores.end());
  ASSERT_FALSE(stores.empty()) << "no store under " << folder;
  ASSERT_TRUE(std::find(stores.begin(), stores.end(), current) != stores.end())
      << "no store of schema version " << KXModel::kSchemaVersion
      << "; write it with ZN_UPDATE_STORE_FORMAT=1";
  for (const std::string& golden : stores) {
    SCOPED_TRACE(golden);
    // Opening migrates the file: work on a copy.
    kxtest::TempAppRoot root;
    const std::string path = root.path() + "/ZarvelNote.db";
    fs::copy_file(golden, path);
    kx::Error e;
    auto store = KXPersistentStore::open(path, "", &e);
    ASSERT_TRUE(store) << e.localizedDescription();
    auto reader = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Reader);
    std::string expected = ReadText(fs::path(golden).replace_extension(".txt").string());
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(ContentDump(*reader), expected);
  }
}

}  // namespace
