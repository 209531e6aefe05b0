// The loopback front's cost. 100 listPageByParentId requests (a folder of
// two notes in a seeded store, answered by the web file handler) are sent
//  - InProcess: straight into the router (RNCachingURLProtocol), the
//    baseline: the same classification, handler and JSON as through the
//    front, without the proxy, TLS and HTTP;
//  - TLSRoundTrip: as small HTTPS requests over one kept-alive TLS
//    connection to a loopback server (the test note service), the second
//    baseline: one loopback TLS round trip and nothing else;
//  - ThroughFront: over TLS through the front (CONNECT, then keep-alive
//    requests in the tunnel), by libcurl.
// Each comes one after another (Sequential) and all 100 at once
// (Concurrent: 100 connections through the front, 8 threads in process).
// The front benchmarks report the added latency per request over the
// in-process time measured earlier in the same run, and the target: under
// 2x the in-process time plus one loopback TLS round trip.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/Data/StoreTestSupport.h"
#include "BenchRatio.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXWebFileRequestHandler.h"
#include "WebUI/KXLoopbackFront.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "platform/Semaphore.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"

namespace {

constexpr int kRequests = 100;
constexpr int kInProcessThreads = 8;
constexpr const char* kListURL =
    "https://note.zarvel.com/qrt/api/personal/file/NB?method=listPageByParentId";

// Mean seconds per request of the baselines, set as they run.
double gInProcessSequential = 0;
double gInProcessConcurrent = 0;
double gTLSRoundTrip = 0;

// The seeded store, the handler and the front, made once.
struct World {
  World() {
    env = std::make_shared<kxtest::TestStoreEnvironment>(root.path() + "/appdata");
    data = std::make_shared<KXDataContext>(env);
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
    data->performSyncWriteBlock([](KXManagedObjectContext& c) {
      auto put = [&](const char* entity, const kx::Dictionary& fields) {
        KXManagedObjectPtr object = c.insertNewObject(entity);
        if (object->isKindOfEntity("Note") || object->isKindOfEntity("Notebook")) {
          object->setValue("remoteRemoved", false);
          object->setValue("del", false);
        }
        object->setValuesForKeys(fields);
        return object;
      };
      put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
      put("Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Work"}, {"dir", true}});
      KXManagedObjectPtr note = put("Note", {{"fileId", "N1"},
                                             {"parentId", "NB"},
                                             {"title", "a.note"},
                                             {"modifyTime", 2},
                                             {"dir", false}});
      put("Note", {{"fileId", "N2"},
                   {"parentId", "NB"},
                   {"title", "b.note"},
                   {"modifyTime", 1},
                   {"dir", false}});
      note->addObject("resources", put("Resource", {{"fileId", "R1"}, {"meidaType", "image"}}));
      kx::Error error;
      if (!c.save(&error))
        std::fprintf(stderr, "the store was not saved: %s\n", error.localizedDescription().c_str());
    });
    util = std::make_unique<KXFileMetaWebUtil>(*client);
    registry.add(std::make_shared<KXWebFileRequestHandler>(*client, *util));
    RNCachingURLProtocol::Environment protocolEnv;
    protocolEnv.registry = &registry;
    protocolEnv.currentWebPath = [] { return std::string(); };
    RNCachingURLProtocol::setEnvironment(
        std::make_shared<const RNCachingURLProtocol::Environment>(protocolEnv));
    kx::Error error;
    front = KXLoopbackFront::start({}, &error);
    service.start(&error);
    service.route("", "/small",
                  [](const kxtest::RecordedRequest&) { return kxtest::Reply::json(200, "{}"); });
  }
  kxtest::TempAppRoot root;
  std::shared_ptr<kxtest::TestStoreEnvironment> env;
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;
  std::unique_ptr<KXFileMetaWebUtil> util;
  KXRequestDelegateRegistry registry;
  std::unique_ptr<KXLoopbackFront> front;
  kxtest::TestNoteService service;
};

World& world() {
  static World* w = new World();
  return *w;
}

class Sink : public RNURLProtocolClient {
 public:
  void didLoadData(const kx::Bytes& data) override { bytes += data.size(); }
  void didFinishLoading() override { done.signal(); }
  void didFailWithError(const kx::Error&) override {
    failed = true;
    done.signal();
  }
  std::size_t bytes = 0;
  bool failed = false;
  kx::Semaphore done;
};

// One load straight into the router; false when it failed or gave nothing.
bool loadInProcess(const kx::URLRequest& request) {
  auto sink = std::make_shared<Sink>();
  auto protocol = RNCachingURLProtocol::create(request, sink);
  protocol->startLoading();
  const bool ok = sink->done.wait(30) && !sink->failed && sink->bytes > 0;
  protocol->stopLoading();
  return ok;
}

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void report(benchmark::State& state, double total, double baseline) {
  const double perRequest = total / (static_cast<double>(state.iterations()) * kRequests);
  state.SetItemsProcessed(state.iterations() * kRequests);
  state.counters["us_per_request"] = perRequest * 1e6;
  if (baseline > 0) {
    state.counters["added_us"] = (perRequest - baseline) * 1e6;
    state.counters["target_us"] = (2 * baseline + gTLSRoundTrip) * 1e6;
  }
}

