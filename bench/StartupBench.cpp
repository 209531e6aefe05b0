// The desktop program's start-up: the time from exec to the main window's
// first load of the interface, and the program's resident memory then, with
// an empty store (the root entry only) and with a store of 10,000 notes.
// The empty store is the baseline: the figure to watch is the ratio of the
// large store's start to it, printed at the end.
//
// Needs a display and a session bus: run under
//   xvfb-run -a dbus-run-session -- build/bench/bin/bench_Startup
// Without a display the benchmarks report an error and measure nothing.
//
// Each store lives in a home of its own; the program is the zarvelnote next
// to this benchmark. The program's log line "web interface loaded" marks
// the first load; it is looked for every millisecond.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include "Data/client/KXDataClient.h"
#include "Data/client/KXFoundationHooks.h"
#include "Data/store/KXDataContext.h"
#include "account/KXSession.h"
#include "platform/Places.h"

namespace {

constexpr const char* kUser = "bench";

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string selfPath() { return std::filesystem::canonical("/proc/self/exe"); }

// Mode "seed <notes> <bundle>": a signed-in session with automatic login and
// a store with the root entry and `notes` notes, in the current home.
int seed(int notes, const std::string& bundle) {
  KXInstallFoundationHooks();
  KXSession& session = KXSession::defaultSession();
  if (!kx::Places::ensureApplicationDataRoot(nullptr)) return 1;
  session.setAppDataDir(kx::Places::applicationDataRoot());
  session.setCurrentUser(kUser);
  session.setAutoLogin(KXSessionAutoLoginOn);
  session.setCurrentWebPath(bundle);
  session.writeLatest();
  KXDataClient& client = KXDataClient::defaultDataClient();
  std::shared_ptr<KXDataContext> data = client.dataContext();
  if (!data) return 1;
  bool saved = false;
  data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    KXManagedObjectPtr root = context.insertNewObject("Root");
    root->setValue("fileId", kx::Value("ROOT"));
    root->setValue("title", kx::Value("My Notes"));
    for (int i = 0; i < notes; ++i) {
      KXManagedObjectPtr note = context.insertNewObject("Note");
      char id[40];
      std::snprintf(id, sizeof id, "%032X", i + 1);
      note->setValuesForKeys(kx::Dictionary{{"fileId", kx::Value(id)},
                                            {"parentId", kx::Value("ROOT")},
                                            {"title", kx::Value("note " + std::to_string(i))},
                                            {"del", kx::Value(false)},
                                            {"remoteRemoved", kx::Value(false)},
                                            {"localModified", kx::Value(0)},
                                            {"encrypted", kx::Value(false)},
                                            {"stick", kx::Value(false)},
                                            {"dir", kx::Value(false)}});
    }
    kx::Error error;
    saved = context.save(&error);
  });
  client.closeDB();
  return saved ? 0 : 1;
}

// The homes made, by store size; removed at the end.
std::map<int, std::string> homes;

// A home with a seeded store, made once per store size.
const std::string& homeFor(int notes) {
  auto it = homes.find(notes);
  if (it != homes.end()) return it->second;
  std::string pattern = (std::filesystem::temp_directory_path() / "zn-startup-XXXXXX").string();
  if (!mkdtemp(pattern.data())) std::abort();
  const std::string bundle = pattern + "/bundle";
  std::filesystem::create_directories(bundle + "/web");
  std::ofstream(bundle + "/web/index.html") << "<!DOCTYPE html><html><body>bench</body></html>";
  const std::string command = "HOME='" + pattern + "' XDG_DATA_HOME='" + pattern +
                              "/data' XDG_CACHE_HOME='" + pattern + "/cache' XDG_CONFIG_HOME='" +
                              pattern + "/config' '" + selfPath() + "' seed " +
                              std::to_string(notes) + " '" + bundle + "'";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "seeding %d notes failed\n", notes);
    std::abort();
  }
  return homes.emplace(notes, pattern).first->second;
}

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

void BM_StartToFirstLoad(benchmark::State& state) {
  if (!std::getenv("DISPLAY")) {
    state.SkipWithError("no DISPLAY: run under xvfb-run -a dbus-run-session --");
    return;
  }
  const int notes = static_cast<int>(state.range(0));
  const std::string home = homeFor(notes);
  const std::string program =
      (std::filesystem::path(selfPath()).parent_path() / "zarvelnote").string();
  const std::string log = home + "/data/com.zarvel.note.ZarvelNoteMac/" + kUser + "/ZarvelNote.log";
  long rss = 0;
  for (auto _ : state) {
    std::filesystem::remove(log);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
      setenv("HOME", home.c_str(), 1);
      setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
      setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
      setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
      if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) {
        ::_exit(126);
      }
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    bool loaded = false;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(120)) {
      if (readAll(log).find("web interface loaded") != std::string::npos) {
        loaded = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rss = residentKilobytes(pid);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!loaded) {
      state.SkipWithError("the main window did not load");
      return;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["rss_MB"] = static_cast<double>(rss) / 1024.0;
}
BENCHMARK(BM_StartToFirstLoad)
    ->Arg(0)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "seed") == 0) return seed(std::atoi(argv[2]), argv[3]);
  znbench::MedianReporter reporter;
  const int status = znbench::RunWithMedians(argc, argv, reporter);
  reporter.printRatio("Startup/10000Notes", "BM_StartToFirstLoad/10000/iterations:5/manual_time",
                      "BM_StartToFirstLoad/0/iterations:5/manual_time", "ms");
  for (const auto& [notes, home] : homes) {
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
  }
  return status;
}
