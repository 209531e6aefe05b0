// Requests through KXNetworkOperation (and so the shared transport: one
// libcurl multi handle on its own thread, completions on the global queue)
// against the same requests made with plain libcurl easy handles on the
// calling thread. Both talk HTTPS to the test note service on 127.0.0.1.
//
// The baselines do the same work as the operation: the same URL (with the
// statistics query the operation appends), the same header fields, TLS over
// the same trusted authority, the cookie engine on, kept-alive connections
// reused from one request to the next (one per easy handle; the transport
// keeps its own in the multi handle's pool), the body collected in memory and,
// for the small answers, parsed by the same JSON parser into a dictionary.
//
//  - SmallJSON: one small JSON answer per iteration, one request at a time.
//    This measures latency: the operation's request crosses to the transport
//    thread and its completion to the global queue, where plain libcurl runs
//    on the calling thread.
//  - SmallJSONx1000Width7: 1,000 such requests per iteration, seven at a time
//    (an operation queue of width 7, as the pull controller runs them,
//    against seven threads with one easy handle each).
//  - Download100MB: one 100 MB body per iteration, written to a file.
//
// Each pair runs interleaved (random order, five repetitions by default);
// the program ends with one RATIO line per pair: the median time of the
// operation over the median time of its baseline.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/OperationQueue.h"

#include "CommonUtils/JSONKit/JSONKit.h"
#include "account/KXNetworkOperation.h"
#include "support/TestNoteService.h"

namespace {

constexpr std::size_t kDownloadSize = 100u * 1024 * 1024;

kxtest::TestNoteService& service() {
  static kxtest::TestNoteService* s = [] {
    auto* made = new kxtest::TestNoteService();
    if (!made->start(nullptr)) std::abort();
    made->attach(KXNetworkOperation::sharedTransport());
    // Warm the service's pattern cache so that no run pays for making it.
    CURL* easy = curl_easy_init();
    std::string entry = made->host() + "::127.0.0.1:" + std::to_string(made->port());
    curl_slist* connectTo = curl_slist_append(nullptr, entry.c_str());
    const std::string& pem = kxtest::TestNoteService::authorityPEM();
    curl_blob blob{const_cast<char*>(pem.data()), pem.size(), CURL_BLOB_COPY};
    std::string url = made->baseURL() + "/test/bytes?size=" + std::to_string(kDownloadSize);
    curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(connectTo);
    return made;
  }();
  return *s;
}

std::string scratchFile(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string("zn-bench-") + name)).string();
}

// The URL the operation sends for `url`: with the statistics query appended.
std::string sentURL(const std::string& url) {
  return url + (url.find('?') == std::string::npos ? "?" : "&") +
         KXNetworkOperation::commonStaticsString();
}

