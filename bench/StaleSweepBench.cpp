// The start-up sweep of the writers' stale temporaries
// (KXFileManager::removeStaleTemporaryFiles) over the data root of a user
// with 10,000 notes: their content files in the content buckets, 1,000
// normal files each in a folder of its own, 5,000 resources in the resource
// buckets with a preview and a thumbnail each, and a few temporaries of
// live writers (this process) in the writers' folders and in the folders
// older builds wrote them to. Every temporary is this process's and fresh,
// so no sweep removes anything and every run does the same work.
//  - StaleSweep/Client: one whole sweep, from the call to its completion
//    (queued on a background queue, as at start).
//  - StaleSweep/Raw: the least a sweep has to do, with plain system calls on
//    the calling thread: read the names of the same folders (the writers'
//    folder of each data root; the data root, the user's folder, Contents,
//    Resources and each of its buckets, Preivew and Thumbnail, where older
//    builds left theirs) and lstat each name shaped like a temporary.
// Each reports the median of its runs (median_us); the ratio of the medians
// is printed once both ran.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_StaleSweep [--benchmark_filter=Raw]
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "Data/client/KXFileManager.h"
#include "platform/FileSystem.h"
#include "platform/Places.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace stdfs = std::filesystem;

constexpr int kNotes = 10000;
constexpr int kNormalFiles = 1000;
constexpr int kResources = 5000;
constexpr int kRuns = 40;

double gClientMedianUs = 0;
double gRawMedianUs = 0;

double MedianOf(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Touch(const stdfs::path& path) {
  stdfs::create_directories(path.parent_path());
  std::ofstream(path) << "x";
}

char Hex(int n) { return "0123456789ABCDEF"[n & 15]; }

// A fresh temporary of this process, as a writer names it.
std::string TemporaryName(const char* name, int n) {
  char pid[9];
  std::snprintf(pid, sizeof pid, "%08x", static_cast<unsigned>(::getpid()));
  return std::string(".") + name + ".tmp-" + pid + "-" + std::to_string(n) + "-0123abcd";
}

// The folders the sweep reads, written out here as the layout has them.
std::vector<std::string> gFolders;

void Prepare(const std::string&) {
  const stdfs::path appdata = kx::Places::applicationDataRoot();
  const stdfs::path scratch = kx::Places::scratchRoot();
  const stdfs::path user = appdata / "bench";
  const stdfs::path contents = user / KXFileManager::kContentDirectoryName;
  const stdfs::path resources = user / KXFileManager::kResourceDirectoryName;
  const stdfs::path previews = user / KXFileManager::kPreviewDirectoryName;
  const stdfs::path thumbnails = user / KXFileManager::kThumbnailDirectoryName;
  for (int i = 0; i < kNotes; ++i) {
    char id[33];
    std::snprintf(id, sizeof id, "%032X", i + 1);
    Touch(contents / std::string(1, id[31]) / id);
  }
  for (int i = 0; i < kNormalFiles; ++i) {
    Touch(contents / ("F" + std::to_string(i)) / "report.pdf");
  }
  for (int i = 0; i < kResources; ++i) {
    const std::string uuid = "U" + std::to_string(i);
    Touch(resources / std::string(1, Hex(i % 9)) / std::string(1, Hex((i / 9) % 9)) / uuid);
    Touch(previews / uuid);
    Touch(thumbnails / uuid);
  }
  Touch(user / "ZarvelNote.db");
  Touch(appdata / KXFileManager::kEditorDirectoryName / "index.html");
  int n = 0;
  for (const stdfs::path& folder : {appdata / ".writing", scratch / ".writing"}) {
    for (int i = 0; i < 4; ++i) Touch(folder / TemporaryName("W", n++));
  }
  Touch(contents / TemporaryName("C", n++));
  Touch(user / TemporaryName("config", n++));

  gFolders = {(appdata / ".writing").string(),
              (scratch / ".writing").string(),
              appdata.string(),
              user.string(),
              contents.string(),
              resources.string(),
              previews.string(),
              thumbnails.string()};
  for (int e = 0; e < 9; ++e) gFolders.push_back((resources / std::string(1, Hex(e))).string());
}

void BM_Client(benchmark::State& state) {
  std::vector<double> runs;
  bool ok = true;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    std::promise<bool> done;
    KXFileManager::defaultManauger().removeStaleTemporaryFiles(
        [&done](const kx::Error& error) { done.set_value(!error); });
    ok = done.get_future().get() && ok;
    runs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (!ok) state.SkipWithError("a sweep failed");
  gClientMedianUs = MedianOf(runs);
  state.counters["median_us"] = gClientMedianUs;
}

void BM_Raw(benchmark::State& state) {
  std::vector<double> runs;
  std::size_t seen = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    seen = 0;
    for (const std::string& folder : gFolders) {
      DIR* dir = ::opendir(folder.c_str());
      if (!dir) continue;
      while (const dirent* entry = ::readdir(dir)) {
        std::uint32_t writer = 0;
        if (!kx::FileSystem::isTemporaryName(entry->d_name, &writer)) continue;
        struct stat info;
        if (::lstat((folder + "/" + entry->d_name).c_str(), &info) == 0) ++seen;
      }
      ::closedir(dir);
    }
    runs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (seen != 10) state.SkipWithError("the temporaries laid out were not all found");
  gRawMedianUs = MedianOf(runs);
  state.counters["median_us"] = gRawMedianUs;
}

BENCHMARK(BM_Client)->Name("StaleSweep/Client")->Unit(benchmark::kMicrosecond)->Iterations(kRuns);
BENCHMARK(BM_Raw)->Name("StaleSweep/Raw")->Unit(benchmark::kMicrosecond)->Iterations(kRuns);

}  // namespace

int main(int argc, char** argv) {
  return znbench::RunInIsolatedHome(argc, argv, Prepare, [] {
    if (gClientMedianUs > 0 && gRawMedianUs > 0) {
      std::printf("RATIO StaleSweep %.2f (sweep median %.1f us, raw listing median %.1f us)\n",
                  gClientMedianUs / gRawMedianUs, gClientMedianUs, gRawMedianUs);
    }
  });
}
