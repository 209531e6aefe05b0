// Full-text search over 20,000 generated notes, each a few KB of mixed
// Chinese and English text (only the first 500 UTF-16 units of a note are
// indexed, as the indexer keeps them):
//  - IndexNotes/<batch>: the 20,000 notes submitted to a new index in batches
//    of <batch> documents, as the data client submits them; reports
//    notes_per_second;
//  - IndexOnePerCallVsOneBatch: the 20,000 notes into a new index as one
//    submission, then into another new index as 20,000 submissions of one
//    note each, made one after another without waiting (as the index
//    rebuild makes them); reports notes_per_second for both and
//    per_call_vs_batch, the time of the second over the first;
//  - Search/<query>: one search each through KXSSearchProxy::searchSync on
//    the finished index; every iteration is one query, timed alone, and the
//    counters give the median and the 90th percentile in microseconds and
//    the number of hits. The queries: selective words (few notes hold
//    them), a broad word (most notes do), a Chinese phrase, a made-up word
//    found inside longer ones, and two words, which the query parser joins
//    with its default OR;
//  - FTS5/<query>: the baseline, the same query against SQLite FTS5 with
//    the trigram tokenizer over the same 500-unit texts (a substring match,
//    the meaning our single-word search has); the words of the two-word
//    query joined with OR. Rows in table order, unranked. Like our index,
//    the FTS5 table is a file on disk, built in one transaction and then
//    merged into one segment ('optimize'), as a maintained index is; its
//    connection stays open between queries.
//  - ReaderOpen: opening and closing a reader of the index, which a search
//    does only when the index has changed since the search before (the
//    searcher keeps its reader otherwise), so that this part of a search
//    after a commit can be told apart.
// Compare the Search/ and FTS5/ medians of the same run (the machine may be
// shared; ratios within a run are what counts).
//
// Run: bench_Search [--benchmark_filter=Phrase] ...
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/Text.h"
#include "search/KXFTSDocument.h"
#include "search/KXSContext.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSLucene.h"
#include "search/KXSSearchProxy.h"
#include "search/KXSTextUtil.h"

#include "BenchNoteText.h"
#include "BenchRandom.h"

namespace {

constexpr int kNoteCount = 20000;

using Random = BenchRandom;
using znbench::noteText;

class BenchConfig : public KXSContextConfigProtocol {
 public:
  BenchConfig(std::string directory, std::string stopWords)
      : directory_(std::move(directory)), stopWords_(std::move(stopWords)) {}
  std::string indexDirectory() const override { return directory_; }
  std::string indexStopWordsFile() const override { return stopWords_; }

 private:
  std::string directory_;
  std::string stopWords_;
};

std::string stopWordsFile() {
  std::string path =
      kx::Path::appendingPathComponent(kx::Places::resourcesDirectory(), "stopwords.dat");
  if (!std::filesystem::exists(path)) path = ZN_SOURCE_DIR "/resources/stopwords.dat";
  return path;
}

std::string scratchFolder() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "zn-search-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return pattern;
}

const std::vector<std::shared_ptr<const KXSSumbitedDocumentProtocol>>& notes() {
  static const auto* documents = [] {
    auto* list = new std::vector<std::shared_ptr<const KXSSumbitedDocumentProtocol>>();
    Random r(20240601);
    for (int i = 0; i < kNoteCount; ++i) {
      char id[40];
      std::snprintf(id, sizeof id, "%032X", i * 2654435761u);
      list->push_back(std::make_shared<KXFTSDocument>(id, noteText(r)));
    }
    return list;
  }();
  return *documents;
}

void configure(const std::string& directory) {
  KXSContext::sharedContext().setConfig(BenchConfig(directory, stopWordsFile()));
  KXSContext::sharedContext().setIsReload(true);
}

// Indexes every note into `directory` in batches; false on any failure.
bool indexAll(const std::string& directory, std::size_t batchSize) {
  configure(directory);
  std::unique_ptr<KXSIndexProxy> indexer = KXSIndexProxy::create();
  if (!indexer) return false;
  const auto& all = notes();
  for (std::size_t start = 0; start < all.size(); start += batchSize) {
    KXSIndexProxy::Documents batch(all.begin() + start,
                                   all.begin() + std::min(all.size(), start + batchSize));
    kx::Error error;
    indexer->submitDocumentsSync(batch, &error);
    if (error) {
      std::fprintf(stderr, "indexing failed: %s\n", error.localizedDescription().c_str());
      return false;
    }
  }
  return true;
}