void BM_InProcessSequential(benchmark::State& state) {
  world();
  kx::URLRequest request(*kx::URL::parse(kListURL));
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
      if (!loadInProcess(request)) {
        state.SkipWithError("an in-process load failed");
        return;
      }
    }
    total += seconds(std::chrono::steady_clock::now() - start);
  }
  report(state, total, 0);
  gInProcessSequential = total / (static_cast<double>(state.iterations()) * kRequests);
}
BENCHMARK(BM_InProcessSequential)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_InProcessConcurrent(benchmark::State& state) {
  world();
  kx::URLRequest request(*kx::URL::parse(kListURL));
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kInProcessThreads; ++t) {
      threads.emplace_back([&] {
        while (next.fetch_add(1) < kRequests) {
          if (!loadInProcess(request)) failed = true;
        }
      });
    }
    for (std::thread& t : threads) t.join();
    total += seconds(std::chrono::steady_clock::now() - start);
    if (failed) {
      state.SkipWithError("an in-process load failed");
      return;
    }
  }
  report(state, total, 0);
  gInProcessConcurrent = total / (static_cast<double>(state.iterations()) * kRequests);
}
BENCHMARK(BM_InProcessConcurrent)->Unit(benchmark::kMicrosecond)->UseRealTime();

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// An easy handle that trusts `authorityPEM`.
CURL* easyHandle(const std::string& authorityPEM) {
  CURL* easy = curl_easy_init();
  curl_blob blob{const_cast<char*>(authorityPEM.data()), authorityPEM.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
  return easy;
}

// A handle that asks the front for the listing over TLS.
CURL* frontHandle() {
  KXLoopbackFront& front = *world().front;
  CURL* easy = easyHandle(front.authorityCertificatePEM());
  curl_easy_setopt(easy, CURLOPT_URL, kListURL);
  curl_easy_setopt(easy, CURLOPT_PROXY,
                   ("http://127.0.0.1:" + std::to_string(front.port())).c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, front.username().c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, front.secret().c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
  return easy;
}

bool succeeded(CURL* easy, CURLcode code) {
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  return code == CURLE_OK && status == 200;
}

void BM_TLSRoundTrip(benchmark::State& state) {
  kxtest::TestNoteService& service = world().service;
  CURL* easy = easyHandle(kxtest::TestNoteService::authorityPEM());
  curl_slist* connectTo = curl_slist_append(
      nullptr, ("note.zarvel.com::127.0.0.1:" + std::to_string(service.port())).c_str());
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
  curl_easy_setopt(easy, CURLOPT_URL, "https://note.zarvel.com/small");
  // The connection and the TLS session are made before timing.
  if (!succeeded(easy, curl_easy_perform(easy)))
    state.SkipWithError("the loopback server did not answer");
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
      if (!succeeded(easy, curl_easy_perform(easy))) {
        state.SkipWithError("a round trip failed");
        break;
      }
    }
    total += seconds(std::chrono::steady_clock::now() - start);
  }
  report(state, total, 0);
  gTLSRoundTrip = total / (static_cast<double>(state.iterations()) * kRequests);
  curl_slist_free_all(connectTo);
  curl_easy_cleanup(easy);
}
BENCHMARK(BM_TLSRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ThroughFrontSequential(benchmark::State& state) {
  CURL* easy = frontHandle();
  // CONNECT and the TLS handshake happen here, once; the timed requests go
  // over the kept-alive tunnel.
  if (!succeeded(easy, curl_easy_perform(easy))) state.SkipWithError("the front did not answer");
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
      if (!succeeded(easy, curl_easy_perform(easy))) {
        state.SkipWithError("a request through the front failed");
        break;
      }
    }
    total += seconds(std::chrono::steady_clock::now() - start);
  }
  report(state, total, gInProcessSequential);
  curl_easy_cleanup(easy);
}
BENCHMARK(BM_ThroughFrontSequential)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Runs every handle of `multi` to its end; false when one failed.
bool runAll(CURLM* multi, const std::vector<CURL*>& handles) {
  for (CURL* easy : handles) curl_multi_add_handle(multi, easy);
  int running = 0;
  do {
    if (curl_multi_perform(multi, &running) != CURLM_OK) return false;
    if (running) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  } while (running);
  bool ok = true;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE && !succeeded(message->easy_handle, message->data.result))
      ok = false;
  }
  for (CURL* easy : handles) curl_multi_remove_handle(multi, easy);
  return ok;
}

void BM_ThroughFrontConcurrent(benchmark::State& state) {
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(kRequests));
  std::vector<CURL*> handles;
  for (int i = 0; i < kRequests; ++i) handles.push_back(frontHandle());
  // The 100 tunnels are opened before timing and kept alive.
  if (!runAll(multi, handles)) state.SkipWithError("the front did not answer");
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!runAll(multi, handles)) {
      state.SkipWithError("a request through the front failed");
      break;
    }
    total += seconds(std::chrono::steady_clock::now() - start);
  }
  report(state, total, gInProcessConcurrent);
  for (CURL* easy : handles) curl_easy_cleanup(easy);
  curl_multi_cleanup(multi);
}
BENCHMARK(BM_ThroughFrontConcurrent)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  znbench::MedianReporter reporter;
  if (int status = znbench::RunWithMedians(argc, argv, reporter)) return status;
  reporter.printRatio("Front/Sequential", "BM_ThroughFrontSequential/real_time",
                      "BM_InProcessSequential/real_time", "us");
  reporter.printRatio("Front/Concurrent", "BM_ThroughFrontConcurrent/real_time",
                      "BM_InProcessConcurrent/real_time", "us");
  reporter.printRatio("Front/SequentialToTLSRoundTrip", "BM_ThroughFrontSequential/real_time",
                      "BM_TLSRoundTrip/real_time", "us");
  return 0;
}
