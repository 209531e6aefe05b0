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
#include <string>
#include <utility>

#include "Data/KXStoreEnvironment.h"
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
