// The first full pull of 10,000 notes (bodies of 2 to 4 KB) in 200
// notebooks from the test note service into an empty store: the metadata
// pages and their application, then the object pulls (at most 7 downloads
// at once), each body moved into place, its entry stored and its text
// indexed. The service runs in a child process over HTTPS on 127.0.0.1, as
// the real service is another machine: its work is not this process's CPU.
//  - FirstFullPull: wall time until the pull reports success and the index
//    has taken every body (a run that stores fewer bodies fails); counters:
//    notes/s, meta_s (pages and the metadata writes), bodies_s (downloads,
//    content files, entry writes), index_tail_s (indexing still running
//    after the pull's end), cpu_ms/note (this process's CPU over the run,
//    every thread, per note), first_peak_rss_MB and peak_rss_MB (this
//    process's peak resident memory after the first run and after both).
//  - DownloadsOnly: the same 10,000 bodies downloaded through KXFilePuller
//    on the pull controller into temporary files, nothing stored: the
//    network wait alone.
//  - SameWorkReference: the reference, the work the pull must do for the
//    same entries and bodies, without network, under the same conditions:
//    the entries inserted in one write block, then 7 workers (as many as
//    the pull's downloads at once) each take the next body and, all inside
//    the timed part, write it to a temporary file of its own, fsync it
//    (the pull syncs each downloaded file), take its md5, summary and
//    index text, move it into place as its content file and fsync the
//    content folder, then store its entry (modified in a write block) and
//    hand its text to the index; a save, the index drained. The printed
//    ratios are FirstFullPull over it, whole and from the end of the
//    metadata (the pull's pages come over the network, the reference's
//    entries are inserted at once) until the index has every body, and the
//    CPU this process spends per note in each.
//
// HOME and the XDG folders point at a temporary folder while it runs; every
// store's folder is removed when its run ends.
// Run: bench_SyncPull
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchHome.h"
#include "BenchRandom.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "account/KXNetworkOperation.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/pull/KXFilePuller.h"
#include "sync/pull/KXObjectPuller.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncPullProxy.h"
#include "sync/pull/KXSyncStorePullApplier.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kNotes = 10000;
constexpr int kNotebooks = 200;
constexpr int kWorkers = 7;
constexpr const char* kHost = "note.zarvel.com";

// Mean seconds of the whole run and of its bodies phase (after the entries
// are stored), for the ratios printed at the end.
double gPullSeconds = 0;
double gPullBodySeconds = 0;
double gReferenceSeconds = 0;
double gReferenceBodySeconds = 0;
// The process's peak resident memory once the first pull ended and once
// both ended (the second also holds what the allocator kept of the first),
// and its resident memory with the bodies made before the first pull (MB).
double gFirstPullPeakMB = 0;
double gPullPeakMB = 0;
// This process's CPU seconds per run (the service runs in another process).
double gPullCPUSeconds = 0;
double gReferenceCPUSeconds = 0;
double gTreeResidentMB = 0;

// CPU seconds (user and system) of every thread of this process so far.
double cpuSeconds() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  auto secondsOf = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime);
}

double peakResidentMB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

double residentMB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

double seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string bodyFor(BenchRandom& random, int i) {
  static const char* words[] = {"alpha",  "ledger", "harbour", "violet",  "quartz",
                                "meadow", "signal", "copper",  "lantern", "orbit"};
  const std::size_t size = 2048 + random.below(2048);
  std::string body = "<p>note " + std::to_string(i) + " ";
  while (body.size() < size) {
    body += words[random.below(10)];
    body += ' ';
  }
  return body + "</p>";
}

// The bodies of the service's notes, the same in both processes.
std::vector<std::string> makeBodies() {
  BenchRandom random(27);
  std::vector<std::string> bodies;
  bodies.reserve(kNotes);
  for (int i = 0; i < kNotes; ++i) {
    bodies.push_back(bodyFor(random, i));
    bodies.back().shrink_to_fit();  // grown by appends: up to twice its size
  }
  return bodies;
}

