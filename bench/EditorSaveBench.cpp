// Saving one note from the editor, over and over, in a store of 10,000
// notes: 20 KB of text and 5 resources the note holds, through
// saveNoteOrMd (its two title checks, the property copy, the resource step,
// the search document handed to the indexer) followed by the caller's save
// of the write context, as the web service's save request does.
//  - EditorSave/Client/<interleaved|hotloop>: 1,000 saves; the timed part
//    of each ends when the write context is saved.
//  - EditorSave/Raw/<interleaved|hotloop>: the same rows written with raw
//    SQLite prepared statements on the store's own connections: the two
//    title lookups on the reading connection, then in one transaction the
//    entry's row read by file id, the five resources read by id and their
//    sizes written, the entry's changed columns written, its resource links
//    replaced, COMMIT; then the same search document handed to the same
//    indexer (a data client over a copy of the store), as the client's save
//    hands it over.
// Both sides run under the same conditions in both modes, so that the ratio
// compares the saves and nothing else:
//  - interleaved: after each save, outside the timed part, both sides wait
//    until the index has taken the save's document and then index the same
//    document once more (hand-off until its hasIndex flag is written; the
//    client reports its median and its share of a save's whole cost). The
//    index session a save starts runs on the indexer's queues and may
//    overlap the end of the save's timed part, on both sides alike.
//  - hotloop: the saves back to back, each handing its document to the
//    indexer, whose sessions run alongside the following saves on both
//    sides alike; the index is drained once, untimed, at the end.
// The two sides of a mode run one after the other. Each reports the median
// of its saves (median_us); once both sides of a mode ran, the ratio of the
// medians is printed.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_EditorSave [--benchmark_filter=Raw]
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXStoreState.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "platform/FileSystem.h"
#include "platform/Mutex.h"
#include "platform/URL.h"

namespace {

using Clock = std::chrono::steady_clock;
using znbench::BenchEnvironment;
using znbench::MakeTempDir;

constexpr int kStoreNotes = 10000;
constexpr int kSaves = 1000;
constexpr int kResources = 5;
constexpr std::size_t kTextBytes = 20 * 1024;
const char* const kNoteId = "N_EDITED";
const char* const kFolder = "P";
const char* const kTitle = "Edited.note";

void Must(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench set-up failed: %s\n", what);
    std::abort();
  }
}

std::string ResourceId(int i) { return "R_EDITED_" + std::to_string(i); }

// 20 KB of words, different in every save.
std::string TextFor(int save) {
  std::string text;
  text.reserve(kTextBytes + 32);
  int w = save;
  while (text.size() < kTextBytes) {
    text += "word" + std::to_string(w++ % 997) + " ";
  }
  return text;
}

