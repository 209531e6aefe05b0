// Requests through KXNetworkOperation (and so the shared transport: one
// libcurl multi handle on its own thread, completions on the global queue)
// against the same requests made with plain libcurl easy handles on the
// calling thread. Both talk HTTPS to the test note service on 127.0.0.1.
//
//  - SmallJSON: one small JSON answer per iteration, one request at a time
//    (the operation also parses the JSON, as callers ask it to). This
//    measures latency: the operation's request crosses to the transport
//    thread and its completion to the global queue, where plain libcurl runs
//    on the calling thread, so on a loaded machine scheduling dominates.
//  - SmallJSONx1000Width7: 1,000 such requests per iteration, seven at a time
//    (an operation queue of width 7, as the pull controller runs them,
//    against seven threads with one easy handle each).
//  - Download100MB: one 100 MB body per iteration, written to a file.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/OperationQueue.h"

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

// One easy handle set up the way the transport sets up its requests.
CURL* plainHandle() {
  CURL* easy = curl_easy_init();
  static curl_slist* connectTo = nullptr;
  if (!connectTo) {
    std::string entry = service().host() + "::127.0.0.1:" + std::to_string(service().port());
    connectTo = curl_slist_append(nullptr, entry.c_str());
  }
  const std::string& pem = kxtest::TestNoteService::authorityPEM();
  curl_blob blob{const_cast<char*>(pem.data()), pem.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  return easy;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

void BM_KXNetworkOperation_SmallJSON(benchmark::State& state) {
  std::string url = service().baseURL() + "/test/status?code=200";
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
  state.SetItemsProcessed(state.iterations());
}

void BM_PlainCurl_SmallJSON(benchmark::State& state) {
  CURL* easy = plainHandle();
  std::string url = service().baseURL() + "/test/status?code=200&keyfrom=x";
  std::string body;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  for (auto _ : state) {
    body.clear();
    if (curl_easy_perform(easy) != CURLE_OK || body.empty()) state.SkipWithError("request failed");
  }
  curl_easy_cleanup(easy);
  state.SetItemsProcessed(state.iterations());
}

constexpr int kBatch = 1000;
constexpr int kWidth = 7;

void BM_KXNetworkOperation_SmallJSONx1000Width7(benchmark::State& state) {
  std::string url = service().baseURL() + "/test/status?code=200";
  kx::OperationQueue queue("bench.width7", kWidth);
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
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_PlainCurl_SmallJSONx1000Width7(benchmark::State& state) {
  std::string url = service().baseURL() + "/test/status?code=200&keyfrom=x";
  std::vector<CURL*> handles;
  for (int i = 0; i < kWidth; ++i) handles.push_back(plainHandle());
  for (auto _ : state) {
    std::atomic<int> next{0};
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWidth; ++t) {
      threads.emplace_back([&, easy = handles[t]] {
        std::string body;
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
        while (next.fetch_add(1) < kBatch) {
          body.clear();
          if (curl_easy_perform(easy) == CURLE_OK && !body.empty()) ++good;
        }
      });
    }
    for (auto& t : threads) t.join();
    if (good.load() != kBatch) state.SkipWithError("requests failed");
  }
  for (CURL* easy : handles) curl_easy_cleanup(easy);
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_KXNetworkOperation_Download100MB(benchmark::State& state) {
  std::string url = service().baseURL() + "/test/bytes?size=" + std::to_string(kDownloadSize);
  std::string file = scratchFile("op.bin");
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
  std::filesystem::remove(file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDownloadSize));
}

void BM_PlainCurl_Download100MB(benchmark::State& state) {
  CURL* easy = plainHandle();
  std::string url = service().baseURL() + "/test/bytes?size=" + std::to_string(kDownloadSize);
  std::string file = scratchFile("plain.bin");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  for (auto _ : state) {
    FILE* out = std::fopen(file.c_str(), "wb");
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, out);  // libcurl's default writer: fwrite
    CURLcode rc = curl_easy_perform(easy);
    std::fclose(out);
    if (rc != CURLE_OK || std::filesystem::file_size(file) != kDownloadSize)
      state.SkipWithError("download failed");
  }
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
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCurl_Download100MB)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