// Runs in the service's child process: the test note service on 127.0.0.1
// with 200 notebooks under the root and the 10,000 notes among them. Writes
// its port to `portOut` once the tree is built, then serves until
// `parentGone` reads end of file (the parent closed its end or died).
[[noreturn]] void serveTree(int portOut, int parentGone) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  kxtest::TestNoteService service(kHost);
  if (!service.start(nullptr)) _exit(1);
  kxtest::TestSyncEndpoints endpoints(service);
  for (int b = 0; b < kNotebooks; ++b) {
    endpoints.putNotebook("NB" + std::to_string(b), "ROOT", "notebook " + std::to_string(b));
  }
  const std::vector<std::string> bodies = makeBodies();
  for (int i = 0; i < kNotes; ++i) {
    endpoints.putNote("N" + std::to_string(i), "NB" + std::to_string(i % kNotebooks),
                      "note " + std::to_string(i) + ".note", bodies[i]);
  }
  const std::uint16_t port = service.port();
  if (write(portOut, &port, sizeof(port)) != static_cast<ssize_t>(sizeof(port))) _exit(1);
  char byte;
  while (read(parentGone, &byte, 1) > 0) {
  }
  service.stop();
  _exit(0);
}

// The service's tree as this process sees it: the child process serving it
// (started by startService before any thread) and the notes' bodies.
struct ServiceTree {
  pid_t child = -1;
  int toChild = -1;  // closed to let the child end
  std::uint16_t port = 0;
  std::vector<std::string> bodies;

  std::string baseURL() const { return std::string("https://") + kHost; }
};

ServiceTree& tree() {
  static ServiceTree* t = new ServiceTree();
  return *t;
}

// Forks the service's process; the shared transport is pointed at it. Call
// before any thread starts (the child is a copy of this process).
bool startService() {
  ServiceTree& t = tree();
  // The certificate authority is made once, here, so that both processes
  // hold the same one.
  const std::string authority = kxtest::TestNoteService::authorityPEM();
  int portPipe[2], gonePipe[2];
  if (pipe(portPipe) != 0 || pipe(gonePipe) != 0) return false;
  t.child = fork();
  if (t.child < 0) return false;
  if (t.child == 0) {
    close(portPipe[0]);
    close(gonePipe[1]);
    serveTree(portPipe[1], gonePipe[0]);
  }
  close(portPipe[1]);
  close(gonePipe[0]);
  t.toChild = gonePipe[1];
  const bool started =
      read(portPipe[0], &t.port, sizeof(t.port)) == static_cast<ssize_t>(sizeof(t.port));
  close(portPipe[0]);
  if (!started) return false;
  t.bodies = makeBodies();
  kx::HTTPTransport& transport = KXNetworkOperation::sharedTransport();
  transport.setConnectTo({std::string(kHost) + "::127.0.0.1:" + std::to_string(t.port)});
  transport.setTrustedCertificates(authority);
  return true;
}

void stopService() {
  ServiceTree& t = tree();
  if (t.child <= 0) return;
  close(t.toChild);
  int status = 0;
  waitpid(t.child, &status, 0);
  t.child = -1;
}