void BM_IndexNotes(benchmark::State& state) {
  const std::size_t batchSize = static_cast<std::size_t>(state.range(0));
  notes();  // generated outside the timing
  for (auto _ : state) {
    state.PauseTiming();
    const std::string folder = scratchFolder();
    const std::string directory = folder + "/Index";
    std::filesystem::create_directories(directory);
    state.ResumeTiming();
    if (!indexAll(directory, batchSize)) state.SkipWithError("indexing failed");
    state.PauseTiming();
    std::uintmax_t bytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      if (entry.is_regular_file()) bytes += entry.file_size();
    }
    state.counters["index_MB"] = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::filesystem::remove_all(folder);
    state.ResumeTiming();
  }
  state.counters["notes_per_second"] =
      benchmark::Counter(static_cast<double>(kNoteCount) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IndexNotes)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(kNoteCount)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The seconds it takes to index every note into a new index, either as one
// submission or as one submission per note; negative on any failure.
double secondsToIndexAll(bool onePerCall) {
  const std::string folder = scratchFolder();
  const std::string directory = folder + "/Index";
  std::filesystem::create_directories(directory);
  configure(directory);
  std::unique_ptr<KXSIndexProxy> indexer = KXSIndexProxy::create();
  if (!indexer) return -1;
  const auto& all = notes();
  const auto start = std::chrono::steady_clock::now();
  bool ok = true;
  if (onePerCall) {
    auto failures = std::make_shared<std::atomic<std::size_t>>(0);
    for (const auto& note : all) {
      indexer->submitDocuments({note},
                               [failures](const std::vector<bool>& indexed, const kx::Error&) {
                                 if (indexed != std::vector<bool>{true}) failures->fetch_add(1);
                               });
    }
    KXSIndexProxy::indexQueue().sync([] {});
    ok = failures->load() == 0;
  } else {
    kx::Error error;
    const std::vector<bool> indexed = indexer->submitDocumentsSync(all, &error);
    ok = !error && std::find(indexed.begin(), indexed.end(), false) == indexed.end();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::int64_t version = 0;
  ok = ok && KXSLucene::indexVersion(directory, &version, nullptr);
  indexer.reset();
  std::filesystem::remove_all(folder);
  return ok ? seconds : -1;
}

void BM_IndexOnePerCallVsOneBatch(benchmark::State& state) {
  notes();  // generated outside the timing
  double batchSeconds = 0;
  double perCallSeconds = 0;
  for (auto _ : state) {
    const double batch = secondsToIndexAll(false);
    const double perCall = secondsToIndexAll(true);
    if (batch < 0 || perCall < 0) {
      state.SkipWithError("indexing failed");
      return;
    }
    batchSeconds += batch;
    perCallSeconds += perCall;
    state.SetIterationTime(batch + perCall);
  }
  const double notes = static_cast<double>(kNoteCount) * static_cast<double>(state.iterations());
  state.counters["batch_notes_per_second"] = notes / batchSeconds;
  state.counters["per_call_notes_per_second"] = notes / perCallSeconds;
  state.counters["per_call_vs_batch"] = perCallSeconds / batchSeconds;
}
BENCHMARK(BM_IndexOnePerCallVsOneBatch)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The index that the query benchmarks search, built once.
const std::string& queryIndex() {
  static const std::string* directory = [] {
    static const std::string folder = scratchFolder();
    std::atexit([] { std::filesystem::remove_all(folder); });
    auto* path = new std::string(folder + "/Index");
    std::filesystem::create_directories(*path);
    if (!indexAll(*path, 1000)) std::exit(1);
    return path;
  }();
  configure(*directory);
  return *directory;
}

// One query of the benchmark: the words typed, and the same search for FTS5.
struct Query {
  const char* name;
  const char* keywords;
  const char* fts5;
};

const Query kQueries[] = {
    {"SelectiveWord/kadenpho", "kadenpho", "\"kadenpho\""},
    {"SelectiveWord/kalomi", "kalomi", "\"kalomi\""},
    {"SelectiveWord/sulgrapre", "sulgrapre", "\"sulgrapre\""},
    {"SelectiveWord/tripresul", "tripresul", "\"tripresul\""},
    {"BroadWord", "deadline", "\"deadline\""},
    {"ChinesePhrase", "会议记录", "\"会议记录\""},
    {"InfixWord", "tangra", "\"tangra\""},
    {"TwoWordsDefaultOr", "budget 项目计划", "\"budget\" OR \"项目计划\""},
};

// Times each call of `search` alone and reports the median, the 90th
// percentile and the hit count.
template <typename Search>
double timeSearches(benchmark::State& state, Search search) {
  std::vector<double> micros;
  std::size_t hits = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    hits = search();
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  if (micros.empty()) return 0;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p90_us"] = micros[micros.size() * 9 / 10];
  state.counters["hits"] = static_cast<double>(hits);
  return micros[micros.size() / 2];
}

// The medians of each query's two sides, for the ratios printed at the end.
struct Medians {
  double search = 0;
  double fts5 = 0;
};
std::map<std::string, Medians>& medians() {
  static auto* byQuery = new std::map<std::string, Medians>();
  return *byQuery;
}

void BM_Search(benchmark::State& state, const Query& q) {
  queryIndex();
  KXSSearchProxy searcher;
  const KXSearchQuery query = kx::Value::dict({{KXSearchQueryKeywordsKey, q.keywords}});
  medians()[q.name].search = timeSearches(state, [&]() -> std::size_t {
    kx::Error error;
    const auto ids = searcher.searchSync(query, &error);
    if (error) state.SkipWithError(error.localizedDescription().c_str());
    benchmark::DoNotOptimize(ids);
    return ids ? ids->size() : 0;
  });
}

// The FTS5 trigram index of the same texts, on disk and optimised, built
// once.
sqlite3* fts5Index() {
  static sqlite3* db = [] {
    static const std::string folder = scratchFolder();
    std::atexit([] { std::filesystem::remove_all(folder); });
    sqlite3* handle = nullptr;
    if (sqlite3_open((folder + "/fts5.db").c_str(), &handle) != SQLITE_OK) std::exit(1);
    char* message = nullptr;
    if (sqlite3_exec(handle,
                     "CREATE VIRTUAL TABLE notes USING fts5(docID UNINDEXED, docContent, "
                     "tokenize='trigram');BEGIN;",
                     nullptr, nullptr, &message) != SQLITE_OK) {
      std::fprintf(stderr, "FTS5: %s\n", message ? message : "?");
      std::exit(1);
    }
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(handle, "INSERT INTO notes(docID, docContent) VALUES(?, ?)", -1, &insert,
                       nullptr);
    for (const auto& note : notes()) {
      const std::string id = note->fieldID();
      const std::string text = KXSIndexProxy::searchableText(*note);
      sqlite3_bind_text(insert, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 2, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(insert) != SQLITE_DONE) std::exit(1);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    if (sqlite3_exec(handle, "COMMIT; INSERT INTO notes(notes) VALUES('optimize');", nullptr,
                     nullptr, &message) != SQLITE_OK) {
      std::fprintf(stderr, "FTS5: %s\n", message ? message : "?");
      std::exit(1);
    }
    return handle;
  }();
  return db;
}

void BM_FTS5(benchmark::State& state, const Query& q) {
  sqlite3* db = fts5Index();
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT docID FROM notes WHERE notes MATCH ?", -1, &select, nullptr);
  medians()[q.name].fts5 = timeSearches(state, [&]() -> std::size_t {
    std::vector<std::string> ids;
    sqlite3_bind_text(select, 1, q.fts5, -1, SQLITE_STATIC);
    while (sqlite3_step(select) == SQLITE_ROW) {
      ids.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)));
    }
    sqlite3_reset(select);
    benchmark::DoNotOptimize(ids);
    return ids.size();
  });
  sqlite3_finalize(select);
}

void BM_ReaderOpen(benchmark::State& state) {
  const std::string& directory = queryIndex();
  timeSearches(state, [&]() -> std::size_t {
    std::int64_t version = 0;
    kx::Error error;
    if (!KXSLucene::indexVersion(directory, &version, &error)) {
      state.SkipWithError(error.localizedDescription().c_str());
    }
    return 0;
  });
}
BENCHMARK(BM_ReaderOpen)->UseRealTime()->Unit(benchmark::kMicrosecond);

[[maybe_unused]] const bool kRegistered = [] {
  for (const Query& q : kQueries) {
    benchmark::RegisterBenchmark((std::string("Search/") + q.name).c_str(), BM_Search, q)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark((std::string("FTS5/") + q.name).c_str(), BM_FTS5, q)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  return true;
}();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& [name, m] : medians()) {
    if (m.search > 0 && m.fts5 > 0) {
      std::printf("RATIO Search/%s %.2f (median %.1f us, FTS5 %.1f us)\n", name.c_str(),
                  m.search / m.fts5, m.search, m.fts5);
    }
  }
  return 0;
}
