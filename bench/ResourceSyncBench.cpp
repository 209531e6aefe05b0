// A 100 MB attachment through the sync engine against plain libcurl, both
// talking to the local test note service:
//  - PusherUpload: KXResourcePusher from a stored resource: the upload
//    session (opening, the body from the stored file, the check) and the
//    "putResource" registration, through a push controller.
//  - CurlUpload: the reference, the same opening, body (read from the same
//    file), check and registration requests made with plain libcurl easy
//    handles one after the other.
//  - PullerDownload: KXResourcePuller fetching the resource's metadata and
//    bytes into a temporary file, through a pull controller.
//  - CurlDownload: the reference, the same two requests with libcurl, the
//    bytes written to a file.
// Counter MB/s; the targets are the engine's throughput at least 0.9 of
// plain libcurl's, for each direction.
//  - PullNotes/3 and PullNotes/0: the first full pull of 1,000 notes into
//    an empty store, each with 3 images of 20 KB (metadata batch, three
//    downloads and the resource writes per note) and, as the reference, the
//    same notes without images. Report the ratio of the two. The service keeps the bytes in
// memory; both sides run the same requests in the same run.
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_ResourceSync
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BenchHome.h"
#include "BenchRatio.h"
#include "CommonUtils/KXHeadlessUIPort.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "account/KXNetworkOperation.h"
#include "support/TestNoteService.h"
#include "support/TestPushEndpoints.h"
#include "support/TestResourceEndpoints.h"
#include "support/TestSyncEndpoints.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/pull/KXFilePuller.h"
#include "sync/pull/KXObjectPuller.h"
#include "sync/pull/KXResourcePuller.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncPullProxy.h"
#include "sync/pull/KXSyncStorePullApplier.h"
#include "sync/push/KXResourcePusher.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kSize = 100u * 1024 * 1024;

double seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

const std::string& payload() {
  static std::string* bytes = [] {
    auto* b = new std::string(kSize, '\0');
    for (std::size_t i = 0; i < kSize; ++i) (*b)[i] = static_cast<char>((i * 131 + 7) % 251);
    return b;
  }();
  return *bytes;
}

struct Service {
  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestSyncEndpoints> sync;
  std::unique_ptr<kxtest::TestPushEndpoints> push;
  std::unique_ptr<kxtest::TestResourceEndpoints> resources;
  Service() {
    if (!service.start(nullptr)) std::abort();
    service.attach(KXNetworkOperation::sharedTransport());
    sync = std::make_unique<kxtest::TestSyncEndpoints>(service);
    push = std::make_unique<kxtest::TestPushEndpoints>(service, *sync);
    resources = std::make_unique<kxtest::TestResourceEndpoints>(service, *sync, push.get());
  }
  ~Service() {
    push.reset();
    service.stop();
  }
};

// A store whose note "N" holds the resource "big" changed here.
struct Store {
  std::shared_ptr<KXDataContext> data;
  std::unique_ptr<KXDataClient> client;
  std::string file;
  Store() {
    auto environment = std::make_shared<znbench::BenchEnvironment>(znbench::MakeTempDir());
    data = std::make_shared<KXDataContext>(environment);
    client = std::make_unique<KXDataClient>(data);
    client->openStore();
    data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
      client->writes().addManagedObjectsSync(
          "Note", &context,
          kx::Array{kx::Value::dict({{"fileId", kx::Value("N")},
                                     {"parentId", kx::Value("ROOT")},
                                     {"title", kx::Value("n")},
                                     {"localModified", kx::Value(1)}})},
          nullptr);
      kx::ignoreError(context.save(nullptr));
    });
    kx::Dictionary info{
        {"resourceID", kx::Value("big")},
        {"title", kx::Value("big.pdf")},
        {"mediaType", kx::Value("attachment")},
        {"dataHash", kx::Value(KXFileManager::dataHashForResourceData(kx::ByteView(payload())))},
        {"mimeType", kx::Value("application/pdf")},
        {"noteId", kx::Value("N")},
        {"modifiedInLocal", kx::Value(true)},
        {"data", kx::Value(kx::Bytes(payload().begin(), payload().end()))}};
    std::promise<void> written;
    client->editorSave().createOrUpdateResource(
        info, [&](const KXResultInfo&, const kx::Error&) { written.set_value(); });
    written.get_future().wait();
    data->performSyncWriteBlock([&](KXManagedObjectContext& context) {
      kx::ignoreError(context.save(nullptr));
      if (auto r = client->readsIn(&context).objectForResourceID("big")) file = r->entry()->file();
    });
    if (file.empty()) std::abort();
  }
};

