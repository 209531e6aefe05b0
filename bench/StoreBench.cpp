// The note store against raw SQLite doing the same work, over the store's
// own schema, WAL mode and connection settings:
//  - Insert/Store: 100,000 notes with eleven attributes inserted through the
//    write context and saved; Insert/Raw: the same rows through one prepared
//    INSERT in one transaction on the store's own write connection. Opening
//    and closing the store and removing its folder are outside both timings;
//  - ListChildren/Store: the 10,000 children of one notebook (in a store of
//    30,000 entries) fetched as objects on the read context with the
//    listing's condition "parentId = %@ && remoteRemoved = NO";
//    ListChildren/Raw: one prepared SELECT of the same columns the store
//    reads, each value copied into the store's value type;
//  - FetchByFileId/Store: 10,000 lookups "fileId = %@", each its own fetch;
//    FetchByFileId/Raw: the same through one prepared SELECT.
//
// Run: bench_Store [--benchmark_filter=List]
#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXPredicate.h"
#include "Data/store/KXStoreConnection.h"

#include "BenchRatio.h"
#include "RawSqliteRow.h"

namespace {

constexpr int kInsertCount = 100000;
constexpr int kChildren = 10000;
constexpr int kOthers = 20000;
constexpr int kLookups = 10000;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zn-bench-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    path_ = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::shared_ptr<KXPersistentStore> OpenStore(const std::string& dir) {
  kx::Error e;
  auto store = KXPersistentStore::open(dir + "/ZarvelNote.db", "", &e);
  if (!store) {
    std::fprintf(stderr, "open failed: %s\n", e.localizedDescription().c_str());
    std::abort();
  }
  return store;
}

std::string FileIdFor(int i) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%032X", i);
  return buf;
}

// The eleven attributes every benchmark row has.
struct Fields {
  std::string fileId, parentId, title;
  std::int64_t version, createTime, modifyTime, localModified;
  bool dir, del, remoteRemoved;
  std::int64_t domain;
};

Fields RowFields(int i, const std::string& parent) {
  return {FileIdFor(i),
          parent,
          "Note " + std::to_string(i) + ".md",
          i % 17,
          1600000000 + i,
          1600000000 + 2 * i,
          i % 3,
          false,
          false,
          false,
          0};
}

void InsertWithStore(KXManagedObjectContext& writer, const Fields& f) {
  KXManagedObjectPtr note = writer.insertNewObject("Note");
  note->setValue("fileId", kx::Value(f.fileId));
  note->setValue("parentId", kx::Value(f.parentId));
  note->setValue("title", kx::Value(f.title));
  note->setValue("version", kx::Value(static_cast<long long>(f.version)));
  note->setValue("createTime", kx::Value(static_cast<long long>(f.createTime)));
  note->setValue("modifyTime", kx::Value(static_cast<long long>(f.modifyTime)));
  note->setValue("localModified", kx::Value(static_cast<long long>(f.localModified)));
  note->setValue("dir", kx::Value(f.dir));
  note->setValue("del", kx::Value(f.del));
  note->setValue("remoteRemoved", kx::Value(f.remoteRemoved));
  note->setValue("domain", kx::Value(static_cast<long long>(f.domain)));
}

const char* kRawInsert =
    "INSERT INTO FileMeta (Z_ENT, fileId, parentId, title, version, createTime, modifyTime, "
    "localModified, dir, del, remoteRemoved, domain) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)";

