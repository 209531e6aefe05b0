// The local handlers' own cost.
//
// Search: 20,000 notes, indexed. "webSearch" for a selective word (in 20
// notes) and a broad word (in 10,000) through the router
// (RNCachingURLProtocol with the search handler registered, first page of
// 20), against the searcher called directly (KXDataClient::
// searchNotesWithKeyword) for the same word, measured earlier in the same
// run. The ratio is reported; the target is 1.3.
//
// Resource: the bytes of a 5 MB picture fetched through the loopback front
// by libcurl (GET //<service host>/src/<id>, kept-alive TLS tunnel), and
// straight through the router, against a plain read of the same file; the
// throughput ratios are reported.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../tests/Data/StoreTestSupport.h"
#include "BenchHome.h"
#include "BenchRatio.h"
#include "CommonUtils/KXDelayClock.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXWebResourceDataHandler.h"
#include "WebRequest/KXWebSearchRequestHandler.h"
#include "WebUI/KXLoopbackFront.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "platform/FileSystem.h"
#include "platform/Semaphore.h"

namespace {

constexpr int kNotes = 20000;
constexpr std::size_t kPictureBytes = 5 * 1024 * 1024;
constexpr const char* kSelective = "zircon";
constexpr const char* kBroad = "meadow";

std::map<std::string, double> gDirect;  // seconds per search, by word
double gPlainRead = 0;                  // bytes per second

struct World {
  World() {
    env = std::make_shared<kxtest::TestStoreEnvironment>(root + "/appdata");
    data = std::make_shared<KXDataContext>(env);
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
    picture = root + "/picture.png";
    kx::Array docs;
    data->performSyncWriteBlock([&](KXManagedObjectContext& c) {
      auto put = [&](const char* entity, const kx::Dictionary& fields) {
        KXManagedObjectPtr object = c.insertNewObject(entity);
        if (object->isKindOfEntity("FileMeta") && !object->isKindOfEntity("Root")) {
          for (const char* flag : {"remoteRemoved", "del", "stick", "encrypted"}) {
            object->setValue(flag, false);
          }
          object->setValue("dir", object->isKindOfEntity("Notebook"));
        }
        object->setValuesForKeys(fields);
        return object;
      };
      put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
      put("Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Work"}});
      for (int i = 0; i < kNotes; ++i) {
        const std::string id = "N" + std::to_string(i);
        std::string text = "note " + std::to_string(i) + " about things";
        if (i % 2 == 0) text += std::string(" ") + kBroad;
        if (i % 1000 == 7) text += std::string(" ") + kSelective;
        put("Note", {{"fileId", id},
                     {"parentId", "NB"},
                     {"title", id + ".note"},
                     {"summary", text},
                     {"modifyTime", 1000 + i}});
        docs.push_back(kx::Value::dict({{"docID", id}, {"docContent", text}}));
      }
      KXManagedObjectPtr entry = c.insertNewObject("ResourceEntry");
      entry->setValue("file", picture);
      KXManagedObjectPtr resource =
          put("Resource", {{"fileId", "R5"}, {"title", "picture.png"}, {"meidaType", "image"}});
      resource->setObject("entry", entry);
      kx::Error error;
      if (!c.save(&error))
        std::fprintf(stderr, "the store was not saved: %s\n", error.localizedDescription().c_str());
    });
    std::promise<void> indexed;
    client->indexing().indexNotes(docs, [&] { indexed.set_value(); });
    indexed.get_future().wait();
    {
      std::ofstream out(picture, std::ios::binary);
      std::string bytes(kPictureBytes, '\0');
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 % 251);
      out << bytes;
    }
    util = std::make_unique<KXFileMetaWebUtil>(*client);
    registry.add(std::make_shared<KXWebResourceDataHandler>(
        *client, KXDelayClock::systemClock(), [](const std::string&) { return false; }));
    search = std::make_shared<KXWebSearchRequestHandler>(*client, *util);
    registry.add(search);
    RNCachingURLProtocol::Environment protocolEnv;
    protocolEnv.registry = &registry;
    protocolEnv.currentWebPath = [] { return std::string(); };
    RNCachingURLProtocol::setEnvironment(
        std::make_shared<const RNCachingURLProtocol::Environment>(protocolEnv));
    kx::Error error;
    front = KXLoopbackFront::start({}, &error);
    if (!front) std::fprintf(stderr, "no front: %s\n", error.localizedDescription().c_str());
  }
  std::string root = znbench::MakeTempDir();
  std::shared_ptr<kxtest::TestStoreEnvironment> env;
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;
  std::unique_ptr<KXFileMetaWebUtil> util;
  std::string picture;
  std::shared_ptr<KXWebSearchRequestHandler> search;
  KXRequestDelegateRegistry registry;
  std::unique_ptr<KXLoopbackFront> front;
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

