// The data client benchmarks' stores: rows written with raw SQLite (fast to
// make, the shape the store reads), then opened by a data context and a
// client as the program opens them; and the listing store, a folder "P"
// with 10,000 children among 30,000 entries (the store benchmark's listing
// store, so that figures compare across the programs).
//
// Thread safety: make the fixtures from the benchmarks' set-up, before any
// queue runs.
#ifndef ZN_BENCH_BENCHLISTINGSTORE_H_
#define ZN_BENCH_BENCHLISTINGSTORE_H_

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"

#include "BenchHome.h"

namespace znbench {

inline constexpr int kListingChildren = 10000;
inline constexpr int kListingOthers = 20000;

// A file id of the service's form (32 upper-case hexadecimal digits).
inline std::string FileIdFor(int i) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%032X", i);
  return buf;
}

struct Row {
  std::string fileId, parentId, title;
  int entity;
  bool dir;
  std::int64_t n;
};

inline void InsertRows(const std::string& path, const std::vector<Row>& rows) {
  static const char* kRawInsert =
      "INSERT INTO FileMeta (Z_ENT, fileId, parentId, title, version, createTime, modifyTime, "
      "localModified, dir, del, remoteRemoved, domain) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)";
  kx::Error e;
  auto store = KXPersistentStore::open(path, "", &e);
  if (!store) {
    std::fprintf(stderr, "open failed: %s\n", e.localizedDescription().c_str());
    std::abort();
  }
  auto& conn = *store->writeConnection();
  kx::MutexLock guard(conn.mutex());
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(conn.handle(), kRawInsert, -1, &st, nullptr);
  if (!conn.exec("BEGIN IMMEDIATE", nullptr)) std::abort();
  for (const Row& r : rows) {
    sqlite3_bind_int(st, 1, r.entity);
    sqlite3_bind_text(st, 2, r.fileId.data(), static_cast<int>(r.fileId.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, r.parentId.data(), static_cast<int>(r.parentId.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 4, r.title.data(), static_cast<int>(r.title.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(st, 5, r.n % 17);
    sqlite3_bind_int64(st, 6, 1600000000 + r.n);
    sqlite3_bind_int64(st, 7, 1600000000 + 2 * r.n);
    sqlite3_bind_int64(st, 8, r.n % 3);
    sqlite3_bind_int(st, 9, r.dir);
    sqlite3_bind_int(st, 10, 0);
    sqlite3_bind_int(st, 11, 0);
    sqlite3_bind_int64(st, 12, 0);
    if (sqlite3_step(st) != SQLITE_DONE) std::abort();
    sqlite3_reset(st);
  }
  if (!conn.exec("COMMIT", nullptr)) std::abort();
  sqlite3_finalize(st);
}

inline int EntityNumber(const char* name) { return KXModel::shared().entity(name)->entityNumber(); }

// A store written with the rows, then opened by a data context and a client.
struct ClientFixture {
  std::string dir = MakeTempDir();
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;

  explicit ClientFixture(const std::vector<Row>& rows) {
    auto environment = std::make_shared<BenchEnvironment>(dir);
    InsertRows(environment->userDataDirectory("bench", nullptr) + "/ZarvelNote.db", rows);
    data = std::make_shared<KXDataContext>(environment);
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
  }
  ~ClientFixture() {
    client.reset();
    data.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string storePath() const { return data->storePath(); }
};

// The listing store: kListingChildren notes under "P" and kListingOthers
// under other parents, interleaved.
inline std::unique_ptr<ClientFixture> MakeListingStore() {
  std::vector<Row> rows;
  const int note = EntityNumber("Note");
  for (int i = 0; i < kListingChildren + kListingOthers; ++i) {
    rows.push_back({FileIdFor(i), i % 3 == 0 ? "P" : "Q" + std::to_string(i % 50),
                    "Note " + std::to_string(i) + ".md", note, false, i});
  }
  return std::make_unique<ClientFixture>(rows);
}

}  // namespace znbench

#endif  // ZN_BENCH_BENCHLISTINGSTORE_H_