void InsertRaw(sqlite3_stmt* st, const Fields& f, int entity) {
  sqlite3_bind_int(st, 1, entity);
  sqlite3_bind_text(st, 2, f.fileId.data(), static_cast<int>(f.fileId.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 3, f.parentId.data(), static_cast<int>(f.parentId.size()),
                    SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 4, f.title.data(), static_cast<int>(f.title.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(st, 5, f.version);
  sqlite3_bind_int64(st, 6, f.createTime);
  sqlite3_bind_int64(st, 7, f.modifyTime);
  sqlite3_bind_int64(st, 8, f.localModified);
  sqlite3_bind_int(st, 9, f.dir);
  sqlite3_bind_int(st, 10, f.del);
  sqlite3_bind_int(st, 11, f.remoteRemoved);
  sqlite3_bind_int64(st, 12, f.domain);
  if (sqlite3_step(st) != SQLITE_DONE) std::abort();
  sqlite3_reset(st);
}

int NoteEntity() { return KXModel::shared().entity("Note")->entityNumber(); }

// ---------------------------------------------------------------------------

void BM_Insert_Store(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<TempDir>();
    auto store = OpenStore(dir->path());
    auto writer = KXManagedObjectContext::create(store, KXManagedObjectContext::Role::Writer);
    state.ResumeTiming();
    for (int i = 0; i < kInsertCount; ++i) InsertWithStore(*writer, RowFields(i, "P"));
    kx::Error e;
    if (!writer->save(&e)) std::abort();
    // Closing the store and removing its folder are outside the measurement,
    // on both sides.
    state.PauseTiming();
    writer.reset();
    store.reset();
    dir.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kInsertCount);
}
BENCHMARK(BM_Insert_Store)->Name("Insert/Store")->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Insert_Raw(benchmark::State& state) {
  const int entity = NoteEntity();
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<TempDir>();
    auto store = OpenStore(dir->path());
    {
      // The store's own write connection: same open flags, pragmas and WAL
      // mode as the store side.
      auto& conn = *store->writeConnection();
      kx::MutexLock guard(conn.mutex());
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(conn.handle(), kRawInsert, -1, &st, nullptr);
      state.ResumeTiming();
      if (!conn.exec("BEGIN IMMEDIATE", nullptr)) std::abort();
      for (int i = 0; i < kInsertCount; ++i) InsertRaw(st, RowFields(i, "P"), entity);
      if (!conn.exec("COMMIT", nullptr)) std::abort();
      state.PauseTiming();
      sqlite3_finalize(st);
    }
    store.reset();
    dir.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kInsertCount);
}
BENCHMARK(BM_Insert_Raw)->Name("Insert/Raw")->Unit(benchmark::kMillisecond)->Iterations(3);

// ---------------------------------------------------------------------------

// A store with kChildren entries under "P" and kOthers under other parents,
// interleaved as a real tree grows.
struct ListingFixture {
  TempDir dir;
  std::shared_ptr<KXPersistentStore> store;
  ListingFixture() {
    store = OpenStore(dir.path());
    auto& conn = *store->writeConnection();
    kx::MutexLock guard(conn.mutex());
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(conn.handle(), kRawInsert, -1, &st, nullptr);
    if (!conn.exec("BEGIN IMMEDIATE", nullptr)) std::abort();
    const int entity = NoteEntity();
    for (int i = 0; i < kChildren + kOthers; ++i) {
      InsertRaw(st, RowFields(i, i % 3 == 0 ? "P" : "Q" + std::to_string(i % 50)), entity);
    }
    if (!conn.exec("COMMIT", nullptr)) std::abort();
    sqlite3_finalize(st);
  }
};

ListingFixture& Listing() {
  static ListingFixture* fixture = new ListingFixture();
  return *fixture;
}

void BM_List_Store(benchmark::State& state) {
  auto reader =
      KXManagedObjectContext::create(Listing().store, KXManagedObjectContext::Role::Reader);
  std::size_t n = 0;
  for (auto _ : state) {
    kx::Error e;
    auto p = KXPredicate::withFormat("parentId = %@ && remoteRemoved = NO", {kx::Value("P")}, &e);
    auto children = reader->fetch(KXFetchRequest("FileMeta", p), &e);
    n = children.size();
    benchmark::DoNotOptimize(children.data());
  }
  if (n != kChildren) state.SkipWithError("wrong number of children");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_List_Store)->Name("ListChildren/Store")->Unit(benchmark::kMillisecond);

void BM_List_Raw(benchmark::State& state) {
  auto& conn = *Listing().store->readConnection();
  std::string sql = RawFileMetaSelect("WHERE parentId = ? AND remoteRemoved = 0 ORDER BY Z_PK");
  kx::MutexLock guard(conn.mutex());
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(conn.handle(), sql.c_str(), -1, &st, nullptr);
  const int columns = sqlite3_column_count(st);
  std::size_t n = 0;
  for (auto _ : state) {
    sqlite3_bind_text(st, 1, "P", 1, SQLITE_STATIC);
    std::vector<std::vector<RawValue>> rows = CopyRawRows(st, columns);
    n = rows.size();
    benchmark::DoNotOptimize(rows.data());
  }
  sqlite3_finalize(st);
  if (n != kChildren) state.SkipWithError("wrong number of children");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_List_Raw)->Name("ListChildren/Raw")->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------

void BM_Lookup_Store(benchmark::State& state) {
  auto reader =
      KXManagedObjectContext::create(Listing().store, KXManagedObjectContext::Role::Reader);
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (int i = 0; i < kLookups; ++i) {
      kx::Error e;
      auto p = KXPredicate::withFormat("fileId = %@", {kx::Value(FileIdFor(i * 3 + 1))}, &e);
      KXFetchRequest request("FileMeta", p);
      request.fetchLimit = 1;
      auto objects = reader->fetch(request, &e);
      found += objects.empty() ? 0 : 1;
    }
  }
  if (found != kLookups) state.SkipWithError("lookups missed");
  state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_Lookup_Store)->Name("FetchByFileId/Store")->Unit(benchmark::kMillisecond);

void BM_Lookup_Raw(benchmark::State& state) {
  auto& conn = *Listing().store->readConnection();
  std::string sql = RawFileMetaSelect("WHERE fileId = ? ORDER BY Z_PK LIMIT 1");
  kx::MutexLock guard(conn.mutex());
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(conn.handle(), sql.c_str(), -1, &st, nullptr);
  const int columns = sqlite3_column_count(st);
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (int i = 0; i < kLookups; ++i) {
      std::string id = FileIdFor(i * 3 + 1);
      sqlite3_bind_text(st, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<RawValue> row = CopyRawRow(st, columns);
        benchmark::DoNotOptimize(row.data());
        ++found;
      }
      sqlite3_reset(st);
    }
  }
  sqlite3_finalize(st);
  if (found != kLookups) state.SkipWithError("lookups missed");
  state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_Lookup_Raw)->Name("FetchByFileId/Raw")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  znbench::MedianReporter reporter;
  if (int status = znbench::RunWithMedians(argc, argv, reporter)) return status;
  reporter.printRatio("Store/Insert", "Insert/Store/iterations:3", "Insert/Raw/iterations:3", "ms");
  reporter.printRatio("Store/ListChildren", "ListChildren/Store", "ListChildren/Raw", "ms");
  reporter.printRatio("Store/FetchByFileId", "FetchByFileId/Store", "FetchByFileId/Raw", "ms");
  return 0;
}
