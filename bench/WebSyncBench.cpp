// Saving from the web interface, against doing the same work directly.
//
//  - DirectSave: the editor's save of a 20 KB note that holds 5 resources
//    (KXDataClient::saveNoteOrMd with the resource lists, then the store's
//    save), the baseline;
//  - TLSRoundTrip: one small HTTPS request over a kept-alive loopback TLS
//    connection (the test note service), the second baseline;
//  - SaveThroughFront: the same note saved by the page's "push" over TLS
//    through the loopback front, the router and the web sync handler, which
//    answers once the store is saved and the content file written. Target:
//    within 1.5x of DirectSave plus one TLS round trip.
//  - DiskWrite: 100 MB written to a file in 32 KiB pieces, the baseline of
//  - UploadThroughFront: 100 MB PUT to an upload transfer through the front.
//    Target: at least half the disk's throughput.
//  - UploadToHandler: the same 100 MB handed to the handler as a stream,
//    without the front: what the handler itself costs.
//
// Each save changes the note's text, so no save is refused as unchanged.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../tests/Data/StoreTestSupport.h"
#include "BenchRatio.h"
#include "CommonUtils/KXDelayClock.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXStoreAwait.h"
#include "WebRequest/KXWebSyncRequestHandler.h"
#include "WebUI/KXLoopbackFront.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"

namespace {

constexpr int kResources = 5;
constexpr std::size_t kNoteBytes = 20 * 1024;
constexpr std::size_t kUploadBytes = 100u * 1000 * 1000;
constexpr const char* kSyncURL = "https://note.zarvel.com/qrt/api/personal/sync";

double gDirectSave = 0;
double gTLSRoundTrip = 0;
double gDiskBytesPerSecond = 0;

std::string resourceId(int i) { return "RESBENCH" + std::to_string(i); }

// 20 KB of note text naming the 5 resources, different for each `n`.
std::string noteText(long n) {
  std::string text = "<p>save " + std::to_string(n) + "</p>";
  for (int i = 0; i < kResources; ++i) text += "<img src=\"" + resourceId(i) + "\">";
  while (text.size() < kNoteBytes) text += "<p>lorem ipsum dolor sit amet</p>";
  return text;
}

struct World {
  World() {
    env = std::make_shared<kxtest::TestStoreEnvironment>(root.path() + "/appdata");
    data = std::make_shared<KXDataContext>(env);
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
    data->performSyncWriteBlock([&](KXManagedObjectContext& c) {
      auto put = [&](const char* entity, const kx::Dictionary& fields) {
        KXManagedObjectPtr object = c.insertNewObject(entity);
        object->setValue("remoteRemoved", false);
        object->setValue("del", false);
        object->setValuesForKeys(fields);
        return object;
      };
      put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
      put("Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Work"}, {"dir", true}});
      for (const char* id : {"DIRECT", "WEB"}) {
        KXManagedObjectPtr note = put("Note", {{"fileId", id},
                                               {"parentId", "NB"},
                                               {"title", std::string(id) + ".note"},
                                               {"dir", false},
                                               {"domain", 0}});
        for (int i = 0; i < kResources; ++i) {
          note->addObject("resources",
                          put("Resource", {{"fileId", resourceId(i) + id}, {"size", 1000}}));
        }
      }
      kx::Error error;
      if (!c.save(&error)) std::fprintf(stderr, "store not saved\n");
    });
    for (const char* id : {"DIRECT", "WEB"}) {
      kx::ignoreError(KXFileManager::defaultManauger().writeContentFileSync(noteText(-1), id));
    }
    metaUtil = std::make_unique<KXFileMetaUtil>(*client);
    noteUtil = std::make_unique<KXNoteUtil>(client.get(), KXDelayClock::systemClock(),
                                            [] { return false; });
    handler = std::make_shared<KXWebSyncRequestHandler>(*client, *metaUtil, *noteUtil, [] {});
    registry.add(handler);
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
  std::unique_ptr<KXFileMetaUtil> metaUtil;
  std::unique_ptr<KXNoteUtil> noteUtil;
  std::shared_ptr<KXWebSyncRequestHandler> handler;
  KXRequestDelegateRegistry registry;
  std::unique_ptr<KXLoopbackFront> front;
  kxtest::TestNoteService service;
};

World& world() {
  static World* w = new World();
  return *w;
}

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

CURL* easyHandle(const std::string& authorityPEM, std::string* body) {
  CURL* easy = curl_easy_init();
  curl_blob blob{const_cast<char*>(authorityPEM.data()), authorityPEM.size(), CURL_BLOB_COPY};
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
  return easy;
}

