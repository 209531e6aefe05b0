// The data client's listings and lookups, each a synchronous read on the
// read queue as callers make it, over stores written with raw SQLite:
//  - ListChildren: objectsForParentId of a folder with 10,000 children in a
//    store of 30,000 entries (the store benchmark's listing store, so that
//    its ListChildren/Raw figure compares);
//  - LookupById: 10,000 objectForFileMetaID calls on that store (compare
//    FetchByFileId/Raw of the store benchmark);
//  - Subtree/Root: objectsUnderFileId("ROOT") of a store of 100,000 entries,
//    one fetch of the whole tree;
//  - Subtree/Walk: objectsUnderFileId of a notebook that holds those
//    entries three folder levels deep, walked level by level;
//  - Subtree/Raw: the whole tree through one prepared SELECT of the columns
//    the store reads, on a connection opened as the store opens its own, each
//    value copied into the store's value type (kx::Value), as the store does.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_DataClient [--benchmark_filter=Subtree]
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreEnvironment.h"

#include "BenchHome.h"
#include "BenchListingStore.h"
#include "BenchRatio.h"
#include "RawSqliteRow.h"

namespace {

using znbench::ClientFixture;
using znbench::EntityNumber;
using znbench::FileIdFor;
using znbench::Row;

constexpr int kChildren = znbench::kListingChildren;
constexpr int kLookups = 10000;
// The big store: ROOT > TOP > 100 folders > 9 folders each > 110 notes each.
constexpr int kTopFolders = 100;
constexpr int kSubFolders = 9;
constexpr int kNotesPerFolder = 110;
constexpr int kTreeEntries = 2 + kTopFolders + kTopFolders * kSubFolders +
                             kTopFolders * kSubFolders * kNotesPerFolder;  // 100,002

std::unique_ptr<ClientFixture> gListing;
std::unique_ptr<ClientFixture> gTree;

// The store benchmark's listing store (BenchListingStore.h).
ClientFixture& Listing() {
  if (!gListing) gListing = znbench::MakeListingStore();
  return *gListing;
}

// Folders first, then the notes, spread over the folders as a tree that
// grows over time is.
ClientFixture& Tree() {
  if (!gTree) {
    std::vector<Row> rows;
    const int root = EntityNumber("Root");
    const int notebook = EntityNumber("Notebook");
    const int note = EntityNumber("Note");
    std::int64_t n = 0;
    rows.push_back({"ROOT", "0", "Root", root, true, n++});
    rows.push_back({"TOP", "ROOT", "Top", notebook, true, n++});
    std::vector<std::string> leaves;
    for (int a = 0; a < kTopFolders; ++a) {
      std::string id = "F" + std::to_string(a);
      rows.push_back({id, "TOP", id, notebook, true, n++});
      for (int b = 0; b < kSubFolders; ++b) {
        std::string leaf = id + "_" + std::to_string(b);
        rows.push_back({leaf, id, leaf, notebook, true, n++});
        leaves.push_back(leaf);
      }
    }
    for (int i = 0; i < kNotesPerFolder * static_cast<int>(leaves.size()); ++i) {
      rows.push_back({FileIdFor(i), leaves[static_cast<std::size_t>(i) % leaves.size()],
                      "Note " + std::to_string(i) + ".md", note, false, n++});
    }
    gTree = std::make_unique<ClientFixture>(rows);
  }
  return *gTree;
}

// ---------------------------------------------------------------------------

void BM_ListChildren(benchmark::State& state) {
  KXDataClient& client = *Listing().client;
  std::size_t n = 0;
  for (auto _ : state) {
    KXFileMetaArray children = client.reads().objectsForParentId("P", "FileMeta");
    n = children.size();
    benchmark::DoNotOptimize(children.data());
  }
  if (n != kChildren) state.SkipWithError("wrong number of children");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_ListChildren)->Name("DataClient/ListChildren")->Unit(benchmark::kMillisecond);

void BM_LookupById(benchmark::State& state) {
  KXDataClient& client = *Listing().client;
  std::vector<std::string> ids;
  for (int i = 0; i < kLookups; ++i) ids.push_back(FileIdFor(i * 3 + 1));
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (const std::string& id : ids) found += client.reads().objectForFileMetaID(id) ? 1 : 0;
  }
  if (found != kLookups) state.SkipWithError("lookups missed");
  state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_LookupById)->Name("DataClient/LookupById")->Unit(benchmark::kMillisecond);

void BM_SubtreeRoot(benchmark::State& state) {
  KXDataClient& client = *Tree().client;
  std::size_t n = 0;
  for (auto _ : state) {
    KXFileMetaArray all = client.reads().objectsUnderFileId("ROOT");
    n = all.size();
    benchmark::DoNotOptimize(all.data());
  }
  if (n != kTreeEntries) state.SkipWithError("wrong number of entries");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_SubtreeRoot)->Name("DataClient/Subtree/Root")->Unit(benchmark::kMillisecond);

void BM_SubtreeWalk(benchmark::State& state) {
  KXDataClient& client = *Tree().client;
  std::size_t n = 0;
  for (auto _ : state) {
    KXFileMetaArray all = client.reads().objectsUnderFileId("TOP");
    n = all.size();
    benchmark::DoNotOptimize(all.data());
  }
  if (n != kTreeEntries - 2) state.SkipWithError("wrong number of entries");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_SubtreeWalk)->Name("DataClient/Subtree/Walk")->Unit(benchmark::kMillisecond);

void BM_SubtreeRaw(benchmark::State& state) {
  kx::Error e;
  auto store = KXPersistentStore::open(Tree().storePath(), "", &e);
  if (!store) std::abort();
  auto& conn = *store->readConnection();
  std::string sql =
      RawFileMetaSelect("WHERE remoteRemoved = 0 AND del = 0 AND parentId <> '-2' ORDER BY Z_PK");
  kx::MutexLock guard(conn.mutex());
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(conn.handle(), sql.c_str(), -1, &st, nullptr);
  const int columns = sqlite3_column_count(st);
  std::size_t n = 0;
  for (auto _ : state) {
    std::vector<std::vector<RawValue>> rows = CopyRawRows(st, columns);
    n = rows.size();
    benchmark::DoNotOptimize(rows.data());
  }
  sqlite3_finalize(st);
  if (n != kTreeEntries) state.SkipWithError("wrong number of entries");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_SubtreeRaw)->Name("DataClient/Subtree/Raw")->Unit(benchmark::kMillisecond);

}  // namespace

// ListChildren and LookupById have no baseline in this program (their raw
// counterparts are the store benchmark's ListChildren/Raw and
// FetchByFileId/Raw); they print no ratio.
int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(), {},
      [&] {
        gListing.reset();
        gTree.reset();
        reporter.printRatio("DataClient/Subtree/Root", "DataClient/Subtree/Root",
                            "DataClient/Subtree/Raw", "ms");
        reporter.printRatio("DataClient/Subtree/Walk", "DataClient/Subtree/Walk",
                            "DataClient/Subtree/Raw", "ms");
      },
      &reporter);
}
