// What the store benchmarks share for their set-up: a fresh temporary
// folder, a home of its own so that nothing a benchmark sets up (index
// folder, log, caches) reaches the real home, and a store environment over
// a temporary application root.
//
// Thread safety: call from main() and from the benchmarks' set-up, before
// any queue runs.
#ifndef ZN_BENCH_BENCHHOME_H_
#define ZN_BENCH_BENCHHOME_H_

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include <benchmark/benchmark.h>

#include "Data/store/KXStoreEnvironment.h"
#include "platform/Error.h"

namespace znbench {

// A new folder under the system's temporary folder; aborts when none can be
// made (a benchmark cannot run without it).
inline std::string MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zn-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  return pattern;
}

// Points HOME and the XDG folders at a new temporary folder; answers it.
inline std::string IsolateHome() {
  const std::string home = MakeTempDir();
  setenv("HOME", home.c_str(), 1);
  for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
    std::string path = home + "/" + name;
    std::filesystem::create_directories(path);
    setenv(name, path.c_str(), 1);
  }
  return home;
}

// The main() of a store benchmark: runs the benchmarks named on the command
// line in a home of their own (IsolateHome), so that nothing of the client's
// set-up (index folder, log, content and resource files) reaches the real
// home. `prepare` runs before the benchmarks with that home, `finish` after
// them (the benchmarks' shared stores let go, figures printed); then the
// home is removed. A `reporter`, when given, displays the runs (and may keep
// their figures for `finish`).
inline int RunInIsolatedHome(int argc, char** argv,
                             const std::function<void(const std::string& home)>& prepare = {},
                             const std::function<void()>& finish = {},
                             benchmark::BenchmarkReporter* reporter = nullptr) {
  const std::string home = IsolateHome();
  if (prepare) prepare(home);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (reporter) {
    benchmark::RunSpecifiedBenchmarks(reporter);
  } else {
    benchmark::RunSpecifiedBenchmarks();
  }
  benchmark::Shutdown();
  if (finish) finish();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return 0;
}

// The store's environment for a signed-in user "bench" under root.
class BenchEnvironment : public KXStoreEnvironment {
 public:
  explicit BenchEnvironment(std::string root) : root_(std::move(root)) {}
  std::string currentUser() override { return "bench"; }
  unsigned loginType() override { return 1; }
  void setDbUserId(const std::string&) override {}
  std::string applicationDataDirectory() override { return root_; }
  std::string userDataDirectory(const std::string& userId, kx::Error*) override {
    std::string dir = root_ + "/" + userId;
    std::filesystem::create_directories(dir);
    return dir;
  }
  void presentError(const kx::Error& error) override {
    std::fprintf(stderr, "store error: %s\n", error.localizedDescription().c_str());
  }

 private:
  std::string root_;
};

}  // namespace znbench

#endif  // ZN_BENCH_BENCHHOME_H_
