// Latency from a change on the local test note service to the store holding
// it, through the long poll: the poll is held by the service, the change
// answers it, the connection asks for a sync, and the sync's pull (metadata
// page, body download, entry stored) brings the note in.
//  - ThroughLongPoll: from the change to the pull's success; median_ms and
//    p90_ms over 50 changes.
//  - DirectPull: the reference, the same pull started right after the same
//    change, without the poll. Target: ThroughLongPoll's median under
//    DirectPull's median plus one second.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_LivePoll
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "BenchRatio.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/Root.h"
#include "Data/store/KXDataContext.h"
#include "account/KXNetworkOperation.h"
#include "support/KXManualDelayClock.h"
#include "support/TestLongPollEndpoints.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "sync/cycle/KXLiveConnection.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncPullProxy.h"
#include "sync/pull/KXSyncStorePullApplier.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChanges = 50;

double milliseconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

class StoreEnvironment : public KXSyncPullEnvironment {
 public:
  StoreEnvironment(std::string base, KXDataClient& client)
      : base_(std::move(base)), client_(client) {}
  std::string serviceBaseURL() override { return base_; }
  bool canConnect() override { return true; }
  std::int64_t baseVersion() override {
    std::int64_t version = 0;
    client_.reads().performSyncReadBlock([&] {
      if (auto root = client_.reads().rootEntry()) version = root->version();
    });
    return version;
  }
  bool isFullPulling() override { return false; }
  void setCurrentSessionVersion(std::int64_t) override {}
  kx::Array fetchPullFailed() override { return {}; }
  void pullFailedFileId(const std::string&, const std::string&) override {}
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
  void didPullSuccess() override { ended.set_value(true); }
  void didPullFail(const kx::Error&) override { ended.set_value(false); }
  std::promise<bool> ended;
};

// A service, an empty store, and the pull that stands for a sync cycle.
struct World {
  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestSyncEndpoints> endpoints;
  std::unique_ptr<kxtest::TestLongPollEndpoints> polls;
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;
  std::shared_ptr<StoreEnvironment> env;
  int notes = 0;

  World() {
    if (!service.start(nullptr)) std::abort();
    service.attach(KXNetworkOperation::sharedTransport());
    endpoints = std::make_unique<kxtest::TestSyncEndpoints>(service);
    polls = std::make_unique<kxtest::TestLongPollEndpoints>(
        service, [this] { return endpoints->rootVersion(); });
    data = std::make_shared<KXDataContext>(
        std::make_shared<znbench::BenchEnvironment>(znbench::MakeTempDir()));
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
    env = std::make_shared<StoreEnvironment>(service.baseURL(), *client);
    env->applier_ = std::make_shared<KXSyncStorePullApplier>(*client);
    endpoints->putNotebook("NB", "ROOT", "Work");
    if (!pull()) std::abort();
  }
  ~World() {
    polls->shutdown();
    service.stop();
  }
  // One pull, as a cycle runs it; waits for its end.
  bool pull() {
    auto delegate = std::make_shared<Delegate>();
    auto proxy = std::make_shared<KXSyncPullProxy>(delegate, env);
    proxy->pull();
    const bool ok = delegate->ended.get_future().get();
    proxy->clearEnvironment();
    return ok;
  }
  void change() {
    ++notes;
    endpoints->putNote("N" + std::to_string(notes), "NB", "note.note",
                       "<p>change " + std::to_string(notes) + "</p>");
  }
};

// The connection's view of the world: a sync is one pull.
class LiveEnvironment : public KXLiveConnectionEnvironment {
 public:
  explicit LiveEnvironment(World& world) : world_(world) {}
  std::string serviceBaseURL() override { return world_.service.baseURL(); }
  bool isWorking() override { return working_.load(); }
  std::int64_t baseVersion() override { return world_.env->baseVersion(); }
  void sync() override {
    working_ = true;
    const bool ok = world_.pull();
    working_ = false;
    std::lock_guard<std::mutex> lock(mu_);
    if (synced_) synced_->set_value(ok);
    synced_.reset();
  }
  void startPenPull() override {}
  std::future<bool> expectSync() {
    std::lock_guard<std::mutex> lock(mu_);
    synced_ = std::make_unique<std::promise<bool>>();
    return synced_->get_future();
  }

 private:
  World& world_;
  std::atomic<bool> working_{false};
  std::mutex mu_;
  std::unique_ptr<std::promise<bool>> synced_;
};

void report(benchmark::State& state, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) return;
  state.counters["median_ms"] = samples[samples.size() / 2];
  state.counters["p90_ms"] = samples[samples.size() * 9 / 10];
}

void BM_ThroughLongPoll(benchmark::State& state) {
  World world;
  auto env = std::make_shared<LiveEnvironment>(world);
  auto clock = std::make_shared<kxtest::KXManualDelayClock>();
  auto connection = std::make_shared<KXLiveConnection>(env, clock);
  connection->multiportConnect();
  std::vector<double> samples;
  for (auto _ : state) {
    const int held = world.polls->heldPolls();
    clock->advance(KXLiveConnection::kTickSeconds);
    if (!world.polls->waitForHeldPolls(held + 1)) state.SkipWithError("no poll held");
    std::future<bool> synced = env->expectSync();
    const Clock::time_point start = Clock::now();
    world.polls->change([&] { world.change(); });
    if (!synced.get()) state.SkipWithError("the pull failed");
    const double ms = milliseconds(start, Clock::now());
    samples.push_back(ms);
    state.SetIterationTime(ms / 1000);
  }
  connection->stop();
  report(state, samples);
}
BENCHMARK(BM_ThroughLongPoll)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(kChanges);

void BM_DirectPull(benchmark::State& state) {
  World world;
  std::vector<double> samples;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    world.change();
    if (!world.pull()) state.SkipWithError("the pull failed");
    const double ms = milliseconds(start, Clock::now());
    samples.push_back(ms);
    state.SetIterationTime(ms / 1000);
  }
  report(state, samples);
}
BENCHMARK(BM_DirectPull)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(kChanges);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(), {},
      [&] {
        reporter.printRatio("LivePoll/ThroughLongPoll",
                            "BM_ThroughLongPoll/iterations:50/manual_time",
                            "BM_DirectPull/iterations:50/manual_time", "ms");
      },
      &reporter);
}