double MedianOf(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Per mode (0 interleaved, 1 hot loop).
double gClientMedianUs[2] = {0, 0};
double gRawMedianUs[2] = {0, 0};

double MicrosSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The search document of a save, as saveNoteOrMd hands it to the indexer.
kx::Dictionary SearchDocument(const std::string& text) {
  return kx::Dictionary{{"docContent", kx::Value(std::string(kTitle) + " " + text)},
                        {"docID", kx::Value(kNoteId)}};
}

// Waits until the index has taken every document handed to it.
void IndexBarrier(KXDataClient& client) {
  std::promise<void> done;
  client.indexing().indexNotes({}, [&] { done.set_value(); });
  done.get_future().wait();
}

// Indexes the save's document once more and answers the time from the
// hand-off until its hasIndex flag is written.
double IndexStep(KXDataClient& client, int save) {
  const Clock::time_point start = Clock::now();
  std::promise<void> indexed;
  client.indexing().indexNotes({kx::Value(SearchDocument(TextFor(save)))},
                               [&] { indexed.set_value(); });
  indexed.get_future().wait();
  return MicrosSince(start);
}

// A store of kStoreNotes notes in 20 folders, the edited note among them,
// written with raw inserts before anything is timed.
struct Fixture {
  std::string dir = MakeTempDir();
  std::shared_ptr<BenchEnvironment> environment = std::make_shared<BenchEnvironment>(dir);
  std::string path = environment->userDataDirectory("bench", nullptr) + "/ZarvelNote.db";

  Fixture() {
    kx::Error e;
    auto store = KXPersistentStore::open(path, "", &e);
    Must(store != nullptr, "open");
    KXStoreConnection& conn = *store->writeConnection();
    kx::MutexLock guard(conn.mutex());
    sqlite3_stmt* st = nullptr;
    Must(sqlite3_prepare_v2(conn.handle(),
                            "INSERT INTO FileMeta (Z_ENT, fileId, parentId, title, version, "
                            "createTime, modifyTime, dir, del, localModified) "
                            "VALUES (?,?,?,?,1,1600000000,1600000000,?,0,0)",
                            -1, &st, nullptr) == SQLITE_OK,
         "prepare");
    Must(conn.exec("BEGIN IMMEDIATE", nullptr), "begin");
    auto put = [&](const char* entity, const std::string& fileId, const std::string& parentId,
                   const std::string& title, int dir) {
      sqlite3_bind_int(st, 1, KXModel::shared().entity(entity)->entityNumber());
      sqlite3_bind_text(st, 2, fileId.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 3, parentId.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 4, title.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(st, 5, dir);
      Must(sqlite3_step(st) == SQLITE_DONE, "insert");
      sqlite3_reset(st);
    };
    put("Root", "ROOT", "0", "My Notes", 1);
    put("Notebook", kFolder, "ROOT", "Work", 1);
    put("Note", kNoteId, kFolder, kTitle, 0);
    for (int i = 1; i < kStoreNotes; ++i) {
      put("Note", "N" + std::to_string(i), i % 20 == 0 ? std::string(kFolder) : "ROOT",
          "Note " + std::to_string(i) + ".note", 0);
    }
    Must(conn.exec("COMMIT", nullptr), "commit");
    sqlite3_finalize(st);
  }
  ~Fixture() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // The resources' files outside the store, as the editor leaves them.
  std::vector<std::string> outsideFiles() {
    std::vector<std::string> paths;
    for (int i = 0; i < kResources; ++i) {
      std::string path = dir + "/outside-" + std::to_string(i) + ".png";
      Must(
          kx::FileSystem::Default().writeFile(path, std::string(64 * 1024, char('a' + i)), nullptr),
          "resource file");
      paths.push_back(path);
    }
    return paths;
  }
};

kx::Dictionary NoteFor(int save) {
  const std::string text = TextFor(save);
  return kx::Dictionary{{"fileId", kx::Value(kNoteId)},
                        {"parentId", kx::Value(kFolder)},
                        {"title", kx::Value(kTitle)},
                        {"text", kx::Value(text)},
                        {"summary", kx::Value(text.substr(0, 200))},
                        {"size", kx::Value(static_cast<long long>(text.size()))}};
}

void BM_Client(benchmark::State& state) {
  Fixture fixture;
  auto data = std::make_shared<KXDataContext>(fixture.environment);
  auto client = std::make_unique<KXDataClient>(data);
  client->openStore();

  auto saveAndCommit = [&](const kx::Dictionary& params) {
    std::promise<bool> saved;
    client->editorSave().saveNoteOrMd(
        params, [&](const KXResultInfo&, const kx::Error& error) { saved.set_value(!error); });
    bool ok = saved.get_future().get();
    client->state().performSyncSave([&](const KXResultInfo& info, const kx::Error& error) {
      ok = ok && !error && info.value.boolValue();
    });
    return ok;
  };
  // The first save brings the five resources into the store.
  kx::Array added;
  int n = 0;
  for (const std::string& path : fixture.outsideFiles()) {
    added.push_back(kx::Value(
        kx::Dictionary{{"id", kx::Value(ResourceId(n++))},
                       {"filePath", kx::Value(kx::URL::fileURLWithPath(path).absoluteString())},
                       {"title", kx::Value("picture.png")},
                       {"createTime", kx::Value(1700000000LL)},
                       {"type", kx::Value(1)},
                       {"size", kx::Value(64LL * 1024)},
                       {"imageSize", kx::Value("640x480")}}));
  }
  Must(
      saveAndCommit({{"note", kx::Value(NoteFor(-1))},
                     {"resource", kx::Value(kx::Array{kx::Value(added), kx::Value(kx::Array{})})}}),
      "first save");
  IndexBarrier(*client);
  kx::Array held;
  for (int i = 0; i < kResources; ++i) {
    held.push_back(kx::Value(
        kx::Dictionary{{"id", kx::Value(ResourceId(i))}, {"size", kx::Value(64LL * 1024)}}));
  }

  const int mode = static_cast<int>(state.range(0));
  std::vector<double> saves;
  std::vector<double> indexes;
  int save = 0;
  bool ok = true;
  for (auto _ : state) {
    state.PauseTiming();
    kx::Dictionary params{
        {"note", kx::Value(NoteFor(save))},
        {"resource", kx::Value(kx::Array{kx::Value(kx::Array{}), kx::Value(held)})}};
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    ok = saveAndCommit(params) && ok;
    const double us = MicrosSince(start);
    state.PauseTiming();
    saves.push_back(us);
    if (mode == 0) {
      IndexBarrier(*client);  // the save's own index session
      indexes.push_back(IndexStep(*client, save));
    }
    ++save;
    state.ResumeTiming();
  }
  IndexBarrier(*client);
  if (!ok) state.SkipWithError("a save failed");
  gClientMedianUs[mode] = MedianOf(saves);
  state.counters["median_us"] = gClientMedianUs[mode];
  if (mode == 0) {
    const double index = MedianOf(indexes);
    state.counters["index_median_us"] = index;
    state.counters["index_share"] = index / (gClientMedianUs[mode] + index);
  }
  state.SetItemsProcessed(state.iterations());
  client.reset();
  data.reset();
}

// The raw statements, prepared once.
struct RawStatements {
  sqlite3_stmt* titleTaken = nullptr;  // reader
  sqlite3_stmt* entry = nullptr;
  sqlite3_stmt* resource = nullptr;
  sqlite3_stmt* resourceSize = nullptr;
  sqlite3_stmt* update = nullptr;
  sqlite3_stmt* unlink = nullptr;
  sqlite3_stmt* link = nullptr;

  RawStatements(KXStoreConnection& reader, KXStoreConnection& writer) {
    const KXRelationshipDescription* rel =
        KXModel::shared().entity("FileMeta")->relationship("resources");
    Must(rel && !rel->joinTable().empty(), "join table");
    const std::string join = "\"" + rel->joinTable() + "\"";
    const std::string src = "\"" + rel->joinSourceColumn() + "\"";
    const std::string dst = "\"" + rel->joinDestinationColumn() + "\"";
    auto prepare = [](KXStoreConnection& conn, const std::string& sql, sqlite3_stmt** st) {
      kx::MutexLock guard(conn.mutex());
      Must(sqlite3_prepare_v2(conn.handle(), sql.c_str(), -1, st, nullptr) == SQLITE_OK,
           sql.c_str());
    };
    prepare(reader,
            "SELECT fileId FROM FileMeta WHERE Z_ENT = " +
                std::to_string(KXModel::shared().entity("Note")->entityNumber()) +
                " AND del = 0 AND title = ? AND parentId = ? AND fileId IS NOT ? LIMIT 1",
            &titleTaken);
    prepare(writer, "SELECT * FROM FileMeta WHERE fileId = ? LIMIT 1", &entry);
    prepare(writer, "SELECT * FROM Resource WHERE fileId = ? LIMIT 1", &resource);
    prepare(writer, "UPDATE Resource SET size = ? WHERE Z_PK = ?", &resourceSize);
    prepare(writer,
            "UPDATE FileMeta SET title = ?, summary = ?, contentChanged = 1, "
            "transactionTime = ?, modifyTime = ?, localModified = 1, size = ? WHERE Z_PK = ?",
            &update);
    prepare(writer, "DELETE FROM " + join + " WHERE " + src + " = ?", &unlink);
    prepare(writer, "INSERT INTO " + join + " (" + src + ", " + dst + ") VALUES (?, ?)", &link);
  }
  ~RawStatements() {
    for (sqlite3_stmt* st : {titleTaken, entry, resource, resourceSize, update, unlink, link}) {
      sqlite3_finalize(st);
    }
  }
};

// Steps a read and copies the first row's columns; answers its Z_PK (0 when
// none).
std::int64_t ReadRow(sqlite3_stmt* st, std::vector<kx::Value>* row) {
  std::int64_t key = 0;
  if (sqlite3_step(st) == SQLITE_ROW) {
    key = sqlite3_column_int64(st, 0);
    const int columns = sqlite3_column_count(st);
    row->assign(static_cast<std::size_t>(columns), kx::Value());
    for (int c = 0; c < columns; ++c) {
      if (sqlite3_column_type(st, c) == SQLITE_TEXT) {
        (*row)[static_cast<std::size_t>(c)] =
            kx::Value(std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(st, c)),
                                       static_cast<std::size_t>(sqlite3_column_bytes(st, c))));
      } else if (sqlite3_column_type(st, c) == SQLITE_INTEGER) {
        (*row)[static_cast<std::size_t>(c)] =
            kx::Value(static_cast<long long>(sqlite3_column_int64(st, c)));
      }
    }
  }
  sqlite3_reset(st);
  return key;
}