const char* wordOf(const benchmark::State& state) { return state.range(0) ? kBroad : kSelective; }

void BM_SearcherDirect(benchmark::State& state) {
  KXDataClient& client = *world().client;
  const std::string word = wordOf(state);
  std::size_t hits = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::promise<std::size_t> found;
    client.reads().searchNotesWithKeyword(word, [&](const KXResultInfo& info, const kx::Error&) {
      found.set_value(info.fetch.objects.size());
    });
    hits = found.get_future().get();
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  gDirect[word] = total / static_cast<double>(state.iterations());
  state.counters["hits"] = static_cast<double>(hits);
  state.SetLabel(word);
}
BENCHMARK(BM_SearcherDirect)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WebSearchThroughRouter(benchmark::State& state) {
  world();
  const std::string word = wordOf(state);
  kx::URLRequest request(*kx::URL::parse(
      "https://note.zarvel.com/qrt/api/personal/search?method=webSearch&b=0&l=20&kw=" + word));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto sink = std::make_shared<Sink>();
    auto protocol = RNCachingURLProtocol::create(request, sink);
    protocol->startLoading();
    if (!sink->done.wait(60) || sink->failed || sink->bytes == 0) {
      state.SkipWithError("the search through the router failed");
      return;
    }
    protocol->stopLoading();
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double perSearch = total / static_cast<double>(state.iterations());
  if (gDirect[word] > 0) state.counters["ratio_to_direct"] = perSearch / gDirect[word];
  state.counters["target_ratio"] = 1.3;
  state.SetLabel(word);
}
BENCHMARK(BM_WebSearchThroughRouter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The handler alone, without the router: where the router's share ends.
class Waiter : public KXDataRequestController {
 public:
  void localReceiveResponse(std::optional<kx::HTTPURLResponse>, std::optional<kx::Bytes> data,
                            kx::Error error) override {
    ok = !error && data && !data->empty();
    done.signal();
  }
  bool ok = false;
  kx::Semaphore done;
};

void BM_WebSearchHandlerAlone(benchmark::State& state) {
  KXWebSearchRequestHandler& handler = *world().search;
  const std::string word = wordOf(state);
  kx::URLRequest request(*kx::URL::parse(
      "https://note.zarvel.com/qrt/api/personal/search?method=webSearch&b=0&l=20&kw=" + word));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto waiter = std::make_shared<Waiter>();
    handler.handleRequest(request, waiter);
    if (!waiter->done.wait(60) || !waiter->ok) {
      state.SkipWithError("the search handler failed");
      return;
    }
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double perSearch = total / static_cast<double>(state.iterations());
  if (gDirect[word] > 0) state.counters["ratio_to_direct"] = perSearch / gDirect[word];
  state.SetLabel(word);
}
BENCHMARK(BM_WebSearchHandlerAlone)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainFileRead(benchmark::State& state) {
  const std::string path = world().picture;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    kx::Bytes bytes;
    kx::Error error;
    if (!kx::FileSystem::Default().readFile(path, &bytes, &error) ||
        bytes.size() != kPictureBytes) {
      state.SkipWithError("the picture could not be read");
      return;
    }
    benchmark::DoNotOptimize(bytes.data());
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  gPlainRead = static_cast<double>(kPictureBytes) * static_cast<double>(state.iterations()) / total;
  state.SetBytesProcessed(static_cast<std::int64_t>(kPictureBytes) * state.iterations());
}
BENCHMARK(BM_PlainFileRead)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ResourceThroughRouter(benchmark::State& state) {
  world();
  kx::URLRequest request(*kx::URL::parse("https://note.zarvel.com/src/R5"));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto sink = std::make_shared<Sink>();
    auto protocol = RNCachingURLProtocol::create(request, sink);
    protocol->startLoading();
    if (!sink->done.wait(60) || sink->failed || sink->bytes != kPictureBytes) {
      state.SkipWithError("the picture through the router failed");
      return;
    }
    protocol->stopLoading();
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double throughput =
      static_cast<double>(kPictureBytes) * static_cast<double>(state.iterations()) / total;
  if (gPlainRead > 0) state.counters["ratio_to_plain_read"] = gPlainRead / throughput;
  state.SetBytesProcessed(static_cast<std::int64_t>(kPictureBytes) * state.iterations());
}
BENCHMARK(BM_ResourceThroughRouter)->Unit(benchmark::kMillisecond)->UseRealTime();

std::size_t count(char*, std::size_t size, std::size_t n, void* total) {
  *static_cast<std::size_t*>(total) += size * n;
  return size * n;
}

void BM_ResourceThroughFront(benchmark::State& state) {
  KXLoopbackFront* front = world().front.get();
  if (!front) {
    state.SkipWithError("no front");
    return;
  }
  const std::string authority = front->authorityCertificatePEM();
  CURL* easy = curl_easy_init();
  curl_blob blob{const_cast<char*>(authority.data()), authority.size(), CURL_BLOB_COPY};
  std::size_t received = 0;
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, count);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
  curl_easy_setopt(easy, CURLOPT_URL, "https://note.zarvel.com/src/R5");
  curl_easy_setopt(easy, CURLOPT_PROXY,
                   ("http://127.0.0.1:" + std::to_string(front->port())).c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, front->username().c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, front->secret().c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
  auto fetch = [&] {
    received = 0;
    long status = 0;
    const CURLcode code = curl_easy_perform(easy);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return code == CURLE_OK && status == 200 && received == kPictureBytes;
  };
  // The tunnel and the TLS session are made before timing.
  if (!fetch()) state.SkipWithError("the front did not answer the picture");
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (!fetch()) {
      state.SkipWithError("a fetch through the front failed");
      break;
    }
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double throughput =
      static_cast<double>(kPictureBytes) * static_cast<double>(state.iterations()) / total;
  if (gPlainRead > 0) state.counters["ratio_to_plain_read"] = gPlainRead / throughput;
  state.SetBytesProcessed(static_cast<std::int64_t>(kPictureBytes) * state.iterations());
  curl_easy_cleanup(easy);
}
BENCHMARK(BM_ResourceThroughFront)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(), {},
      [&] {
        for (const char* word : {"0", "1"}) {
          const std::string name = std::string(word) == "0" ? "Selective" : "Broad";
          const std::string direct = std::string("BM_SearcherDirect/") + word + "/real_time";
          reporter.printRatio("Handlers/WebSearch/" + name,
                              std::string("BM_WebSearchThroughRouter/") + word + "/real_time",
                              direct, "ms");
          reporter.printRatio("Handlers/WebSearchHandler/" + name,
                              std::string("BM_WebSearchHandlerAlone/") + word + "/real_time",
                              direct, "ms");
        }
        // Times of one 5 MB read: their quotient is the plain read's
        // throughput over the handler's.
        reporter.printRatio("Handlers/ResourceThroughRouter", "BM_ResourceThroughRouter/real_time",
                            "BM_PlainFileRead/real_time", "ms");
        reporter.printRatio("Handlers/ResourceThroughFront", "BM_ResourceThroughFront/real_time",
                            "BM_PlainFileRead/real_time", "ms");
      },
      &reporter);
}