// An empty store of its own, in a folder removed when the store ends.
struct Store {
  std::string dir = znbench::MakeTempDir();
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;
  Store() {
    auto environment = std::make_shared<znbench::BenchEnvironment>(dir);
    data = std::make_shared<KXDataContext>(environment);
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
  }
  ~Store() {
    client.reset();
    data.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  // How many of the notes hold a body (a stored md5).
  int bodiesStored() {
    int stored = 0;
    data->performSyncReadBlock([&](KXManagedObjectContext& context) {
      for (int i = 0; i < kNotes; ++i) {
        KXFileMetaPtr entry =
            client->readsIn(&context).objectForFileMetaID("N" + std::to_string(i));
        if (entry && !entry->stringValue("md5").empty()) ++stored;
      }
    });
    return stored;
  }
  void drainIndex() {
    std::promise<void> done;
    client->indexing().indexNotes({}, [&] { done.set_value(); });
    done.get_future().wait();
  }
};

class StoreEnvironment : public KXSyncPullEnvironment {
 public:
  StoreEnvironment(std::string base, KXDataClient& client)
      : base_(std::move(base)), client_(client) {}
  std::string serviceBaseURL() override { return base_; }
  bool canConnect() override { return true; }
  std::int64_t baseVersion() override { return 0; }
  bool isFullPulling() override { return true; }
  void setCurrentSessionVersion(std::int64_t) override {}
  kx::Array fetchPullFailed() override { return {}; }
  void pullFailedFileId(const std::string& id, const std::string&) override {
    std::fprintf(stderr, "pull of %s failed\n", id.c_str());
  }
  void deletePullFailedFileId(const std::string&) override {}
  void save(std::function<void()> done) override {
    client_.state().performSave([done = std::move(done)](const KXResultInfo&, const kx::Error&) {
      if (done) done();
    });
  }
  std::shared_ptr<KXSyncPullApplier> applier() override { return applier_; }
  std::shared_ptr<KXSyncPullApplier> applier_;