CURL* frontHandle(std::string* body) {
  KXLoopbackFront& front = *world().front;
  CURL* easy = easyHandle(front.authorityCertificatePEM(), body);
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

// The transfers of the upload benchmarks are never bound: their
// temporaries go here.
void removeTemporaries() {
  const std::string temp = KXFileManager::defaultManauger().URLForTempFile();
  std::error_code ec;
  for (const auto& item :
       std::filesystem::directory_iterator(std::filesystem::path(temp).parent_path(), ec)) {
    if (item.path().extension() == ".tmp") std::filesystem::remove(item.path(), ec);
  }
}

void BM_DirectSave(benchmark::State& state) {
  KXDataClient& client = *world().client;
  long n = 0;
  double total = 0;
  for (auto _ : state) {
    const std::string text = noteText(n++);
    const auto start = std::chrono::steady_clock::now();
    kx::Array kept;
    for (int i = 0; i < kResources; ++i) {
      kept.push_back(kx::Value::dict({{"id", resourceId(i) + "DIRECT"}, {"size", 1000}}));
    }
    kx::Dictionary note{{"fileId", "DIRECT"},
                        {"md5", NSStringDupTitle::MD5String(text)},
                        {"size", static_cast<long long>(text.size())},
                        {"text", NSStringDupTitle::plainText(text)},
                        {"contentChanged", true}};
    kx::Dictionary params{
        {"note", kx::Value(note)},
        {"resource", kx::Value(kx::Array{kx::Value(kx::Array()), kx::Value(std::move(kept))})}};
    KXStoreOutcome saved = KXStoreAwait::call(
        [&](KXDataCallback done) { client.editorSave().saveNoteOrMd(params, std::move(done)); });
    const bool written = KXFileManager::defaultManauger().writeContentFileSync(text, "DIRECT");
    KXStoreOutcome committed = KXStoreAwait::call(
        [&](KXDataCallback done) { client.state().performSave(std::move(done)); });
    total += seconds(std::chrono::steady_clock::now() - start);
    if (saved.error || committed.error || !written) {
      state.SkipWithError("a direct save failed");
      return;
    }
  }
  gDirectSave = total / static_cast<double>(state.iterations());
  state.counters["us_per_save"] = gDirectSave * 1e6;
}
BENCHMARK(BM_DirectSave)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

void BM_TLSRoundTrip(benchmark::State& state) {
  kxtest::TestNoteService& service = world().service;
  std::string body;
  CURL* easy = easyHandle(kxtest::TestNoteService::authorityPEM(), &body);
  curl_slist* connectTo = curl_slist_append(
      nullptr, ("note.zarvel.com::127.0.0.1:" + std::to_string(service.port())).c_str());
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
  curl_easy_setopt(easy, CURLOPT_URL, "https://note.zarvel.com/small");
  if (!succeeded(easy, curl_easy_perform(easy)))
    state.SkipWithError("the loopback server did not answer");
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!succeeded(easy, curl_easy_perform(easy))) {
      state.SkipWithError("a round trip failed");
      break;
    }
    total += seconds(std::chrono::steady_clock::now() - start);
  }
  gTLSRoundTrip = total / static_cast<double>(state.iterations());
  state.counters["us_per_request"] = gTLSRoundTrip * 1e6;
  curl_slist_free_all(connectTo);
  curl_easy_cleanup(easy);
}
BENCHMARK(BM_TLSRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

void BM_SaveThroughFront(benchmark::State& state) {
  std::string answer;
  CURL* easy = frontHandle(&answer);
  curl_easy_setopt(easy, CURLOPT_URL, kSyncURL);
  long n = 0;
  double total = 0;
  for (auto _ : state) {
    char* escaped = curl_easy_escape(easy, noteText(n++).c_str(), 0);
    const std::string form =
        "method=push&domain=0&fileId=WEB&bodyString=" + std::string(escaped ? escaped : "");
    curl_free(escaped);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, form.c_str());
    answer.clear();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = succeeded(easy, curl_easy_perform(easy));
    total += seconds(std::chrono::steady_clock::now() - start);
    if (!ok) {
      state.SkipWithError("a save through the front failed");
      break;
    }
  }
  const double perSave = total / static_cast<double>(state.iterations());
  state.counters["us_per_save"] = perSave * 1e6;
  if (gDirectSave > 0) {
    state.counters["target_us"] = (1.5 * gDirectSave + gTLSRoundTrip) * 1e6;
    state.counters["ratio_to_direct_plus_rtt"] = perSave / (gDirectSave + gTLSRoundTrip);
  }
  curl_easy_cleanup(easy);
}
BENCHMARK(BM_SaveThroughFront)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

