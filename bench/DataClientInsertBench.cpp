// Inserting notes through the data client's generic insert
// (addManagedObjectsSync with entity "Note", on the write queue with the
// write context, as the wrappers call it), each insert with its stored-id
// check and its title check, then the save:
//  - Batch: 10,000 notes into one folder in one insert and one save. Their
//    titles come in groups of ten equal titles, each group's title saved
//    in the folder before the timed run (for every other group its first
//    two numbered forms too), so every note is renamed, half of them after
//    three tries.
//  - Batch/Raw: the same rows written with raw SQLite in one transaction,
//    with the same work done the plain way: per row the stored-id check on
//    the writing connection, the title check in SQL on the reading
//    connection (which, like the client's read queue, sees the saved state
//    only), numbered with the same title helpers until free, then the
//    INSERT of the same columns; one COMMIT. Both connections are the
//    store's own (SQLITE_OPEN_NOMUTEX, WAL, the same pragmas and indexes).
//  - OneNote/folder:<size>/taken:<0|1>: one note inserted and saved at a
//    time into a folder of 100, 10,000 or 100,000 entries in a store of
//    about 110,000, its title new or one the folder holds (then renamed).
//    The folders are built with raw inserts before the timer runs. The
//    smallest folders are taken in turn (50 folders of 100) so that the
//    timed inserts barely change their size.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_DataClientInsert [--benchmark_filter=OneNote]
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "BenchRatio.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreEnvironment.h"

namespace {

using znbench::BenchEnvironment;
using znbench::MakeTempDir;

constexpr int kBatch = 10000;
constexpr int kGroup = 10;
constexpr int kStoreSize = 110000;
constexpr int kOneNoteInserts = 1000;
constexpr int kSmallFolders = 50;

std::string FileIdFor(char prefix, int i) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%c%031X", prefix, i);
  return buf;
}

int NoteEntity() { return KXModel::shared().entity("Note")->entityNumber(); }

struct Row {
  std::string fileId, parentId, title;
};

void Must(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench set-up failed: %s\n", what);
    std::abort();
  }
}

