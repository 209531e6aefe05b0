// The first push of 10,000 new notes (bodies of 2 to 4 KB) in 200 new
// notebooks from a store to the local test note service.
//  - FirstPush: wall time from push() until the push proxy reports success:
//    collection and ordering, the notebooks one at a time, the notes through
//    the push controller (3 at a time), each entry read, its body read and
//    sent, the answer stored, the saves between the phases. Counter notes/s.
//  - RequestsOnly: the reference, the same 10,200 push requests (the same
//    parameters and bodies, built beforehand) sent by KXNetworkOperation
//    through a push controller of width 3, the notebooks one at a time, with
//    no store work. Target: FirstPush within 1.5x of it.
// Each iteration has a service and a store of its own, set up untimed.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_SyncPush
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "BenchRandom.h"
#include "BenchRatio.h"
#include "CommonUtils/KXHeadlessUIPort.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "account/KXNetworkOperation.h"
#include "support/TestNoteService.h"
#include "support/TestPushEndpoints.h"
#include "support/TestSyncEndpoints.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/push/KXMetaPusher.h"
#include "sync/push/KXSyncPushProxy.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kNotes = 10000;
constexpr int kNotebooks = 200;

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

const std::vector<std::string>& bodies() {
  static std::vector<std::string>* b = [] {
    auto* out = new std::vector<std::string>();
    BenchRandom random(31);
    for (int i = 0; i < kNotes; ++i) out->push_back(bodyFor(random, i));
    return out;
  }();
  return *b;
}

// A service of its own with the push endpoints.
struct Service {
  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestSyncEndpoints> sync;
  std::unique_ptr<kxtest::TestPushEndpoints> push;
  Service() {
    if (!service.start(nullptr)) std::abort();
    service.attach(KXNetworkOperation::sharedTransport());
    sync = std::make_unique<kxtest::TestSyncEndpoints>(service);
    push = std::make_unique<kxtest::TestPushEndpoints>(service, *sync);
  }
  ~Service() {
    push.reset();
    service.stop();
  }
};

// A store holding the 200 notebooks and 10,000 notes made here, not pushed.
struct Store {
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;
  explicit Store(int run) {
    auto environment = std::make_shared<znbench::BenchEnvironment>(znbench::MakeTempDir());
    data = std::make_shared<KXDataContext>(environment);
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
    KXFileManager& files = KXFileManager::defaultManauger();
    const std::string prefix = "R" + std::to_string(run) + "-";
    for (int i = 0; i < kNotes; ++i) {
      if (!files.writeContentFileSync(kx::ByteView(bodies()[i]), prefix + "N" + std::to_string(i)))
        std::abort();
    }
    kx::Array notebooks, notes;
    for (int b = 0; b < kNotebooks; ++b) {
      notebooks.push_back(kx::Value::dict({{"fileId", kx::Value(prefix + "NB" + std::to_string(b))},
                                           {"parentId", kx::Value("ROOT")},
                                           {"title", kx::Value("notebook " + std::to_string(b))},
                                           {"dir", kx::Value(true)},
                                           {"localModified", kx::Value(1)},
                                           {"createTime", kx::Value(1700000000)},
                                           {"modifyTime", kx::Value(1700000000)}}));
    }
    for (int i = 0; i < kNotes; ++i) {
      notes.push_back(
          kx::Value::dict({{"fileId", kx::Value(prefix + "N" + std::to_string(i))},
                           {"parentId", kx::Value(prefix + "NB" + std::to_string(i % kNotebooks))},
                           {"title", kx::Value("note " + std::to_string(i))},
                           {"localModified", kx::Value(1)},
                           {"contentChanged", kx::Value(true)},
                           {"domain", kx::Value(0)},
                           {"createTime", kx::Value(1700000000)},
                           {"modifyTime", kx::Value(1700000000)}}));
    }
    data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
      client->writes().addManagedObjectsSync("Notebook", &context, notebooks, nullptr);
      client->writes().addManagedObjectsSync("Note", &context, notes, nullptr);
      kx::ignoreError(context.save(nullptr));
    });
  }
};

class Delegate : public KXSyncPushProxyDelegate {
 public:
  void didPushSuccess() override { ended.set_value(true); }
  void didPushFail(const kx::Error&) override { ended.set_value(false); }
  std::promise<bool> ended;
};