// Plain libcurl against the test service.
struct Curl {
  explicit Curl(const kxtest::TestNoteService& service) {
    connectTo_ = curl_slist_append(
        nullptr, (service.host() + "::127.0.0.1:" + std::to_string(service.port())).c_str());
    easy_ = curl_easy_init();
  }
  ~Curl() {
    curl_easy_cleanup(easy_);
    curl_slist_free_all(connectTo_);
  }
  // One request; the answer's body and headers are collected.
  long perform(const std::string& url, const char* method, curl_slist* headers, FILE* upload,
               curl_off_t uploadSize, FILE* download, std::string* body = nullptr) {
    curl_easy_reset(easy_);
    const std::string& pem = kxtest::TestNoteService::authorityPEM();
    curl_blob blob{const_cast<char*>(pem.data()), pem.size(), CURL_BLOB_COPY};
    curl_easy_setopt(easy_, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(easy_, CURLOPT_CONNECT_TO, connectTo_);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method);
    if (headers) curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers);
    if (upload) {
      curl_easy_setopt(easy_, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(easy_, CURLOPT_READDATA, upload);
      curl_easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE, uploadSize);
    } else if (std::string(method) == "POST") {
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE, 0L);
      curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, "");
    }
    if (download) {
      curl_easy_setopt(easy_, CURLOPT_WRITEDATA, download);
    } else {
      curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Curl::collect);
      curl_easy_setopt(easy_, CURLOPT_WRITEDATA, body ? body : &sink_);
    }
    long status = 0;
    if (curl_easy_perform(easy_) == CURLE_OK) {
      curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    }
    return status;
  }
  static size_t collect(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
  }

 private:
  CURL* easy_ = nullptr;
  curl_slist* connectTo_ = nullptr;
  std::string sink_;
};