// Saved rows written through the store's own writing connection.
void InsertRows(KXStoreConnection& conn, const std::vector<Row>& rows) {
  kx::MutexLock guard(conn.mutex());
  sqlite3_stmt* st = nullptr;
  Must(sqlite3_prepare_v2(conn.handle(),
                          "INSERT INTO FileMeta (Z_ENT, fileId, parentId, title, version, "
                          "createTime, modifyTime, dir, del) VALUES (?,?,?,?,1,1600000000,"
                          "1600000000,0,0)",
                          -1, &st, nullptr) == SQLITE_OK,
       "prepare");
  Must(conn.exec("BEGIN IMMEDIATE", nullptr), "begin");
  const int entity = NoteEntity();
  for (const Row& r : rows) {
    sqlite3_bind_int(st, 1, entity);
    sqlite3_bind_text(st, 2, r.fileId.data(), static_cast<int>(r.fileId.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, r.parentId.data(), static_cast<int>(r.parentId.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 4, r.title.data(), static_cast<int>(r.title.size()), SQLITE_TRANSIENT);
    Must(sqlite3_step(st) == SQLITE_DONE, "insert");
    sqlite3_reset(st);
  }
  Must(conn.exec("COMMIT", nullptr), "commit");
  sqlite3_finalize(st);
}

// A store file written with the rows, then opened by a data context and a
// client (or, for the raw runs, by the store alone).
struct Fixture {
  std::string dir = MakeTempDir();
  std::shared_ptr<BenchEnvironment> environment = std::make_shared<BenchEnvironment>(dir);
  std::string path = environment->userDataDirectory("bench", nullptr) + "/ZarvelNote.db";
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;

  explicit Fixture(const std::vector<Row>& rows) {
    kx::Error e;
    auto store = KXPersistentStore::open(path, "", &e);
    Must(store != nullptr, "open");
    InsertRows(*store->writeConnection(), rows);
  }
  void openClient() {
    data = std::make_shared<KXDataContext>(environment);
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
  }
  ~Fixture() {
    client.reset();
    data.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

// ---------------------------------------------------------------------------
// Batch
// ---------------------------------------------------------------------------

std::string GroupTitle(int group) { return "Title " + std::to_string(group) + ".md"; }

std::vector<Row> BatchSavedRows() {
  std::vector<Row> rows;
  for (int g = 0; g < kBatch / kGroup; ++g) {
    rows.push_back({FileIdFor('S', 3 * g), "P", GroupTitle(g)});
    if (g % 2 == 0) {
      rows.push_back({FileIdFor('S', 3 * g + 1), "P", "Title " + std::to_string(g) + "(1).md"});
      rows.push_back({FileIdFor('S', 3 * g + 2), "P", "Title " + std::to_string(g) + "(2).md"});
    }
  }
  // Other folders, so that the folder is not the whole store.
  for (int i = 0; i < 20000; ++i) {
    rows.push_back({FileIdFor('O', i), "Q" + std::to_string(i % 20), GroupTitle(i)});
  }
  return rows;
}

struct NewNote {
  std::string fileId, parentId, title;
  std::int64_t time;
};

std::vector<NewNote> BatchNotes() {
  std::vector<NewNote> notes;
  for (int i = 0; i < kBatch; ++i) {
    notes.push_back({FileIdFor('N', i), "P", GroupTitle(i / kGroup), 1700000000 + i});
  }
  return notes;
}

kx::Value ItemFor(const NewNote& n) {
  return kx::Value(kx::Dictionary{{"fileId", kx::Value(n.fileId)},
                                  {"parentId", kx::Value(n.parentId)},
                                  {"title", kx::Value(n.title)},
                                  {"version", kx::Value(1LL)},
                                  {"createTime", kx::Value(static_cast<long long>(n.time))},
                                  {"modifyTime", kx::Value(static_cast<long long>(n.time))},
                                  {"dir", kx::Value(false)},
                                  {"del", kx::Value(false)}});
}

// The client's insert and the save, on the write queue. Answers the number
// of notes saved (renamed ones counted in *renamed).
std::size_t InsertAndSave(KXDataClient& client, KXDataContext& data, const kx::Array& items,
                          std::size_t* renamed) {
  std::size_t n = 0;
  data.performSyncWriteBlock([&](KXManagedObjectContext& context) {
    std::vector<KXManagedObjectPtr> inserted =
        client.writes().addManagedObjectsSync("Note", &context, items, nullptr);
    kx::Error e;
    if (!context.save(&e)) return;
    n = inserted.size();
    for (const KXManagedObjectPtr& object : inserted) {
      if (object->boolValue("localModified")) ++*renamed;
    }
  });
  return n;
}

void BM_Batch(benchmark::State& state) {
  const std::vector<Row> saved = BatchSavedRows();
  kx::Array items;
  for (const NewNote& n : BatchNotes()) items.push_back(ItemFor(n));
  std::size_t stored = 0;
  std::size_t renamed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto fixture = std::make_unique<Fixture>(saved);
    fixture->openClient();
    renamed = 0;
    state.ResumeTiming();
    stored = InsertAndSave(*fixture->client, *fixture->data, items, &renamed);
    state.PauseTiming();
    fixture.reset();
    state.ResumeTiming();
  }
  if (stored != kBatch || renamed != kBatch) state.SkipWithError("notes lost or not renamed");
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Batch)->Name("DataClientInsert/Batch")->Unit(benchmark::kMillisecond)->Iterations(5);

// The title check the plain way, on the reading connection: the asked
// title, then its numbered forms, one indexed lookup each, until one is free.
class RawTitleCheck {
 public:
  explicit RawTitleCheck(KXStoreConnection& reader) : reader_(reader) {
    const std::string sql =
        "SELECT fileId FROM FileMeta WHERE Z_ENT = " + std::to_string(NoteEntity()) +
        " AND del = 0 AND title = ? AND parentId = ? AND fileId IS NOT ? "
        "ORDER BY Z_PK LIMIT 1";
    Must(sqlite3_prepare_v2(reader.handle(), sql.c_str(), -1, &st_, nullptr) == SQLITE_OK,
         "prepare the title check");
  }
  ~RawTitleCheck() { sqlite3_finalize(st_); }

  // The free title; *taken when the asked one was taken.
  std::string freeTitle(const std::string& title, const std::string& parentId, bool* taken) {
    kx::MutexLock guard(reader_.mutex());
    *taken = false;
    std::string candidate = title;
    NSStringDupTitle::Comps comps;
    for (int tries = 0; tries < KXEntryReads::kMaxDupTitleTries && isTaken(candidate, parentId);
         ++tries) {
      if (!*taken) comps = NSStringDupTitle::dupFileTitleComps(title);
      *taken = true;
      ++comps.counter;
      candidate = NSStringDupTitle::dupTitleFromComps(comps);
    }
    return candidate;
  }

 private:
  bool isTaken(const std::string& title, const std::string& parentId) {
    sqlite3_bind_text(st_, 1, title.data(), static_cast<int>(title.size()), SQLITE_STATIC);
    sqlite3_bind_text(st_, 2, parentId.data(), static_cast<int>(parentId.size()), SQLITE_STATIC);
    sqlite3_bind_text(st_, 3, "", 0, SQLITE_STATIC);
    const bool found = sqlite3_step(st_) == SQLITE_ROW;
    sqlite3_reset(st_);
    return found;
  }

  KXStoreConnection& reader_;
  sqlite3_stmt* st_ = nullptr;
};

void BM_BatchRaw(benchmark::State& state) {
  const std::vector<Row> saved = BatchSavedRows();
  const std::vector<NewNote> notes = BatchNotes();
  std::size_t stored = 0;
  std::size_t renamed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto fixture = std::make_unique<Fixture>(saved);
    kx::Error e;
    auto store = KXPersistentStore::open(fixture->path, "", &e);
    Must(store != nullptr, "open");
    KXStoreConnection& writer = *store->writeConnection();
    RawTitleCheck check(*store->readConnection());
    stored = 0;
    renamed = 0;
    state.ResumeTiming();

    sqlite3_stmt* known = nullptr;
    sqlite3_stmt* insert = nullptr;
    {
      kx::MutexLock guard(writer.mutex());
      sqlite3_prepare_v2(writer.handle(), "SELECT 1 FROM FileMeta WHERE fileId = ? LIMIT 1", -1,
                         &known, nullptr);
      sqlite3_prepare_v2(writer.handle(),
                         "INSERT INTO FileMeta (Z_ENT, fileId, parentId, title, version, "
                         "createTime, modifyTime, dir, del, localModified) "
                         "VALUES (?,?,?,?,?,?,?,?,?,?)",
                         -1, &insert, nullptr);
      Must(writer.exec("BEGIN IMMEDIATE", nullptr), "begin");
    }
    const int entity = NoteEntity();
    for (const NewNote& n : notes) {
      bool exists;
      {
        kx::MutexLock guard(writer.mutex());
        sqlite3_bind_text(known, 1, n.fileId.data(), static_cast<int>(n.fileId.size()),
                          SQLITE_STATIC);
        exists = sqlite3_step(known) == SQLITE_ROW;
        sqlite3_reset(known);
      }
      if (exists) continue;
      bool taken = false;
      const std::string title = check.freeTitle(n.title, n.parentId, &taken);
      kx::MutexLock guard(writer.mutex());
      sqlite3_bind_int(insert, 1, entity);
      sqlite3_bind_text(insert, 2, n.fileId.data(), static_cast<int>(n.fileId.size()),
                        SQLITE_STATIC);
      sqlite3_bind_text(insert, 3, n.parentId.data(), static_cast<int>(n.parentId.size()),
                        SQLITE_STATIC);
      sqlite3_bind_text(insert, 4, title.data(), static_cast<int>(title.size()), SQLITE_STATIC);
      sqlite3_bind_int64(insert, 5, 1);
      sqlite3_bind_int64(insert, 6, n.time);
      sqlite3_bind_int64(insert, 7, n.time);
      sqlite3_bind_int(insert, 8, 0);
      sqlite3_bind_int(insert, 9, 0);
      if (taken) {
        sqlite3_bind_int(insert, 10, 1);
      } else {
        sqlite3_bind_null(insert, 10);
      }
      if (sqlite3_step(insert) == SQLITE_DONE) ++stored;
      sqlite3_reset(insert);
      renamed += taken ? 1 : 0;
    }
    {
      kx::MutexLock guard(writer.mutex());
      Must(writer.exec("COMMIT", nullptr), "commit");
      sqlite3_finalize(known);
      sqlite3_finalize(insert);
    }

    state.PauseTiming();
    store.reset();
    fixture.reset();
    state.ResumeTiming();
  }
  if (stored != kBatch || renamed != kBatch) state.SkipWithError("rows lost or not renamed");
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_BatchRaw)
    ->Name("DataClientInsert/Batch/Raw")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// ---------------------------------------------------------------------------
// One note at a time
// ---------------------------------------------------------------------------

std::string FolderId(int folder) { return "F" + std::to_string(folder); }
std::string NoteTitle(int i) { return "Note " + std::to_string(i) + ".md"; }

int FolderCount(int folderSize) { return folderSize <= 100 ? kSmallFolders : 1; }

// The folders under test, then other folders up to the store's size.
std::map<int, std::unique_ptr<Fixture>> gFolderStores;

Fixture& FolderStore(int folderSize) {
  std::unique_ptr<Fixture>& slot = gFolderStores[folderSize];
  if (!slot) {
    std::vector<Row> rows;
    int n = 0;
    for (int f = 0; f < FolderCount(folderSize); ++f) {
      for (int i = 0; i < folderSize; ++i) {
        rows.push_back({FileIdFor('F', n++), FolderId(f), NoteTitle(i)});
      }
    }
    for (int i = 0; n < kStoreSize; ++i) {
      rows.push_back({FileIdFor('F', n++), "O" + std::to_string(i % 100), NoteTitle(i)});
    }
    slot = std::make_unique<Fixture>(rows);
    slot->openClient();
  }
  return *slot;
}

void BM_OneNote(benchmark::State& state) {
  const int folderSize = static_cast<int>(state.range(0));
  const bool taken = state.range(1) != 0;
  Fixture& fixture = FolderStore(folderSize);
  const int folders = FolderCount(folderSize);
  static int serial = 0;
  int j = 0;
  std::size_t stored = 0;
  std::size_t renamed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Each folder in turn; a taken title is one the folder holds and no
    // earlier insert of this run asked for.
    const int folder = j % folders;
    const int k = j / folders;
    ++j;
    NewNote note{FileIdFor('X', serial++), FolderId(folder),
                 taken ? NoteTitle(k % folderSize) : "New " + std::to_string(serial) + ".md",
                 1700000000 + serial};
    kx::Array items{ItemFor(note)};
    state.ResumeTiming();
    stored += InsertAndSave(*fixture.client, *fixture.data, items, &renamed);
  }
  if (stored != static_cast<std::size_t>(state.iterations()) || renamed != (taken ? stored : 0)) {
    state.SkipWithError("notes lost or renamed wrongly");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OneNote)
    ->Name("DataClientInsert/OneNote")
    ->ArgNames({"folder", "taken"})
    ->ArgsProduct({{100, 10000, 100000}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(kOneNoteInserts);

}  // namespace

// OneNote has no raw baseline; it prints no ratio.
int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(), {},
      [&] {
        gFolderStores.clear();
        reporter.printRatio("DataClientInsert/Batch", "DataClientInsert/Batch/iterations:5",
                            "DataClientInsert/Batch/Raw/iterations:5", "ms");
      },
      &reporter);
}