// One easy handle set up the way the transport sets up the operation's
// requests: the test mapping and authority, the operation's header fields,
// the cookie engine on, no signals.
CURL* plainHandle() {
  CURL* easy = curl_easy_init();
  static curl_slist* connectTo = nullptr;
  static curl_slist* headers = nullptr;
  if (!connectTo) {
    std::string entry = service().host() + "::127.0.0.1:" + std::to_string(service().port());
    connectTo = curl_slist_append(nullptr, entry.c_str());
    headers = curl_slist_append(
        nullptr, (std::string("User-Agent: ") + kKXNetworkOperationUserAgent).c_str());
    headers = curl_slist_append(headers, (std::string(kKXNetworkOperationHeader) + ";").c_str());
  }
  const std::string& pem = kxtest::TestNoteService::authorityPEM();
  curl_blob blob{const_cast<char*>(pem.data()), pem.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  return easy;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<kx::Bytes*>(user);
  body->insert(body->end(), reinterpret_cast<std::uint8_t*>(data),
               reinterpret_cast<std::uint8_t*>(data) + size * count);
  return size * count;
}

// The plain request's body handling: parsed as the operation parses it.
bool parsesAsDictionary(const kx::Bytes& body) {
  kx::Error error;
  kx::Value parsed = objectFromJSONDataWithParseOptions(body, JKParseOptionValidFlags, &error);
  return !error && parsed.isDictionary();
}

// Seconds per iteration of each repetition, by benchmark.
std::mutex gTimesMu;
std::map<std::string, std::vector<double>> gTimes;

class RepetitionTimer {
 public:
  explicit RepetitionTimer(const char* name) : name_(name) {}
  ~RepetitionTimer() {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    std::lock_guard<std::mutex> lock(gTimesMu);
    gTimes[name_].push_back(seconds / static_cast<double>(iterations_));
  }
  void count(std::int64_t iterations) { iterations_ = iterations; }

 private:
  using Clock = std::chrono::steady_clock;
  std::string name_;
  Clock::time_point start_ = Clock::now();
  std::int64_t iterations_ = 1;
};

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void BM_KXNetworkOperation_SmallJSON(benchmark::State& state) {
  std::string url = service().baseURL() + "/test/status?code=200";
  RepetitionTimer timer("SmallJSON/operation");
  for (auto _ : state) {
    auto op = std::make_shared<KXNetworkOperation>();
    op->setOption({{"url", url}, {"method", "GET"}, {"dataType", "application/json"}});
    std::promise<bool> done;
    op->asyncNetworkOperationWithCallback(
        [&done](const kx::Value& result, const kx::HTTPResponseHead&, const kx::Error& error) {
          done.set_value(!error && result.isDictionary());
        });
    if (!done.get_future().get()) state.SkipWithError("request failed");
  }
  timer.count(state.iterations());
  state.SetItemsProcessed(state.iterations());
}

// Same work as above: the same request on one kept-alive easy handle, the
// answer parsed into a dictionary.
void BM_PlainCurl_SmallJSON(benchmark::State& state) {
  CURL* easy = plainHandle();
  std::string url = sentURL(service().baseURL() + "/test/status?code=200");
  kx::Bytes body;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  RepetitionTimer timer("SmallJSON/plain");
  for (auto _ : state) {
    body.clear();
    if (curl_easy_perform(easy) != CURLE_OK || !parsesAsDictionary(body))
      state.SkipWithError("request failed");
  }
  timer.count(state.iterations());
  curl_easy_cleanup(easy);
  state.SetItemsProcessed(state.iterations());
}

constexpr int kBatch = 1000;
constexpr int kWidth = 7;

void BM_KXNetworkOperation_SmallJSONx1000Width7(benchmark::State& state) {
  std::string url = service().baseURL() + "/test/status?code=200";
  kx::OperationQueue queue("bench.width7", kWidth);
  RepetitionTimer timer("SmallJSONx1000Width7/operation");
  for (auto _ : state) {
    std::atomic<int> good{0};
    for (int i = 0; i < kBatch; ++i) {
      auto op = std::make_shared<KXNetworkOperation>();
      op->setOption({{"url", url}, {"method", "GET"}, {"dataType", "application/json"}});
      op->setCallback(
          [&good](const kx::Value& result, const kx::HTTPResponseHead&, const kx::Error& error) {
            if (!error && result.isDictionary()) ++good;
          });
      queue.addOperation(op);
    }
    queue.waitUntilAllOperationsAreFinished(600);
    if (good.load() != kBatch) state.SkipWithError("requests failed");
  }
  timer.count(state.iterations());
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// Same work as above: seven threads, each with one kept-alive easy handle,
// take the 1,000 requests between them and parse every answer.
void BM_PlainCurl_SmallJSONx1000Width7(benchmark::State& state) {
  std::string url = sentURL(service().baseURL() + "/test/status?code=200");
  std::vector<CURL*> handles;
  for (int i = 0; i < kWidth; ++i) handles.push_back(plainHandle());
  RepetitionTimer timer("SmallJSONx1000Width7/plain");
  for (auto _ : state) {
    std::atomic<int> next{0};
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWidth; ++t) {
      threads.emplace_back([&, easy = handles[t]] {
        kx::Bytes body;
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
        while (next.fetch_add(1) < kBatch) {
          body.clear();
          if (curl_easy_perform(easy) == CURLE_OK && parsesAsDictionary(body)) ++good;
        }
      });
    }
    for (auto& t : threads) t.join();
    if (good.load() != kBatch) state.SkipWithError("requests failed");
  }
  timer.count(state.iterations());
  for (CURL* easy : handles) curl_easy_cleanup(easy);
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_KXNetworkOperation_Download100MB(benchmark::State& state) {
  std::string url = service().baseURL() + "/test/bytes?size=" + std::to_string(kDownloadSize);
  std::string file = scratchFile("op.bin");
  RepetitionTimer timer("Download100MB/operation");
  for (auto _ : state) {
    auto op = std::make_shared<KXNetworkOperation>();
    op->setOption({{"url", url}, {"method", "GET"}, {"downloadFile", file}});
    std::promise<bool> done;
    op->asyncNetworkOperationWithCallback(
        [&done](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error& error) {
          done.set_value(!error);
        });
    if (!done.get_future().get() || std::filesystem::file_size(file) != kDownloadSize) {
      state.SkipWithError("download failed");
    }
  }
  timer.count(state.iterations());
  std::filesystem::remove(file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDownloadSize));
}

// Same work as above: the same request, the body written to a file by
// libcurl's default writer (fwrite).
void BM_PlainCurl_Download100MB(benchmark::State& state) {
  CURL* easy = plainHandle();
  std::string url =
      sentURL(service().baseURL() + "/test/bytes?size=" + std::to_string(kDownloadSize));
  std::string file = scratchFile("plain.bin");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  RepetitionTimer timer("Download100MB/plain");
  for (auto _ : state) {
    FILE* out = std::fopen(file.c_str(), "wb");
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, out);
    CURLcode rc = curl_easy_perform(easy);
    std::fclose(out);
    if (rc != CURLE_OK || std::filesystem::file_size(file) != kDownloadSize)
      state.SkipWithError("download failed");
  }
  timer.count(state.iterations());
  curl_easy_cleanup(easy);
  std::filesystem::remove(file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDownloadSize));
}

BENCHMARK(BM_KXNetworkOperation_SmallJSON)
    ->Iterations(1000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainCurl_SmallJSON)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KXNetworkOperation_SmallJSONx1000Width7)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCurl_SmallJSONx1000Width7)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KXNetworkOperation_Download100MB)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCurl_Download100MB)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Pairs alternate and repeat unless the command line says otherwise.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  bool given = false;
  for (int i = 1; i < argc; ++i)
    given = given || std::string(argv[i]).find("repetitions") != std::string::npos;
  if (!given) {
    args.push_back(repetitions.data());
    args.push_back(interleave.data());
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const char* pair : {"SmallJSON", "SmallJSONx1000Width7", "Download100MB"}) {
    const std::string name(pair);
    const std::vector<double>& op = gTimes[name + "/operation"];
    const std::vector<double>& plain = gTimes[name + "/plain"];
    if (op.empty() || plain.empty()) continue;
    const double a = median(op);
    const double b = median(plain);
    std::printf(
        "RATIO Network/%s %.2f (operation %.1f us, same-work plain libcurl %.1f us, "
        "medians of %zu and %zu runs)\n",
        pair, a / b, a * 1e6, b * 1e6, op.size(), plain.size());
  }
  return 0;
}
