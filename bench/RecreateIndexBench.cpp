// The store's index rebuild against the indexer's best case:
//  - RebuildVsOneBatch/<n>: a store of <n> Markdown files (2 to 4 KB of
//    mixed Chinese and English each, content files written, none indexed)
//    is rebuilt through KXRecreateIndexProxy::startRecreateIndex, timed
//    until every document is in the index and every entry is marked
//    hasIndex; then the index is emptied and the same documents (title, a
//    blank, the text) go into it as one indexer submission. Reports
//    notes_per_second of both and rebuild_vs_batch, the time of the first
//    over the second (the target is at most 2), and the shares of the
//    rebuild's time spent until its selections were read, until its step
//    had handed every entry over, and until every entry was marked (the
//    rest is the save of the marks).
// The machine may be shared; the ratio within a run is what counts.
//
// Run: bench_RecreateIndex [--benchmark_filter=/2000] ...
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "BenchNoteText.h"
#include "BenchRatio.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXRecreateIndexProxy.h"
#include "Data/client/KXStoreState.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/FileSystem.h"
#include "search/KXFTSDocument.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSTextUtil.h"

namespace {

struct Store {
  std::string dir = znbench::MakeTempDir();
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;
  std::vector<std::string> ids;
  std::vector<std::string> texts;  // what the rebuild indexes per entry

  ~Store() {
    client.reset();
    data.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

void EmptyIndexFolder(const std::string& directory) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
}

// A store of `count` unindexed Markdown files with their content files.
std::unique_ptr<Store> MakeStore(int count) {
  auto store = std::make_unique<Store>();
  store->data =
      std::make_shared<KXDataContext>(std::make_shared<znbench::BenchEnvironment>(store->dir));
  store->client = std::make_unique<KXDataClient>(store->data);
  store->client->openStore();
  EmptyIndexFolder(store->client->indexing().indexDirectory());
  KXFileManager& files = KXFileManager::defaultManauger();
  BenchRandom r(20240601);
  char id[40];
  for (int i = 0; i < count; ++i) {
    std::snprintf(id, sizeof id, "%032X", i + 1);
    const std::string title = "note " + std::to_string(i) + ".md";
    const std::string raw = znbench::rawNoteText(r);
    if (!kx::FileSystem::Default().writeFile(files.URLForContentFile(id, false), raw, nullptr)) {
      std::abort();
    }
    store->ids.push_back(id);
    store->texts.push_back(title + " " + raw);
  }
  store->data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    for (int i = 0; i < count; ++i) {
      KXManagedObjectPtr entry = context.insertNewObject("NormalFile");
      entry->setValuesForKeys({{"fileId", kx::Value(store->ids[i])},
                               {"parentId", kx::Value("ROOT")},
                               {"title", kx::Value("note " + std::to_string(i) + ".md")},
                               {"domain", kx::Value(1)},
                               {"del", kx::Value(false)}});
    }
    if (!context.save(nullptr)) std::abort();
  });
  return store;
}

// Entries of the store marked hasIndex.
std::int64_t IndexedCount(KXDataClient& client) {
  std::int64_t count = -1;
  client.reads().performSyncReadBlock([&] {
    kx::Dictionary query{{kKXQueryEntityKey, kx::Value("FileMeta")},
                         {kKXQueryConditionKey, kx::Value("hasIndex == 1")},
                         {kKXQueryRetTypeKey, kx::Value(4)}};
    auto result = client.reads().executeSyncQuery("FileMeta", query, nullptr);
    if (result) count = result->count;
  });
  return count;
}

// Seconds from the start of a run until its selections were read (and the
// step queued), its step had handed every entry over, every document was
// indexed and marked, and the marks were saved.
struct RebuildTimes {
  double selected = 0;
  double stepped = 0;
  double marked = 0;
  double saved = 0;
};

RebuildTimes TimeRebuild(Store& store) {
  KXRecreateIndexProxy proxy(*store.client, KXFileManager::defaultManauger());
  const auto start = std::chrono::steady_clock::now();
  auto since = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  RebuildTimes times;
  proxy.startRecreateIndex();
  // The run's selections and step, then the index batches and their flags
  // (handed over in order), then the save that makes the flags stored.
  store.data->performSyncWriteBlock([](KXManagedObjectContext&) {});
  times.selected = since();
  proxy.indexQueue().sync([] {});
  times.stepped = since();
  std::promise<void> marked;
  store.client->indexing().indexNotes({}, [&] { marked.set_value(); });
  marked.get_future().wait();
  times.marked = since();
  store.client->state().performSyncSave(nullptr);
  times.saved = since();
  return times;
}

double SecondsForOneBatch(Store& store) {
  EmptyIndexFolder(store.client->indexing().indexDirectory());
  KXSIndexProxy::Documents documents;
  for (std::size_t i = 0; i < store.ids.size(); ++i) {
    documents.push_back(
        std::make_shared<KXFTSDocument>(store.ids[i], KXSTextUtil::spacedText(store.texts[i])));
  }
  const auto start = std::chrono::steady_clock::now();
  kx::Error error;
  const std::vector<bool> indexed =
      store.client->indexing().ftsIndexer()->submitDocumentsSync(documents, &error);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (error || std::find(indexed.begin(), indexed.end(), false) != indexed.end()) return -1;
  return seconds;
}

void BM_RebuildVsOneBatch(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  double rebuildSeconds = 0;
  double batchSeconds = 0;
  RebuildTimes phases;
  for (auto _ : state) {
    std::unique_ptr<Store> store = MakeStore(count);
    if (!store->client->indexing().ftsIndexer()) {
      state.SkipWithError("no indexer");
      return;
    }
    const RebuildTimes times = TimeRebuild(*store);
    const double rebuild = times.saved;
    phases.selected += times.selected;
    phases.stepped += times.stepped;
    phases.marked += times.marked;
    if (IndexedCount(*store->client) != count) {
      state.SkipWithError("the rebuild left entries unmarked");
      return;
    }
    const double batch = SecondsForOneBatch(*store);
    if (batch < 0) {
      state.SkipWithError("indexing failed");
      return;
    }
    rebuildSeconds += rebuild;
    batchSeconds += batch;
    state.SetIterationTime(rebuild + batch);
  }
  const double notes = static_cast<double>(count) * static_cast<double>(state.iterations());
  state.counters["rebuild_notes_per_second"] = notes / rebuildSeconds;
  state.counters["batch_notes_per_second"] = notes / batchSeconds;
  state.counters["rebuild_vs_batch"] = rebuildSeconds / batchSeconds;
  // Where the rebuild's time went, as shares of it.
  state.counters["share_selecting"] = phases.selected / rebuildSeconds;
  state.counters["share_until_step_done"] = phases.stepped / rebuildSeconds;
  state.counters["share_until_marked"] = phases.marked / rebuildSeconds;
}
BENCHMARK(BM_RebuildVsOneBatch)
    ->Arg(2000)
    ->Arg(20000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

// The rebuild and its one-batch baseline are timed in the same iteration on
// the same store; their quotient is the counter rebuild_vs_batch.
int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(), {},
      [&] {
        for (const char* count : {"2000", "20000"}) {
          reporter.printCounterRatio(
              std::string("RecreateIndex/RebuildVsOneBatch/") + count,
              std::string("BM_RebuildVsOneBatch/") + count + "/iterations:1/manual_time",
              "rebuild_vs_batch");
        }
      },
      &reporter);
}