void BM_PusherUpload(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Service service;
    Store store;
    KXConcurrentController controller(KXConcurrentController::kPushConcurrentLen);
    KXSyncPushServices services;
    services.client = store.client.get();
    services.serviceBaseURL = service.service.baseURL();
    services.controller = &controller;
    services.ui = std::make_shared<KXHeadlessUIPort>();
    auto pusher = KXResourcePusher::resourcePusherWithResource("big", services);
    std::promise<bool> done;
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    pusher->pushWithCallback([&](const kx::Value& answer, const kx::Error& error) {
      done.set_value(!error && answer.isDictionary());
    });
    if (!done.get_future().get()) state.SkipWithError("the push failed");
    state.SetIterationTime(seconds(start, Clock::now()));
    if (service.resources->resource("big").bytes.size() != kSize) state.SkipWithError("short");
  }
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(kSize) / 1e6 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PusherUpload)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_CurlUpload(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Service service;
    Store store;
    Curl curl(service.service);
    const std::string base = service.service.baseURL();
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    curl_slist* open = curl_slist_append(nullptr, ("File-Size: " + std::to_string(kSize)).c_str());
    std::string answer;
    curl.perform(base + kxtest::TestPushEndpoints::kUploadPath, "POST", open, nullptr, 0, nullptr,
                 &answer);
    curl_slist_free_all(open);
    const std::size_t at = answer.find("\"transmitId\":\"");
    const std::string id = at == std::string::npos
                               ? std::string()
                               : answer.substr(at + 14, answer.find('"', at + 14) - at - 14);
    const std::string session = base + kxtest::TestPushEndpoints::kUploadPath + "/" + id;
    FILE* file = std::fopen(store.file.c_str(), "rb");
    curl_slist* type = curl_slist_append(nullptr, "Content-Type: application/pdf");
    curl.perform(session, "POST", type, file, static_cast<curl_off_t>(kSize), nullptr);
    curl_slist_free_all(type);
    std::fclose(file);
    curl_slist* check = curl_slist_append(nullptr, "Content-Range: bytes */*");
    curl.perform(session, "POST", check, nullptr, 0, nullptr);
    curl_slist_free_all(check);
    const std::string params =
        "{\"resourceId\":\"big\",\"resourceName\":\"big.pdf\",\"transmitId\":\"" + id +
        "\",\"metaProps\":{\"restype\":\"2\",\"resowner\":\"\"}}";
    curl_slist* stream = curl_slist_append(nullptr, "Content-Type: application/qopal-stream");
    stream =
        curl_slist_append(stream, ("parameters-length: " + std::to_string(params.size())).c_str());
    FILE* body = fmemopen(const_cast<char*>(params.data()), params.size(), "rb");
    curl.perform(base + "/qrt/api/personal/sync?method=putResource", "POST", stream, body,
                 static_cast<curl_off_t>(params.size()), nullptr);
    std::fclose(body);
    curl_slist_free_all(stream);
    state.SetIterationTime(seconds(start, Clock::now()));
    if (service.resources->resource("big").bytes.size() != kSize) state.SkipWithError("short");
  }
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(kSize) / 1e6 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CurlUpload)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_PullerDownload(benchmark::State& state) {
  Service service;
  service.resources->putResource("big", {payload(), 1, "big.pdf", "application/pdf", 2, ""});
  Store store;
  KXConcurrentController controller(KXConcurrentController::kPullConcurrentLen);
  for (auto _ : state) {
    KXResourcePuller::Services services{store.client.get(), service.service.baseURL(), &controller,
                                        nullptr};
    auto puller = KXResourcePuller::pullerWithResourceIdents(
        kx::Array{kx::Value::dict({{"resourceId", kx::Value("big")}, {"version", kx::Value(1)}})},
        services);
    puller->setEntirePull(true);  // downloaded whatever the store holds
    std::promise<std::string> done;
    const Clock::time_point start = Clock::now();
    puller->pullWithCallback([&](const kx::Value& result, const kx::Error& error) {
      done.set_value(error ? std::string()
                           : result["resourceInfos"]["big"]["tmpFile"].stringValue());
    });
    const std::string file = done.get_future().get();
    state.SetIterationTime(seconds(start, Clock::now()));
    std::error_code ec;
    if (file.empty() || std::filesystem::file_size(file, ec) != kSize) {
      state.SkipWithError("the download failed");
    }
    std::filesystem::remove(file, ec);
  }
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(kSize) / 1e6 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PullerDownload)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

void BM_CurlDownload(benchmark::State& state) {
  Service service;
  service.resources->putResource("big", {payload(), 1, "big.pdf", "application/pdf", 2, ""});
  Curl curl(service.service);
  const std::string base = service.service.baseURL();
  const std::string target = znbench::MakeTempDir() + "/big";
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    curl_slist* form =
        curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    const std::string params = "idversions=big%3A1";
    FILE* body = fmemopen(const_cast<char*>(params.data()), params.size(), "rb");
    curl.perform(base + "/qrt/api/personal/resource?method=batchMetas", "POST", form, body,
                 static_cast<curl_off_t>(params.size()), nullptr);
    std::fclose(body);
    curl_slist_free_all(form);
    FILE* out = std::fopen(target.c_str(), "wb");
    curl.perform(base + "/qrt/api/personal/resource/big?method=getResource&v=1", "GET", nullptr,
                 nullptr, 0, out);
    std::fclose(out);
    state.SetIterationTime(seconds(start, Clock::now()));
    std::error_code ec;
    if (std::filesystem::file_size(target, ec) != kSize) state.SkipWithError("short");
  }
  state.counters["MB/s"] =
      benchmark::Counter(static_cast<double>(kSize) / 1e6 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CurlDownload)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

// ---- The pull of notes with images ----------------------------------------------

constexpr int kPullNotes = 1000;