void BM_DiskWrite(benchmark::State& state) {
  const std::string path = world().root.path() + "/disk.bin";
  std::vector<char> piece(32768, 'd');
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    for (std::size_t done = 0; fd >= 0 && done < kUploadBytes; done += piece.size()) {
      if (::write(fd, piece.data(), piece.size()) < 0) break;
    }
    if (fd >= 0) ::close(fd);
    total += seconds(std::chrono::steady_clock::now() - start);
  }
  ::unlink(path.c_str());
  gDiskBytesPerSecond = static_cast<double>(kUploadBytes) * state.iterations() / total;
  state.SetBytesProcessed(static_cast<std::int64_t>(kUploadBytes) * state.iterations());
}
BENCHMARK(BM_DiskWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_UploadThroughFront(benchmark::State& state) {
  std::string answer;
  CURL* easy = frontHandle(&answer);
  const std::string payload(kUploadBytes, 'u');
  double total = 0;
  for (auto _ : state) {
    // A new transfer for each upload, opened before timing.
    curl_easy_setopt(easy, CURLOPT_URL, (std::string(kSyncURL) + "/upload").c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    answer.clear();
    if (!succeeded(easy, curl_easy_perform(easy))) {
      state.SkipWithError("no transfer opened");
      break;
    }
    const std::size_t at = answer.find("\"transmitId\"");
    const std::size_t open = answer.find('"', answer.find(':', at) + 1);
    const std::string id = answer.substr(open + 1, answer.find('"', open + 1) - open - 1);
    curl_easy_setopt(easy, CURLOPT_URL, (std::string(kSyncURL) + "/upload/" + id).c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, payload.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PUT");
    const auto start = std::chrono::steady_clock::now();
    const bool ok = succeeded(easy, curl_easy_perform(easy));
    total += seconds(std::chrono::steady_clock::now() - start);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
    if (!ok) {
      state.SkipWithError("an upload through the front failed");
      break;
    }
  }
  const double bytesPerSecond = static_cast<double>(kUploadBytes) * state.iterations() / total;
  state.SetBytesProcessed(static_cast<std::int64_t>(kUploadBytes) * state.iterations());
  if (gDiskBytesPerSecond > 0)
    state.counters["ratio_to_disk"] = bytesPerSecond / gDiskBytesPerSecond;
  curl_easy_cleanup(easy);
  removeTemporaries();
}
BENCHMARK(BM_UploadThroughFront)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Answers of the in-process uploads.
class Answer : public KXDataRequestController {
 public:
  void localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                            std::optional<kx::Bytes> data, kx::Error error) override {
    status = response ? response->statusCode() : 0;
    body = data.value_or(kx::Bytes());
    (void)error;
  }
  int status = 0;
  kx::Bytes body;
};

// 100 MB of one byte, in the pieces the reader asks for.
class Filler : public kx::InputStream {
 public:
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength, kx::Error*) override {
    const std::size_t n = std::min(maxLength, kUploadBytes - sent_);
    std::memset(buffer, 'u', n);
    sent_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }
  std::int64_t expectedLength() const override { return static_cast<std::int64_t>(kUploadBytes); }

 private:
  std::size_t sent_ = 0;
};

void BM_UploadToHandler(benchmark::State& state) {
  KXWebSyncRequestHandler& handler = *world().handler;
  double total = 0;
  for (auto _ : state) {
    auto open = std::make_shared<Answer>();
    handler.handleRequest(kx::URLRequest(*kx::URL::parse(std::string(kSyncURL) + "/upload")), open);
    const std::string text(open->body.begin(), open->body.end());
    const std::size_t at = text.find('"', text.find(':', text.find("\"transmitId\"")) + 1);
    const std::string id = text.substr(at + 1, text.find('"', at + 1) - at - 1);
    kx::URLRequest put(*kx::URL::parse(std::string(kSyncURL) + "/upload/" + id));
    put.setHTTPMethod("PUT");
    put.setHTTPBodyStream(std::make_shared<Filler>());
    auto answer = std::make_shared<Answer>();
    const auto start = std::chrono::steady_clock::now();
    handler.handleRequest(put, answer);
    total += seconds(std::chrono::steady_clock::now() - start);
    if (answer->status != 200) {
      state.SkipWithError("an upload to the handler failed");
      break;
    }
  }
  const double bytesPerSecond = static_cast<double>(kUploadBytes) * state.iterations() / total;
  state.SetBytesProcessed(static_cast<std::int64_t>(kUploadBytes) * state.iterations());
  if (gDiskBytesPerSecond > 0)
    state.counters["ratio_to_disk"] = bytesPerSecond / gDiskBytesPerSecond;
  removeTemporaries();
}
BENCHMARK(BM_UploadToHandler)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  znbench::MedianReporter reporter;
  if (int status = znbench::RunWithMedians(argc, argv, reporter)) return status;
  reporter.printRatio("WebSync/Save", "BM_SaveThroughFront/iterations:200/real_time",
                      "BM_DirectSave/iterations:200/real_time", "us");
  reporter.printRatio("WebSync/SaveToTLSRoundTrip", "BM_SaveThroughFront/iterations:200/real_time",
                      "BM_TLSRoundTrip/iterations:200/real_time", "us");
  // Times of one 100 MB write: their quotient is the disk's throughput over
  // the upload's.
  reporter.printRatio("WebSync/Upload", "BM_UploadThroughFront/iterations:5/real_time",
                      "BM_DiskWrite/iterations:5/real_time", "ms");
  reporter.printRatio("WebSync/UploadToHandler", "BM_UploadToHandler/iterations:5/real_time",
                      "BM_DiskWrite/iterations:5/real_time", "ms");
  return 0;
}