 private:
  std::string base_;
  KXDataClient& client_;
};

class Delegate : public KXSyncPullProxyDelegate {
 public:
  void didPullFileMetaDone() override { metaDone = Clock::now(); }
  void didPullSuccess() override { ended.set_value(true); }
  void didPullFail(const kx::Error&) override { ended.set_value(false); }
  Clock::time_point metaDone;
  std::promise<bool> ended;
};

KXObjectPuller::FilePullerFactory filePullers(const std::string& base) {
  return [base](const std::string& fileId, const kx::Value& version) {
    return std::make_shared<KXFilePuller>(
        fileId, version, base, [] { return KXFileManager::defaultManauger().URLForTempFile(); },
        KXConcurrentController::pullController());
  };
}

void BM_FirstFullPull(benchmark::State& state) {
  ServiceTree& t = tree();
  gTreeResidentMB = residentMB();
  double meta = 0, bodies = 0, tail = 0, total = 0, cpu = 0;
  for (auto _ : state) {
    Store store;
    auto env = std::make_shared<StoreEnvironment>(t.baseURL(), *store.client);
    env->applier_ =
        std::make_shared<KXSyncStorePullApplier>(*store.client, filePullers(t.baseURL()));
    auto delegate = std::make_shared<Delegate>();
    auto proxy = std::make_shared<KXSyncPullProxy>(delegate, env);
    const double cpuStart = cpuSeconds();
    const Clock::time_point start = Clock::now();
    proxy->pull();
    if (!delegate->ended.get_future().get()) state.SkipWithError("the pull failed");
    const Clock::time_point end = Clock::now();
    store.drainIndex();
    const Clock::time_point indexed = Clock::now();
    cpu += cpuSeconds() - cpuStart;
    if (gFirstPullPeakMB == 0) gFirstPullPeakMB = peakResidentMB();
    const int stored = store.bodiesStored();
    if (stored != kNotes) {
      std::fprintf(stderr, "%d of %d bodies stored\n", stored, kNotes);
      state.SkipWithError("the pull did not store every body");
    }
    state.SetIterationTime(seconds(start, indexed));
    total += seconds(start, indexed);
    meta += seconds(start, delegate->metaDone);
    bodies += seconds(delegate->metaDone, end);
    tail += seconds(end, indexed);
  }
  const double n = static_cast<double>(state.iterations());
  gPullSeconds = total / n;
  gPullCPUSeconds = cpu / n;
  state.counters["cpu_ms/note"] = 1000.0 * gPullCPUSeconds / kNotes;
  gPullPeakMB = peakResidentMB();
  state.counters["peak_rss_MB"] = gPullPeakMB;
  state.counters["first_peak_rss_MB"] = gFirstPullPeakMB;
  gPullBodySeconds = (bodies + tail) / n;
  state.counters["notes/s"] = benchmark::Counter(kNotes * n, benchmark::Counter::kIsRate);
  state.counters["meta_s"] = meta / n;
  state.counters["bodies_s"] = bodies / n;
  state.counters["index_tail_s"] = tail / n;
}
BENCHMARK(BM_FirstFullPull)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

void BM_DownloadsOnly(benchmark::State& state) {
  ServiceTree& t = tree();
  const KXObjectPuller::FilePullerFactory make = filePullers(t.baseURL());
  for (auto _ : state) {
    std::vector<std::shared_ptr<KXFilePuller>> pullers;
    std::atomic<int> left{kNotes};
    std::promise<void> done;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kNotes; ++i) {
      pullers.push_back(make("N" + std::to_string(i), kx::Value(1)));
      pullers.back()->pullWithCallback([&](const kx::Value& result, const kx::Error&) {
        kx::ignoreError(kx::FileSystem::Default().removeItem(
            result[KXFilePuller::kTmpFilePathKey].stringValue(), nullptr));
        if (--left == 0) done.set_value();
      });
    }
    done.get_future().wait();
    state.SetIterationTime(seconds(start, Clock::now()));
  }
  state.counters["notes/s"] = benchmark::Counter(kNotes * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DownloadsOnly)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

void BM_SameWorkReference(benchmark::State& state) {
  ServiceTree& t = tree();
  // The items as the applier inserts them.
  kx::Array notebooks, notes;
  for (int b = 0; b < kNotebooks; ++b) {
    notebooks.push_back(kx::Value::dict({{"fileId", kx::Value("NB" + std::to_string(b))},
                                         {"parentId", kx::Value("ROOT")},
                                         {"title", kx::Value("notebook " + std::to_string(b))},
                                         {"dir", kx::Value(true)},
                                         {"version", kx::Value(1)}}));
  }
  for (int i = 0; i < kNotes; ++i) {
    notes.push_back(kx::Value::dict({{"fileId", kx::Value("N" + std::to_string(i))},
                                     {"parentId", kx::Value("NB" + std::to_string(i % kNotebooks))},
                                     {"title", kx::Value("note " + std::to_string(i) + ".note")},
                                     {"version", kx::Value(1)},
                                     {"md5", kx::Value("")}}));
  }
  double inserts = 0, writes = 0, tail = 0, total = 0, cpu = 0;
  for (auto _ : state) {
    Store store;
    KXFileManager& files = KXFileManager::defaultManauger();
    kx::FileSystem& fs = kx::FileSystem::Default();
    const double cpuStart = cpuSeconds();
    const Clock::time_point start = Clock::now();
    store.data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
      store.client->writes().addManagedObjectsSync("Notebook", &context, notebooks, nullptr);
      store.client->writes().addManagedObjectsSync("Note", &context, notes, nullptr);
      kx::ignoreError(context.save(nullptr));
    });
    const Clock::time_point inserted = Clock::now();
    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    std::atomic<int> left{kNotes};
    std::promise<void> placed;
    auto work = [&] {
      for (int i = next++; i < kNotes; i = next++) {
        const std::string id = "N" + std::to_string(i);
        const std::string& body = t.bodies[i];
        // As a download leaves it: a temporary file of its own, synced.
        const std::string tmp = files.URLForTempFile();
        bool ok = fs.writeFile(tmp, body, nullptr) && fs.syncFile(tmp, nullptr);
        const KXObjectPuller::IndexInfo index =
            KXObjectPuller::indexAndSummary("Note", "note " + std::to_string(i) + ".note", body);
        const std::string md5 = kx::Crypto::md5Hex(kx::ByteView(body));
        // Moved into place, the move made durable.
        const std::string target = files.URLForContentFile(id, false);
        ok = ok && fs.moveItem(tmp, target, nullptr) &&
             fs.syncDirectory(kx::Path::deletingLastPathComponent(target), nullptr);
        if (!ok) ++failures;
        store.data->performWriteBlock([&store, &left, &placed, id, index,
                                       md5](KXManagedObjectContext& context) {
          if (KXFileMetaPtr entry = store.client->readsIn(&context).objectForFileMetaID(id)) {
            kx::Dictionary modify{{KXEntryWrites::kModifyIdentityKey, entry->objectID().toValue()},
                                  {KXEntryWrites::kModifyFieldsKey,
                                   kx::Value::dict({{"summary", kx::Value(index.summary)},
                                                    {"contentChanged", kx::Value(false)},
                                                    {"md5", kx::Value(md5)}})}};
            store.client->writes().modifyManagedObjectSync("Note", &context,
                                                           kx::Array{kx::Value(modify)}, nullptr);
            store.client->indexing().indexNotes(kx::Array{kx::Value::dict(
                {{"docID", kx::Value(id)}, {"docContent", kx::Value(index.indexText)}})});
          }
          if (--left == 0) placed.set_value();
        });
      }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();
    placed.get_future().wait();
    store.data->performSyncWriteBlock(
        [](KXManagedObjectContext& context) { kx::ignoreError(context.save(nullptr)); });
    const Clock::time_point written = Clock::now();
    store.drainIndex();
    const Clock::time_point indexed = Clock::now();
    cpu += cpuSeconds() - cpuStart;
    if (failures > 0) state.SkipWithError("a body was not placed");
    state.SetIterationTime(seconds(start, indexed));
    total += seconds(start, indexed);
    inserts += seconds(start, inserted);
    writes += seconds(inserted, written);
    tail += seconds(written, indexed);
  }
  const double n = static_cast<double>(state.iterations());
  gReferenceSeconds = total / n;
  gReferenceBodySeconds = (writes + tail) / n;
  gReferenceCPUSeconds = cpu / n;
  state.counters["cpu_ms/note"] = 1000.0 * gReferenceCPUSeconds / kNotes;
  state.counters["notes/s"] = benchmark::Counter(kNotes * n, benchmark::Counter::kIsRate);
  state.counters["meta_s"] = inserts / n;
  state.counters["bodies_s"] = writes / n;
  state.counters["index_tail_s"] = tail / n;
}
BENCHMARK(BM_SameWorkReference)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  if (!startService()) {
    std::fprintf(stderr, "the note service's process did not start\n");
    return 1;
  }
  return znbench::RunInIsolatedHome(argc, argv, {}, [] {
    stopService();
    if (gPullSeconds > 0 && gReferenceSeconds > 0) {
      std::printf(
          "RATIO SyncPull/FirstFullPull %.2f (pull %.2f s, same-work reference %.2f s; peak RSS "
          "%.0f MB after the first pull, %.0f MB after both, %.0f MB resident before them)\n",
          gPullSeconds / gReferenceSeconds, gPullSeconds, gReferenceSeconds, gFirstPullPeakMB,
          gPullPeakMB, gTreeResidentMB);
      std::printf("RATIO SyncPull/bodies %.2f (pull %.2f s, same-work reference %.2f s)\n",
                  gPullBodySeconds / gReferenceBodySeconds, gPullBodySeconds,
                  gReferenceBodySeconds);
      std::printf(
          "RATIO SyncPull/ClientCPU %.2f (pull %.3f ms of this process's CPU per note, "
          "same-work reference %.3f ms)\n",
          gPullCPUSeconds / gReferenceCPUSeconds, 1000.0 * gPullCPUSeconds / kNotes,
          1000.0 * gReferenceCPUSeconds / kNotes);
    }
  });
}