struct NoteTree {
  Service s;
  explicit NoteTree(int images) {
    s.sync->putNotebook("NB", "ROOT", "notebook");
    for (int i = 0; i < kPullNotes; ++i) {
      const std::string id = "N" + std::to_string(i);
      std::string body = "<p>note " + std::to_string(i) + "</p>";
      std::vector<std::string> ids;
      for (int k = 0; k < images; ++k) {
        const std::string rid = "img" + std::to_string(i) + "x" + std::to_string(k);
        body += "<img src=\"" + rid + "\"/>";
        std::string bytes = payload().substr(static_cast<std::size_t>(i * 3 + k) * 1000, 20000);
        s.resources->putResource(rid, {std::move(bytes), 1, rid + ".png", "image/png", 1, ""});
        ids.push_back(rid);
      }
      s.sync->putNote(id, "NB", "note " + std::to_string(i) + ".note", body);
      if (!ids.empty()) s.resources->attachToNote(id, ids);
    }
  }
};

class PullEnvironment : public KXSyncPullEnvironment {
 public:
  PullEnvironment(std::string base, KXDataClient& client)
      : base_(std::move(base)), client_(client) {}
  std::string serviceBaseURL() override { return base_; }
  bool canConnect() override { return true; }
  std::int64_t baseVersion() override { return 0; }
  bool isFullPulling() override { return true; }
  void setCurrentSessionVersion(std::int64_t) override {}
  kx::Array fetchPullFailed() override { return {}; }
  void pullFailedFileId(const std::string& id, const std::string&) override {
    std::fprintf(stderr, "pull of %s failed\n", id.c_str());
    ++failed;
  }
  void deletePullFailedFileId(const std::string&) override {}
  void save(std::function<void()> done) override {
    client_.state().performSave([done = std::move(done)](const KXResultInfo&, const kx::Error&) {
      if (done) done();
    });
  }
  std::shared_ptr<KXSyncPullApplier> applier() override { return applier_; }
  std::shared_ptr<KXSyncPullApplier> applier_;
  std::atomic<int> failed{0};

 private:
  std::string base_;
  KXDataClient& client_;
};

class PullDelegate : public KXSyncPullProxyDelegate {
 public:
  void didPullSuccess() override { ended.set_value(true); }
  void didPullFail(const kx::Error&) override { ended.set_value(false); }
  std::promise<bool> ended;
};

void BM_PullNotes(benchmark::State& state) {
  const int images = static_cast<int>(state.range(0));
  NoteTree tree(images);
  const std::string base = tree.s.service.baseURL();
  for (auto _ : state) {
    state.PauseTiming();
    auto environment = std::make_shared<znbench::BenchEnvironment>(znbench::MakeTempDir());
    auto data = std::make_shared<KXDataContext>(environment);
    auto client = std::make_unique<KXDataClient>(data);
    client->openStore();
    auto env = std::make_shared<PullEnvironment>(base, *client);
    env->applier_ = std::make_shared<KXSyncStorePullApplier>(
        *client, [base](const std::string& fileId, const kx::Value& version) {
          return std::make_shared<KXFilePuller>(
              fileId, version, base,
              [] { return KXFileManager::defaultManauger().URLForTempFile(); },
              KXConcurrentController::pullController());
        });
    auto delegate = std::make_shared<PullDelegate>();
    auto proxy = std::make_shared<KXSyncPullProxy>(delegate, env);
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    proxy->pull();
    if (!delegate->ended.get_future().get() || env->failed > 0) {
      state.SkipWithError("the pull failed");
    }
    state.SetIterationTime(seconds(start, Clock::now()));
    state.PauseTiming();
    data->performSyncWriteBlock([](KXManagedObjectContext&) {});
    proxy.reset();
    client.reset();
    data.reset();
    state.ResumeTiming();
  }
  state.counters["notes/s"] = benchmark::Counter(
      kPullNotes * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PullNotes)
    ->Arg(3)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(), {},
      [&] {
        reporter.printRatio("ResourceSync/Upload", "BM_PusherUpload/iterations:3/manual_time",
                            "BM_CurlUpload/iterations:3/manual_time", "ms");
        reporter.printRatio("ResourceSync/Download", "BM_PullerDownload/iterations:3/manual_time",
                            "BM_CurlDownload/iterations:3/manual_time", "ms");
        reporter.printRatio("ResourceSync/PullNotesWithImages",
                            "BM_PullNotes/3/iterations:2/manual_time",
                            "BM_PullNotes/0/iterations:2/manual_time", "ms");
      },
      &reporter);
}