void BM_FirstPush(benchmark::State& state) {
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Service service;
    Store store(run++);
    auto controller =
        std::make_shared<KXConcurrentController>(KXConcurrentController::kPushConcurrentLen);
    KXSyncPushServices services;
    services.client = store.client.get();
    services.serviceBaseURL = service.service.baseURL();
    services.controller = controller.get();
    services.ui = std::make_shared<KXHeadlessUIPort>();
    services.editorVersion = [] { return std::optional<std::string>("7"); };
    auto delegate = std::make_shared<Delegate>();
    auto proxy = std::make_shared<KXSyncPushProxy>(delegate, services);
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    proxy->push();
    if (!delegate->ended.get_future().get()) state.SkipWithError("the push failed");
    state.SetIterationTime(seconds(start, Clock::now()));
    if (service.push->pushRequests() != kNotes + kNotebooks) state.SkipWithError("pushes missing");
  }
  state.counters["notes/s"] = benchmark::Counter(kNotes * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FirstPush)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

// The options of one push as the meta pusher sends them.
KXNetworkOperationOptions pushOptions(const std::string& base, kx::Dictionary params) {
  return KXNetworkOperationOptions{{kKXOptionURL, kx::Value(base + KXMetaPusher::kPushPath)},
                                   {kKXOptionMethod, kx::Value("POST")},
                                   {kKXOptionParams, kx::Value(std::move(params))},
                                   {kKXOptionDataType, kx::Value(kKXJSONDataType)},
                                   {kKXOptionEncoding, kx::Value(kKXStreamEncoding)}};
}

void BM_RequestsOnly(benchmark::State& state) {
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Service service;
    const std::string base = service.service.baseURL();
    const std::string prefix = "Q" + std::to_string(run++) + "-";
    std::vector<KXNetworkOperationOptions> notebooks, notes;
    for (int b = 0; b < kNotebooks; ++b) {
      KXMetaPusher::Snapshot s;
      s.entity = "Notebook";
      s.values = {{"fileId", kx::Value(prefix + "NB" + std::to_string(b))},
                  {"parentId", kx::Value("ROOT")},
                  {"title", kx::Value("notebook " + std::to_string(b))},
                  {"dir", kx::Value(true)},
                  {"createTime", kx::Value(1700000000)},
                  {"modifyTime", kx::Value(1700000000)}};
      notebooks.push_back(pushOptions(base, KXMetaPusher::pushParameters(s, {}, false, 0, "7")));
    }
    for (int i = 0; i < kNotes; ++i) {
      KXMetaPusher::Snapshot s;
      s.entity = "Note";
      s.values = {{"fileId", kx::Value(prefix + "N" + std::to_string(i))},
                  {"parentId", kx::Value(prefix + "NB" + std::to_string(i % kNotebooks))},
                  {"title", kx::Value("note " + std::to_string(i))},
                  {"domain", kx::Value(0)},
                  {"createTime", kx::Value(1700000000)},
                  {"modifyTime", kx::Value(1700000000)}};
      kx::Dictionary params = KXMetaPusher::pushParameters(s, {}, false, 0, "7");
      params.set("transmitId", kx::Value(FileMeta::idForFileMeta()));
      params.set("bodyString", kx::Value(bodies()[i]));
      notes.push_back(pushOptions(base, std::move(params)));
    }
    auto controller =
        std::make_shared<KXConcurrentController>(KXConcurrentController::kPushConcurrentLen);
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    for (auto& options : notebooks) {
      std::promise<void> done;
      auto operation = std::make_shared<KXNetworkOperation>();
      operation->setOption(std::move(options));
      controller->concurrentResumeWithOperator(
          operation, [&done](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) {
            done.set_value();
          });
      done.get_future().wait();
    }
    std::atomic<int> left{kNotes};
    std::promise<void> all;
    for (auto& options : notes) {
      auto operation = std::make_shared<KXNetworkOperation>();
      operation->setOption(std::move(options));
      controller->concurrentResumeWithOperator(
          operation, [&](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) {
            if (--left == 0) all.set_value();
          });
    }
    all.get_future().wait();
    state.SetIterationTime(seconds(start, Clock::now()));
    if (service.push->pushRequests() != kNotes + kNotebooks) state.SkipWithError("pushes missing");
  }
  state.counters["notes/s"] = benchmark::Counter(kNotes * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RequestsOnly)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(), {},
      [&] {
        reporter.printRatio("SyncPush/FirstPush", "BM_FirstPush/iterations:2/manual_time",
                            "BM_RequestsOnly/iterations:2/manual_time", "ms");
      },
      &reporter);
}
