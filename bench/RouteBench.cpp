// Request routing. Classify: 100,000 requests of a mixed page load (service
// calls, interface files, images, handler paths) through the classification
// with twelve registered handlers, no I/O. LocalFiles: 10,000 interface
// files of 20 KB served through the URL protocol into a memory sink.
// Forward: 1,000 small requests forwarded to a local HTTPS note service
// through the protocol and the shared-transport connection factory, against
// the same requests sent one by one with curl_easy_perform on one reused
// easy handle.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "WebRequest/Reachability.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "WebUI/RNCachingURL/RNTransportConnectionFactory.h"
#include "platform/Semaphore.h"
#include "support/TestNoteService.h"

namespace fs = std::filesystem;

namespace {

class PrefixHandler : public KXDataRequestDelegate {
 public:
  explicit PrefixHandler(std::string prefix) : prefix_(std::move(prefix)) {}
  bool acceptRequest(const kx::URLRequest& request) const override {
    return request.url().host() == "note.zarvel.com" && request.url().path().rfind(prefix_, 0) == 0;
  }
  void handleRequest(const kx::URLRequest&, std::shared_ptr<KXDataRequestController>) override {}

 private:
  std::string prefix_;
};

KXRequestDelegateRegistry& twelveHandlers() {
  static KXRequestDelegateRegistry* registry = [] {
    auto* r = new KXRequestDelegateRegistry();
    for (const char* prefix :
         {"/yws/user", "/yws/file", "/yws/sync", "/yws/res", "/yws/tag", "/yws/push", "/yws/search",
          "/yws/preview", "/yws/bg", "/yws/local", "/yws/editor", "/yws/pen"}) {
      r->add(std::make_shared<PrefixHandler>(prefix));
    }
    return r;
  }();
  return *registry;
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

class Reachable : public KXReachabilityFlagsProvider {
 public:
  std::optional<std::uint32_t> flagsForHost(const std::string&) override {
    return Reachability::kReachabilityFlagReachable;
  }
};

void BM_Classify(benchmark::State& state) {
  std::vector<kx::URLRequest> requests;
  for (const char* url :
       {"https://note.zarvel.com/qrt/api/personal/sync?method=push",
        "https://note.zarvel.com/web/app/main.js", "http://127.0.0.1/index.html",
        "https://note.zarvel.com/yws/file/list?path=/", "https://img.qiansou.com/a.png",
        "https://note.zarvel.com/qrt/mapi/user/info", "https://cdn.example.org/x.js",
        "https://note.zarvel.com/yws/pen/books"}) {
    requests.emplace_back(*kx::URL::parse(url));
  }
  KXRequestDelegateRegistry& registry = twelveHandlers();
  constexpr int kPerIteration = 100000;
  for (auto _ : state) {
    int sum = 0;
    for (int i = 0; i < kPerIteration; ++i) {
      sum += RNCachingURLProtocol::requestType(requests[i % requests.size()], registry);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPerIteration);
}
BENCHMARK(BM_Classify)->Unit(benchmark::kMillisecond);

void BM_LocalFiles(benchmark::State& state) {
  constexpr int kFiles = 10000;
  fs::path bundle = fs::temp_directory_path() / ("zn-route-bench-" + std::to_string(::getpid()));
  std::string contents(20 * 1024, 'x');
  std::vector<kx::URLRequest> requests;
  for (int i = 0; i < kFiles; ++i) {
    fs::path file = bundle / "web" / std::to_string(i % 100) / (std::to_string(i) + ".css");
    fs::create_directories(file.parent_path());
    std::ofstream(file) << contents;
    requests.emplace_back(*kx::URL::parse("https://note.zarvel.com/web/" + std::to_string(i % 100) +
                                          "/" + std::to_string(i) + ".css"));
  }
  RNCachingURLProtocol::Environment env;
  env.registry = &twelveHandlers();
  env.bundleRoot = bundle.string();
  env.currentWebPath = [] { return std::string(); };
  auto previous = RNCachingURLProtocol::setEnvironment(
      std::make_shared<const RNCachingURLProtocol::Environment>(env));
  std::size_t bytes = 0;
  for (auto _ : state) {
    for (const kx::URLRequest& request : requests) {
      auto sink = std::make_shared<Sink>();
      auto protocol = RNCachingURLProtocol::create(request, sink);
      protocol->startLoading();
      if (sink->failed) state.SkipWithError("a file failed");
      bytes += sink->bytes;
    }
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  RNCachingURLProtocol::setEnvironment(previous);
  fs::remove_all(bundle);
}
BENCHMARK(BM_LocalFiles)->Unit(benchmark::kMillisecond);

constexpr int kForwarded = 1000;

kxtest::TestNoteService& service() {
  static kxtest::TestNoteService* s = [] {
    auto* created = new kxtest::TestNoteService();
    kx::Error error;
    created->start(&error);
    created->route("", "/qrt/api/personal/small", [](const kxtest::RecordedRequest&) {
      return kxtest::Reply::json(200, "{\"ok\":true,\"n\":1}");
    });
    return created;
  }();
  return *s;
}

void BM_ForwardThroughProtocol(benchmark::State& state) {
  kx::HTTPTransport transport;
  service().attach(transport);
  Reachability::setFlagsProvider(std::make_shared<Reachable>());
  RNCachingURLProtocol::Environment env;
  env.registry = &twelveHandlers();
  env.connections = std::make_shared<RNTransportConnectionFactory>(&transport);
  env.commonStatics = [] { return std::string("keyfrom=note.1.mac&os=OS_X"); };
  auto previous = RNCachingURLProtocol::setEnvironment(
      std::make_shared<const RNCachingURLProtocol::Environment>(env));
  kx::URLRequest request(*kx::URL::parse("https://note.zarvel.com/qrt/api/personal/small?a=1"));
  for (auto _ : state) {
    for (int i = 0; i < kForwarded; ++i) {
      auto sink = std::make_shared<Sink>();
      auto protocol = RNCachingURLProtocol::create(request, sink);
      protocol->startLoading();
      if (!sink->done.wait(30) || sink->failed) {
        state.SkipWithError("a forwarded request failed");
        break;
      }
      protocol->stopLoading();
    }
  }
  state.SetItemsProcessed(state.iterations() * kForwarded);
  RNCachingURLProtocol::setEnvironment(previous);
  Reachability::setFlagsProvider(nullptr);
}
BENCHMARK(BM_ForwardThroughProtocol)->Unit(benchmark::kMillisecond)->UseRealTime();

// The transport alone, one request at a time, for telling the router's
// share of the forwarding cost from the transport's.
void BM_ForwardTransportOnly(benchmark::State& state) {
  kx::HTTPTransport transport;
  service().attach(transport);
  kx::HTTPRequest request;
  request.url = "https://note.zarvel.com/qrt/api/personal/small?a=1&keyfrom=note.1.mac&os=OS_X";
  request.headers = {{"KX-NoNeedSync", ""}};
  for (auto _ : state) {
    for (int i = 0; i < kForwarded; ++i) {
      kx::Error error;
      transport.perform(request, &error);
      if (error) {
        state.SkipWithError("the transport failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kForwarded);
}
BENCHMARK(BM_ForwardTransportOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

void BM_ForwardPlainCurl(benchmark::State& state) {
  kxtest::TestNoteService& s = service();
  CURL* easy = curl_easy_init();
  const std::string& pem = kxtest::TestNoteService::authorityPEM();
  curl_blob blob{const_cast<char*>(pem.data()), pem.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_slist* connectTo = curl_slist_append(
      nullptr, ("note.zarvel.com::127.0.0.1:" + std::to_string(s.port())).c_str());
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
  curl_slist* headers = curl_slist_append(nullptr, "KX-NoNeedSync;");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_URL,
                   "https://note.zarvel.com/qrt/api/personal/small?a=1&keyfrom=note.1.mac&os=OS_X");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  for (auto _ : state) {
    for (int i = 0; i < kForwarded; ++i) {
      if (curl_easy_perform(easy) != CURLE_OK) {
        state.SkipWithError("curl failed");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * kForwarded);
  curl_slist_free_all(headers);
  curl_slist_free_all(connectTo);
  curl_easy_cleanup(easy);
}
BENCHMARK(BM_ForwardPlainCurl)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// Classify and LocalFiles have no baseline; they print no ratio.
int main(int argc, char** argv) {
  znbench::MedianReporter reporter;
  if (int status = znbench::RunWithMedians(argc, argv, reporter)) return status;
  reporter.printRatio("Route/Forward", "BM_ForwardThroughProtocol/real_time",
                      "BM_ForwardPlainCurl/real_time", "ms");
  reporter.printRatio("Route/ForwardTransportOnly", "BM_ForwardTransportOnly/real_time",
                      "BM_ForwardPlainCurl/real_time", "ms");
  return 0;
}