void BM_Raw(benchmark::State& state) {
  Fixture fixture;
  // The indexer the raw saves hand their documents to: a data client, idle
  // otherwise, over a store of its own with the same notes (its connections
  // would hold SQLite locks the raw writer waits on).
  Fixture indexFixture;
  auto data = std::make_shared<KXDataContext>(indexFixture.environment);
  auto client = std::make_unique<KXDataClient>(data);
  client->openStore();
  IndexBarrier(*client);
  kx::Error e;
  auto store = KXPersistentStore::open(fixture.path, "", &e);
  Must(store != nullptr, "open");
  KXStoreConnection& writer = *store->writeConnection();
  KXStoreConnection& reader = *store->readConnection();
  {
    // The five resources and their links, as the first save leaves them.
    kx::MutexLock guard(writer.mutex());
    Must(writer.exec("BEGIN IMMEDIATE", nullptr), "begin");
    for (int i = 0; i < kResources; ++i) {
      const std::string sql = "INSERT INTO Resource (Z_ENT, fileId, title, size) VALUES (" +
                              std::to_string(KXModel::shared().entity("Resource")->entityNumber()) +
                              ", '" + ResourceId(i) + "', 'picture.png', 65536)";
      Must(writer.exec(sql, nullptr), "resource");
    }
    Must(writer.exec("COMMIT", nullptr), "commit");
  }
  auto raw = std::make_unique<RawStatements>(reader, writer);
  // The note indexed once, as the client's first save leaves it.
  client->indexing().indexNotes({kx::Value(SearchDocument(TextFor(-1)))});
  IndexBarrier(*client);

  const int mode = static_cast<int>(state.range(0));
  std::vector<double> saves;
  int save = 0;
  bool ok = true;
  std::vector<kx::Value> row;
  for (auto _ : state) {
    state.PauseTiming();
    const kx::Dictionary note = NoteFor(save++);
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    const std::string& title = note["title"].string();
    const std::string& summary = note["summary"].string();
    const long long now = static_cast<long long>(std::time(nullptr));
    // The two title checks, on the reading connection.
    for (int check = 0; check < 2; ++check) {
      kx::MutexLock guard(reader.mutex());
      sqlite3_bind_text(raw->titleTaken, 1, title.data(), static_cast<int>(title.size()),
                        SQLITE_STATIC);
      sqlite3_bind_text(raw->titleTaken, 2, kFolder, -1, SQLITE_STATIC);
      sqlite3_bind_text(raw->titleTaken, 3, kNoteId, -1, SQLITE_STATIC);
      ok = sqlite3_step(raw->titleTaken) == SQLITE_DONE && ok;
      sqlite3_reset(raw->titleTaken);
    }
    {
      kx::MutexLock guard(writer.mutex());
      ok = writer.exec("BEGIN IMMEDIATE", nullptr) && ok;
      sqlite3_bind_text(raw->entry, 1, kNoteId, -1, SQLITE_STATIC);
      const std::int64_t key = ReadRow(raw->entry, &row);
      std::int64_t total = note["size"].intValue();
      std::vector<std::int64_t> resources;
      for (int i = 0; i < kResources; ++i) {
        const std::string id = ResourceId(i);
        sqlite3_bind_text(raw->resource, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
        const std::int64_t resourceKey = ReadRow(raw->resource, &row);
        sqlite3_bind_int64(raw->resourceSize, 1, 64 * 1024);
        sqlite3_bind_int64(raw->resourceSize, 2, resourceKey);
        ok = sqlite3_step(raw->resourceSize) == SQLITE_DONE && ok;
        sqlite3_reset(raw->resourceSize);
        resources.push_back(resourceKey);
        total += 64 * 1024;
      }
      sqlite3_bind_text(raw->update, 1, title.data(), static_cast<int>(title.size()),
                        SQLITE_STATIC);
      sqlite3_bind_text(raw->update, 2, summary.data(), static_cast<int>(summary.size()),
                        SQLITE_STATIC);
      sqlite3_bind_int64(raw->update, 3, now);
      sqlite3_bind_int64(raw->update, 4, now);
      sqlite3_bind_int64(raw->update, 5, total);
      sqlite3_bind_int64(raw->update, 6, key);
      ok = sqlite3_step(raw->update) == SQLITE_DONE && ok;
      sqlite3_reset(raw->update);
      sqlite3_bind_int64(raw->unlink, 1, key);
      ok = sqlite3_step(raw->unlink) == SQLITE_DONE && ok;
      sqlite3_reset(raw->unlink);
      for (std::int64_t resourceKey : resources) {
        sqlite3_bind_int64(raw->link, 1, key);
        sqlite3_bind_int64(raw->link, 2, resourceKey);
        ok = sqlite3_step(raw->link) == SQLITE_DONE && ok;
        sqlite3_reset(raw->link);
      }
      ok = writer.exec("COMMIT", nullptr) && ok;
    }
    client->indexing().indexNotes({kx::Value(SearchDocument(note["text"].string()))});
    const double us = MicrosSince(start);
    state.PauseTiming();
    saves.push_back(us);
    if (mode == 0) {
      IndexBarrier(*client);
      IndexStep(*client, save - 1);
    }
    state.ResumeTiming();
  }
  IndexBarrier(*client);
  if (!ok) state.SkipWithError("a raw save failed");
  gRawMedianUs[mode] = MedianOf(saves);
  state.counters["median_us"] = gRawMedianUs[mode];
  state.SetItemsProcessed(state.iterations());
  raw.reset();
  store.reset();
  client.reset();
  data.reset();
}

// The two sides of a mode one after the other, so that they run under the
// load of the same minute.
[[maybe_unused]] const bool kRegistered = [] {
  for (const char* mode : {"interleaved", "hotloop"}) {
    const int arg = std::string(mode) == "hotloop" ? 1 : 0;
    benchmark::RegisterBenchmark((std::string("EditorSave/Client/") + mode).c_str(), BM_Client)
        ->Arg(arg)
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(kSaves);
    benchmark::RegisterBenchmark((std::string("EditorSave/Raw/") + mode).c_str(), BM_Raw)
        ->Arg(arg)
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(kSaves);
  }
  return true;
}();

}  // namespace

int main(int argc, char** argv) {
  return znbench::RunInIsolatedHome(argc, argv, {}, [] {
    const char* const modes[] = {"interleaved", "hotloop"};
    for (int mode = 0; mode < 2; ++mode) {
      if (gClientMedianUs[mode] > 0 && gRawMedianUs[mode] > 0) {
        std::printf("RATIO EditorSave/%s %.2f (client median %.1f us, raw median %.1f us)\n",
                    modes[mode], gClientMedianUs[mode] / gRawMedianUs[mode], gClientMedianUs[mode],
                    gRawMedianUs[mode]);
      }
    }
  });
}
