// What the web file handler pays to answer a whole folder: the children of
// one notebook listed through the data client's read queue, each built as
// its entire web file entry (KXFileMetaWebUtil::fileDictFrom: entry, meta,
// other properties) and the array written as JSON. The listing alone runs
// in the same program as the baseline; the report's figure is
// WebEntries / Listing (target: the entries add at most 2x on top of the
// listing).
//
//  - WebEntries/Listing: objectsForParentId of "P" (10,000 children in a
//    store of 30,000 entries, BenchListingStore.h);
//  - WebEntries/Entire: the same listing, the entire entries built and
//    written as JSON;
//  - WebEntries/Build: the entries built alone, from a listing made once.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_WebEntries [--benchmark_filter=Entire]
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/FileMeta.h"
#include "Data/KXDataClient.h"
#include "Data/KXDataContext.h"
#include "Data/KXEntryReads.h"
#include "Data/KXManagedObjectContext.h"

#include "BenchHome.h"
#include "BenchListingStore.h"

namespace {

std::unique_ptr<znbench::ClientFixture> gListing;

znbench::ClientFixture& Listing() {
  if (!gListing) {
    gListing = znbench::MakeListingStore();
    // The client brings the store's data version up to date on its write
    // queue when it opens; let that finish (and its save reach the read
    // context) before anything is timed.
    gListing->data->performSyncWriteBlock([](KXManagedObjectContext&) {});
    gListing->data->performSyncReadBlock([](KXManagedObjectContext&) {});
  }
  return *gListing;
}

// As the web file handler builds a folder's entries: all at once, so their
// resources are read together.
kx::Array Entries(KXFileMetaWebUtil& util, const KXFileMetaArray& children) {
  return util.fileDictsFrom(children, true);
}

void BM_Listing(benchmark::State& state) {
  KXDataClient& client = *Listing().client;
  std::size_t n = 0;
  for (auto _ : state) {
    KXFileMetaArray children = client.reads().objectsForParentId("P", "FileMeta");
    n = children.size();
    benchmark::DoNotOptimize(children.data());
  }
  if (n != znbench::kListingChildren) state.SkipWithError("wrong number of children");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_Listing)->Name("WebEntries/Listing")->Unit(benchmark::kMillisecond);

void BM_Entire(benchmark::State& state) {
  KXDataClient& client = *Listing().client;
  KXFileMetaWebUtil util(client);
  std::size_t n = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    KXFileMetaArray children = client.reads().objectsForParentId("P", "FileMeta");
    kx::Array entries = Entries(util, children);
    n = entries.size();
    bytes = JSONData(entries).size();
    benchmark::DoNotOptimize(bytes);
  }
  if (n != znbench::kListingChildren || bytes == 0) state.SkipWithError("wrong number of entries");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Entire)->Name("WebEntries/Entire")->Unit(benchmark::kMillisecond);

void BM_Build(benchmark::State& state) {
  KXDataClient& client = *Listing().client;
  KXFileMetaWebUtil util(client);
  KXFileMetaArray children = client.reads().objectsForParentId("P", "FileMeta");
  std::size_t n = 0;
  for (auto _ : state) {
    kx::Array entries = Entries(util, children);
    n = entries.size();
    benchmark::DoNotOptimize(entries.data());
  }
  if (n != znbench::kListingChildren) state.SkipWithError("wrong number of entries");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_Build)->Name("WebEntries/Build")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return znbench::RunInIsolatedHome(argc, argv, {}, [] { gListing.reset(); });
}
