#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../../Data/StoreTestSupport.h"
#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebFileRequestHandler.h"
#include "WebRequest/Reachability.h"
#include "WebUI/RNCachingURL/RNTransportConnectionFactory.h"
#include "platform/HTTPTransport.h"
#include "platform/Semaphore.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"

namespace fs = std::filesystem;

namespace {

kx::URLRequest requestFor(const std::string& text) {
  std::optional<kx::URL> url = kx::URL::parse(text);
  EXPECT_TRUE(url) << text;
  return kx::URLRequest(url ? *url : kx::URL());
}

std::string text(const kx::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A handler whose acceptance and answer the test decides.
class FakeHandler : public KXDataRequestDelegate {
 public:
  using Accept = std::function<bool(const kx::URLRequest&)>;
  using Handle =
      std::function<void(const kx::URLRequest&, std::shared_ptr<KXDataRequestController>)>;
  FakeHandler(Accept accept, Handle handle)
      : accept_(std::move(accept)), handle_(std::move(handle)) {}

  bool acceptRequest(const kx::URLRequest& request) const override { return accept_(request); }
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override {
    handle_(request, std::move(sender));
  }

 private:
  Accept accept_;
  Handle handle_;
};

// Records what a load reports; wait() returns once the load ended.
class RecordingClient : public RNURLProtocolClient {
 public:
  void wasRedirectedToRequest(const kx::URLRequest& request,
                              const kx::HTTPURLResponse& response) override {
    std::lock_guard<std::mutex> lock(mu);
    redirect = request;
    redirectResponse = response;
    ++events;
    end();
  }
  void didReceiveResponse(const kx::HTTPURLResponse& r, RNURLCacheStoragePolicy p) override {
    std::lock_guard<std::mutex> lock(mu);
    response = r;
    policy = p;
    ++events;
  }
  void didLoadData(const kx::Bytes& data) override {
    std::lock_guard<std::mutex> lock(mu);
    body.insert(body.end(), data.begin(), data.end());
    ++events;
  }
  void didFinishLoading() override {
    std::lock_guard<std::mutex> lock(mu);
    finished = true;
    ++events;
    end();
  }
  void didFailWithError(const kx::Error& e) override {
    std::lock_guard<std::mutex> lock(mu);
    error = e;
    ++events;
    end();
  }

  bool wait(double seconds = 10) { return ended_.wait(seconds); }

  std::mutex mu;
  std::optional<kx::URLRequest> redirect;
  std::optional<kx::HTTPURLResponse> redirectResponse;
  std::optional<kx::HTTPURLResponse> response;
  RNURLCacheStoragePolicy policy = RNURLCacheStoragePolicy::Allowed;
  kx::Bytes body;
  bool finished = false;
  kx::Error error;
  int events = 0;

 private:
  void end() { ended_.signal(); }
  kx::Semaphore ended_;
};

class FixedFlags : public KXReachabilityFlagsProvider {
 public:
  explicit FixedFlags(std::optional<std::uint32_t> flags) : flags_(flags) {}
  std::optional<std::uint32_t> flagsForHost(const std::string&) override {
    ++asked;
    return flags_;
  }
  std::atomic<int> asked{0};

 private:
  std::optional<std::uint32_t> flags_;
};

// Installs an environment for one test and restores the previous one.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(RNCachingURLProtocol::Environment env)
      : previous_(RNCachingURLProtocol::setEnvironment(
            std::make_shared<const RNCachingURLProtocol::Environment>(std::move(env)))) {}
  ~ScopedEnvironment() { RNCachingURLProtocol::setEnvironment(previous_); }

 private:
  std::shared_ptr<const RNCachingURLProtocol::Environment> previous_;
};

class ScopedFlags {
 public:
  explicit ScopedFlags(std::shared_ptr<KXReachabilityFlagsProvider> provider)
      : previous_(Reachability::setFlagsProvider(std::move(provider))) {}
  ~ScopedFlags() { Reachability::setFlagsProvider(previous_); }

 private:
  std::shared_ptr<KXReachabilityFlagsProvider> previous_;
};

// Loads in flight: whoever loads through the protocol keeps it until the
// load ends, as the web view's front does. Tests empty the list at their end.
std::mutex gLoadsMutex;
std::vector<std::shared_ptr<RNCachingURLProtocol>> gLoads;

void forgetLoads() {
  std::vector<std::shared_ptr<RNCachingURLProtocol>> loads;
  {
    std::lock_guard<std::mutex> lock(gLoadsMutex);
    loads.swap(gLoads);
  }
  for (const auto& protocol : loads) protocol->stopLoading();
}

std::shared_ptr<RecordingClient> load(const kx::URLRequest& request,
                                      std::shared_ptr<RNCachingURLProtocol>* keep = nullptr) {
  auto client = std::make_shared<RecordingClient>();
  auto protocol = RNCachingURLProtocol::create(request, client);
  {
    std::lock_guard<std::mutex> lock(gLoadsMutex);
    gLoads.push_back(protocol);
  }
  protocol->startLoading();
  if (keep) *keep = protocol;
  return client;
}

// Every test ends by stopping and dropping the loads it made.
class LoadsCleanup : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo&) override { forgetLoads(); }
};
const bool kLoadsCleanupInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new LoadsCleanup);
  return true;
}();

// ---------------------------------------------------------------------------
// Classification

TEST(RNCachingURLProtocolClassification, EveryRuleInOrder) {
  KXRequestDelegateRegistry registry;
  FakeHandler handler(
      [](const kx::URLRequest& r) {
        return r.url().path() == "/yws/handled" || r.url().path() == "/qrt/api/personal/myshare";
      },
      [](const kx::URLRequest&, std::shared_ptr<KXDataRequestController>) {});
  registry.add(handler);

  struct Case {
    const char* url;
    const char* referer;  // null: none
    KXRequestType type;
  };
  const char* S = "https://note.zarvel.com";
  const std::vector<Case> cases = {
      // 1. the referrer of the history and payment pages: a read, any host
      {"http://127.0.0.1/web/a.js", "https://note.zarvel.com/newhistory", KXRequestTypeServiceRead},
      {"https://note.zarvel.com/web/x", "https://note.zarvel.com/charge/macMeal.html?x=1",
       KXRequestTypeServiceRead},
      {"https://note.zarvel.com/web/x", "https://note.zarvel.com/charge/other.html",
       KXRequestTypeLocalFile},
      // 2. my shares on the service host
      {"https://note.zarvel.com/qrt/api/personal/myshare?myShare=true&method=list", nullptr,
       KXRequestTypeLocalHandler},
      {"https://note.zarvel.com/qrt/api/personal/myshare?myShare=true&method=get", nullptr,
       KXRequestTypeServiceRead},
      {"https://note.zarvel.com/yws/handled?myShare=true", nullptr, KXRequestTypeServiceRead},
      {"https://other.example.org/x?myShare=true", nullptr, KXRequestTypeNotTaken},
      // 3. a registered handler
      {"https://note.zarvel.com/yws/handled", nullptr, KXRequestTypeLocalHandler},
      // ... only on the service host: no other host, loopback included, reaches the store
      {"http://127.0.0.1/yws/handled", nullptr, KXRequestTypeLocalFile},
      {"http://example.invalid/yws/handled", nullptr, KXRequestTypeNotTaken},
      {"http://img.qiansou.test/yws/handled", nullptr, KXRequestTypeOutsideImage},
      {"https://note.zarvel.com/qrt/api/personal/myshare?method=list", nullptr,
       KXRequestTypeLocalHandler},
      // 4. loopback
      {"http://127.0.0.1:8080/anything", nullptr, KXRequestTypeLocalFile},
      {"http://127.0.0.1", nullptr, KXRequestTypeLocalFile},
      // 5. the service host
      {S, nullptr, KXRequestTypeServiceChange},
      {"https://note.zarvel.com/", nullptr, KXRequestTypeServiceChange},
      {"https://note.zarvel.com/signIn/macVmo.html", nullptr, KXRequestTypeServiceRead},
      {"https://note.zarvel.com/signIn/macLoginSuccess.html", nullptr, KXRequestTypeServiceRead},
      {"https://note.zarvel.com/signIn/other.html", nullptr, KXRequestTypeLocalFile},
      {"https://note.zarvel.com/signIn", nullptr, KXRequestTypeServiceRead},
      {"https://note.zarvel.com/qrt/mapi/user/info", nullptr, KXRequestTypeServiceChange},
      {"https://note.zarvel.com/qrt/mapi/share", nullptr, KXRequestTypeServiceChange},
      {"https://note.zarvel.com/qrt/mapi", nullptr, KXRequestTypeServiceRead},
      {"https://note.zarvel.com/qrt/api/self", nullptr, KXRequestTypeServiceChange},
      {"https://note.zarvel.com/qrt/api/personal/share/ID1/comment", nullptr,
       KXRequestTypeServiceRead},
      {"https://note.zarvel.com/qrt/api/personal/share/ID1", nullptr, KXRequestTypeServiceChange},
      {"https://note.zarvel.com/qrt/api/personal/share", nullptr, KXRequestTypeServiceChange},
      {"https://note.zarvel.com/qrt/api/personal/myshare/x", nullptr, KXRequestTypeServiceRead},
      {"https://note.zarvel.com/qrt/x/personal/myshare/x", nullptr, KXRequestTypeServiceRead},
      {"https://note.zarvel.com/web/app", nullptr, KXRequestTypeLocalFile},
      {"https://note.zarvel.com/md/a.js", nullptr, KXRequestTypeLocalFile},
      {"https://note.zarvel.com/editor/x", nullptr, KXRequestTypeLocalFile},
      {"https://note.zarvel.com/pdf-viewer/viewer.html", nullptr, KXRequestTypeLocalFile},
      {"https://note.zarvel.com/penPage", nullptr, KXRequestTypeLocalFile},
      {"https://note.zarvel.com/mindmap/a", nullptr, KXRequestTypeLocalFile},
      // escapes that do not decode to UTF-8 keep their folder's type
      {"https://note.zarvel.com/web/%FF.js", nullptr, KXRequestTypeLocalFile},
      {"https://note.zarvel.com/qrt/api/personal/myshare/%C3", nullptr, KXRequestTypeServiceRead},
      {"https://note.zarvel.com/webx/a", nullptr, KXRequestTypeServiceRead},
      {"https://note.zarvel.com/qrt/api/personal/sync?method=push", nullptr,
       KXRequestTypeServiceRead},
      {"https://NOTE.Zarvel.com/qrt/api/self", nullptr, KXRequestTypeServiceChange},
      // 6. the analytics hosts: local files, never the network
      {"https://hm.qiansou.com/hm.js", nullptr, KXRequestTypeLocalFile},
      {"https://collect.lumetrics.com/c.gif", nullptr, KXRequestTypeLocalFile},
      // 7. the search engine's image hosts
      {"https://img3.qiansou.com/a.png", nullptr, KXRequestTypeOutsideImage},
      {"https://IMG.QianSou.com/a.png", nullptr, KXRequestTypeOutsideImage},
      // 8. the rest
      {"https://other.example.org/", nullptr, KXRequestTypeNotTaken},
      {"https://note.zarvel.com.evil.example/web/x", nullptr, KXRequestTypeNotTaken},
  };
  for (const Case& c : cases) {
    kx::URLRequest request = requestFor(c.url);
    if (c.referer) request.setValue(c.referer, "Referer");
    EXPECT_EQ(RNCachingURLProtocol::requestType(request, registry), c.type)
        << c.url << " referer " << (c.referer ? c.referer : "-");
  }

  KXRequestDelegateRegistry empty;
  EXPECT_EQ(
      RNCachingURLProtocol::requestType(requestFor("https://note.zarvel.com/yws/handled"), empty),
      KXRequestTypeServiceRead)
      << "with no handlers a service call falls to the other types";
}

TEST(RNCachingURLProtocolClassification, ScreeningByMarkersAndSchemes) {
  KXRequestDelegateRegistry registry;
  RNCachingURLProtocol::Environment env;
  env.registry = &registry;
  ScopedEnvironment scoped(env);

  EXPECT_TRUE(
      RNCachingURLProtocol::canInitWithRequest(requestFor("https://note.zarvel.com/web/a")));
  for (const char* marker : {"KX-NetworkOperation", "X-RNCache", "KX-OutterImage", "KX-NoNeedSync",
                             "KX-NeedSync", "kx-needsync"}) {
    kx::URLRequest marked = requestFor("https://note.zarvel.com/qrt/api/self");
    marked.setValue("", marker);
    EXPECT_FALSE(RNCachingURLProtocol::canInitWithRequest(marked)) << marker;
  }
  EXPECT_FALSE(RNCachingURLProtocol::canInitWithRequest(requestFor("https://other.example.org/")));
  EXPECT_FALSE(RNCachingURLProtocol::canInitWithRequest(requestFor("ftp://127.0.0.1/a")));

  std::set<std::string> previous = RNCachingURLProtocol::supportedSchemes();
  RNCachingURLProtocol::setSupportedSchemes({"https"});
  EXPECT_FALSE(RNCachingURLProtocol::canInitWithRequest(requestFor("http://127.0.0.1/a")));
  RNCachingURLProtocol::setSupportedSchemes(previous);
  EXPECT_TRUE(RNCachingURLProtocol::canInitWithRequest(requestFor("http://127.0.0.1/a")));
}

TEST(RNCachingURLProtocolClassification, ClassifyingNeverAsksForReachability) {
  auto flags = std::make_shared<FixedFlags>(std::nullopt);
  ScopedFlags scopedFlags(flags);
  KXRequestDelegateRegistry registry;
  for (const char* url : {"https://note.zarvel.com/qrt/api/self", "https://img.qiansou.com/a.png",
                          "https://note.zarvel.com/web/a"}) {
    RNCachingURLProtocol::requestType(requestFor(url), registry);
  }
  EXPECT_EQ(flags->asked.load(), 0);
}

// ---------------------------------------------------------------------------
// The statistics query on forwarded URLs

TEST(RNCachingURLProtocolForwardedURL, KeyfromGivesWayToTheStatisticsQuery) {
  const std::string stats = "keyfrom=note.1.mac&os=OS_X";
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"https://note.zarvel.com/qrt/a?a=1&keyfrom=web",
       "https://note.zarvel.com/qrt/a?a=1&keyfrom=note.1.mac&os=OS_X"},
      {"https://note.zarvel.com/qrt/a?keyfrom=web",
       "https://note.zarvel.com/qrt/a?keyfrom=note.1.mac&os=OS_X"},
      {"https://note.zarvel.com/qrt/a?b=2&a=1&b=3",
       "https://note.zarvel.com/qrt/a?b=2&a=1&b=3&keyfrom=note.1.mac&os=OS_X"},
      {"https://note.zarvel.com/qrt/a?mykeyfrom=1&keyfrom=x&keyfrom=y&c",
       "https://note.zarvel.com/qrt/a?mykeyfrom=1&c&keyfrom=note.1.mac&os=OS_X"},
      // the old query's text also appears in the path: only the query changes
      {"https://note.zarvel.com/a=1/x?a=1",
       "https://note.zarvel.com/a=1/x?a=1&keyfrom=note.1.mac&os=OS_X"},
      {"https://note.zarvel.com/qrt/a?a=1#frag",
       "https://note.zarvel.com/qrt/a?a=1&keyfrom=note.1.mac&os=OS_X#frag"},
      {"https://note.zarvel.com/qrt/a", "https://note.zarvel.com/qrt/a"},
      {"https://note.zarvel.com/qrt/a?", "https://note.zarvel.com/qrt/a?"},
  };
  for (const Case& c : cases) {
    kx::URL url = *kx::URL::parse(c.in);
    EXPECT_EQ(RNCachingURLProtocol::forwardedURL(url, stats).absoluteString(), c.out) << c.in;
  }
}

// ---------------------------------------------------------------------------
// The interface's own files

class RNCachingURLProtocolFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::path(std::getenv("HOME")) / ("files-" + std::to_string(counter_++));
    bundle_ = base_ / "UIResources.bundle";
    web_ = base_ / "downloaded";
    write(bundle_ / "index.html", "root index");
    write(bundle_ / "web/app/index.html", "app index");
    write(bundle_ / "web/style/main.css", "body{}");
    write(bundle_ / "web/style/fonts/KaTeX_Main.woff", "web katex");
    write(bundle_ / "web/style/fonts/other.woff", "other font");
    write(bundle_ / "md/fonts/KaTeX_Main.woff", "md katex");
    write(bundle_ / "web/%2e%2e/x.html", "literal dots");
    static const char kPng[] = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10\0\0\0\x10\x08\x06\0\0\0";
    write(bundle_ / "web/image.bin", std::string(kPng, sizeof(kPng) - 1));
    write(base_ / "secret.html", "secret");
    fs::create_directory_symlink(base_, bundle_ / "web/escape");
    write(web_ / "web/app/index.html", "downloaded app");
    write(web_ / "web/style/fonts/KaTeX_Main.woff", "downloaded katex");
    base_ = fs::canonical(base_);
    bundle_ = fs::canonical(bundle_);
    web_ = fs::canonical(web_);
  }

  static void write(const fs::path& path, const std::string& contents) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
  }

  RNCachingURLProtocol::Environment environment(std::string webPath = "") {
    RNCachingURLProtocol::Environment env;
    env.registry = &registry_;
    env.bundleRoot = bundle_.string();
    env.currentWebPath = [webPath] { return webPath; };
    return env;
  }

  static inline int counter_ = 0;
  fs::path base_, bundle_, web_;
  KXRequestDelegateRegistry registry_;
};

TEST_F(RNCachingURLProtocolFiles, PathsStayInsideTheirFolder) {
  struct Case {
    const char* url;
    bool downloaded;       // answered from the downloaded interface
    const char* expected;  // relative to its folder; null: refused
  };
  const Case cases[] = {
      {"http://127.0.0.1/", false, "index.html"},
      {"http://127.0.0.1", false, "index.html"},
      {"https://note.zarvel.com/web/app", false, "web/app/index.html"},
      {"https://note.zarvel.com/web/app/", false, "web/app/index.html"},
      {"https://note.zarvel.com/web/style/main.css", false, "web/style/main.css"},
      {"https://note.zarvel.com/web/style/fonts/KaTeX_Main.woff", false,
       "md/fonts/KaTeX_Main.woff"},
      {"https://note.zarvel.com/web/style/fonts/other.woff", false, "web/style/fonts/other.woff"},
      {"https://note.zarvel.com/web/style/KaTeX_Main.woff", false, "web/style/KaTeX_Main.woff"},
      {"https://note.zarvel.com/web/app", true, "web/app/index.html"},
      {"https://note.zarvel.com/web/style/fonts/KaTeX_Main.woff", true,
       "web/style/fonts/KaTeX_Main.woff"},
      {"https://note.zarvel.com/web/missing.html", false, "web/missing.html"},
      // decoded once: an encoded "%" stays a literal name inside the folder
      {"https://note.zarvel.com/web/%252e%252e/x.html", false, "web/%2e%2e/x.html"},
      // traversal attempts
      {"https://note.zarvel.com/web/%2e%2e/%2e%2e/secret.html", false, nullptr},
      {"https://note.zarvel.com/web/..%2F..%2Fsecret.html", false, nullptr},
      {"https://note.zarvel.com/web/%2E%2E%2f%2E%2E%2fsecret.html", false, nullptr},
      {"https://note.zarvel.com/web/%2e%2e", false, nullptr},
      {"https://note.zarvel.com/web/app/%2e%2e/%2e%2e/%2e%2e/secret.html", true, nullptr},
      {"https://note.zarvel.com/web/a%00.html", false, nullptr},
      {"https://note.zarvel.com/web/%FF.js", false, nullptr},
      {"https://note.zarvel.com/web/%FF", false, nullptr},
      {"https://note.zarvel.com/web/a%2F%2Fb.html", false, nullptr},
      {"https://note.zarvel.com/web/escape/secret.html", false, nullptr},
      {"https://note.zarvel.com/web/escape", false, nullptr},
  };
  for (const Case& c : cases) {
    kx::URL url = *kx::URL::parse(c.url);
    std::string webPath = c.downloaded ? web_.string() : "";
    std::optional<std::string> path =
        RNCachingURLProtocol::localFilePath(url, webPath, bundle_.string());
    if (!c.expected) {
      EXPECT_FALSE(path) << c.url << " gave " << path.value_or("");
      continue;
    }
    fs::path root = c.downloaded ? web_ : bundle_;
    ASSERT_TRUE(path) << c.url;
    EXPECT_EQ(*path, (root / c.expected).string()) << c.url;
  }
}

TEST_F(RNCachingURLProtocolFiles, AnswersWithTypeAndLifetimeOrFails) {
  ScopedEnvironment scoped(environment());
  auto client = load(requestFor("https://note.zarvel.com/web/app/"));
  ASSERT_TRUE(client->wait());
  ASSERT_TRUE(client->response);
  EXPECT_TRUE(client->finished);
  EXPECT_EQ(client->response->statusCode(), 200);
  EXPECT_EQ(client->response->httpVersion(), "HTTP/1.1");
  EXPECT_EQ(client->response->valueForHTTPHeaderField("Content-Type"), "text/html");
  EXPECT_EQ(client->response->valueForHTTPHeaderField("Cache-Control"), "max-age=2592000");
  EXPECT_EQ(client->policy, RNURLCacheStoragePolicy::Allowed);
  EXPECT_EQ(text(client->body), "app index");

  client = load(requestFor("https://note.zarvel.com/web/image.bin"));
  ASSERT_TRUE(client->wait());
  ASSERT_TRUE(client->response);
  EXPECT_EQ(client->response->valueForHTTPHeaderField("Content-Type"), "image/png")
      << "a type the table lacks is sniffed";

  client = load(requestFor("https://note.zarvel.com/web/missing.html"));
  ASSERT_TRUE(client->wait());
  ASSERT_TRUE(client->response) << "a missing file of a known type is an empty page";
  EXPECT_TRUE(client->body.empty());
  EXPECT_TRUE(client->finished);

  for (const char* url : {"https://note.zarvel.com/web/missing.woff",
                          "https://note.zarvel.com/web/%2e%2e/%2e%2e/secret.html",
                          "https://note.zarvel.com/web/escape/secret.html"}) {
    client = load(requestFor(url));
    ASSERT_TRUE(client->wait()) << url;
    EXPECT_FALSE(client->response) << url;
    EXPECT_TRUE(KXURLError::is(client->error, -1004)) << url;
  }
}

TEST_F(RNCachingURLProtocolFiles, DownloadedInterfaceTakesPrecedence) {
  ScopedEnvironment scoped(environment(web_.string()));
  auto client = load(requestFor("https://note.zarvel.com/web/style/fonts/KaTeX_Main.woff"));
  ASSERT_TRUE(client->wait());
  EXPECT_EQ(text(client->body), "downloaded katex");
}

// ---------------------------------------------------------------------------
// Local handlers

class RNCachingURLProtocolHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.registry = &registry_;
    scoped_ = std::make_unique<ScopedEnvironment>(env_);
  }
  void TearDown() override {
    forgetLoads();
    scoped_.reset();
  }

  void handleWith(FakeHandler::Handle handle) {
    handler_ = std::make_shared<FakeHandler>(
        [](const kx::URLRequest& r) { return r.url().path() == "/yws/local"; }, std::move(handle));
    registry_.add(handler_);
  }

  KXRequestDelegateRegistry registry_;
  RNCachingURLProtocol::Environment env_;
  std::unique_ptr<ScopedEnvironment> scoped_;
  std::shared_ptr<FakeHandler> handler_;
};

TEST_F(RNCachingURLProtocolHandlers, FirstAcceptorAnswersOnce) {
  auto second = std::make_shared<FakeHandler>(
      [](const kx::URLRequest&) { return true; },
      [](const kx::URLRequest& r, std::shared_ptr<KXDataRequestController> sender) {
        sender->localReceiveResponse(kx::HTTPURLResponse(r.url(), 418, "HTTP/1.1", {}),
                                     std::nullopt, kx::Error());
      });
  handleWith([](const kx::URLRequest& r, std::shared_ptr<KXDataRequestController> sender) {
    kx::Bytes body{'o', 'k'};
    sender->localReceiveResponse(kx::HTTPURLResponse(r.url(), 200, "HTTP/1.1", {}), body,
                                 kx::Error());
    sender->localReceiveResponse(kx::HTTPURLResponse(r.url(), 500, "HTTP/1.1", {}), std::nullopt,
                                 kx::Error());
    sender->localReceiveResponse(std::nullopt, std::nullopt, KXURLError::make(-1));
  });
  registry_.add(second);

  auto client = load(requestFor("https://note.zarvel.com/yws/local"));
  ASSERT_TRUE(client->wait());
  ASSERT_TRUE(client->response);
  EXPECT_EQ(client->response->statusCode(), 200);
  EXPECT_EQ(client->policy, RNURLCacheStoragePolicy::NotAllowed);
  EXPECT_EQ(text(client->body), "ok");
  EXPECT_FALSE(client->error);
  EXPECT_EQ(client->events, 3) << "response, data, finish; the later answers are dropped";
}

// The file handler over a store seeded with a folder, notes and a resource
// answers the page's listing calls through the router.
TEST_F(RNCachingURLProtocolHandlers, FileHandlerAnswersFromASeededStore) {
  kxtest::TempAppRoot root;
  auto env = std::make_shared<kxtest::TestStoreEnvironment>(root.path() + "/appdata");
  auto data = std::make_shared<KXDataContext>(env);
  auto client = std::make_unique<KXDataClient>(data);
  client->openStore();
  data->performSyncWriteBlock([](KXManagedObjectContext& c) {
    auto put = [&](const char* entity, const kx::Dictionary& fields) {
      KXManagedObjectPtr object = c.insertNewObject(entity);
      if (object->isKindOfEntity("Note") || object->isKindOfEntity("Notebook")) {
        object->setValue("remoteRemoved", false);
      }
      EXPECT_TRUE(object->setValuesForKeys(fields));
      return object;
    };
    put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
    put("Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Work"}, {"dir", true}});
    KXManagedObjectPtr note =
        put("Note", {{"fileId", "N1"}, {"parentId", "NB"}, {"title", "a.note"}, {"modifyTime", 2}});
    put("Note", {{"fileId", "N2"}, {"parentId", "NB"}, {"title", "b.note"}, {"modifyTime", 1}});
    note->addObject(
        "resources",
        put("Resource", {{"fileId", "R1"}, {"meidaType", "image"}, {"imageSize", "800x600"}}));
    kx::Error error;
    EXPECT_TRUE(c.save(&error));
  });
  KXFileMetaWebUtil util(*client);
  auto handler = std::make_shared<KXWebFileRequestHandler>(*client, util);
  registry_.add(handler);

  auto page = load(requestFor(
      "https://note.zarvel.com/qrt/api/personal/file/NB?method=listPageByParentId&len=1"));
  ASSERT_TRUE(page->wait());
  ASSERT_TRUE(page->response);
  EXPECT_EQ(page->response->statusCode(), 200);
  kx::Value envelope = objectFromJSONData(page->body);
  EXPECT_EQ(envelope["count"].intValue(), 2);
  ASSERT_EQ(envelope["entries"].size(), 1u);
  const kx::Value& first = envelope["entries"][0];
  EXPECT_EQ(first["fileEntry"]["id"].stringValue(), "N1");
  EXPECT_EQ(first["fileMeta"]["metaProps"]["thmid"].stringValue(), "R1");

  auto unknown =
      load(requestFor("https://note.zarvel.com/qrt/api/personal/file/NB?method=nothing"));
  ASSERT_TRUE(unknown->wait());
  EXPECT_FALSE(unknown->response);
  EXPECT_TRUE(KXURLError::is(unknown->error, KXURLErrorBadURL));

  forgetLoads();
  handler.reset();
  client.reset();
  KXHooks::setRootEntryIdProvider(nullptr);
  KXCrashLogger::setUserRecordProvider(nullptr);
}

TEST_F(RNCachingURLProtocolHandlers, ErrorAnswersCarryNoResponseAndEmptyBodiesFinish) {
  handleWith([](const kx::URLRequest& r, std::shared_ptr<KXDataRequestController> sender) {
    if (r.url().query() == std::optional<std::string>("fail")) {
      sender->localReceiveResponse(std::nullopt, std::nullopt, KXURLError::make(-1100));
    } else {
      sender->localReceiveResponse(kx::HTTPURLResponse(r.url(), 200, "HTTP/1.1", {}), std::nullopt,
                                   kx::Error());
    }
  });
  auto failed = load(requestFor("https://note.zarvel.com/yws/local?fail"));
  ASSERT_TRUE(failed->wait());
  EXPECT_FALSE(failed->response);
  EXPECT_TRUE(KXURLError::is(failed->error, -1100));

  auto empty = load(requestFor("https://note.zarvel.com/yws/local"));
  ASSERT_TRUE(empty->wait());
  EXPECT_TRUE(empty->response);
  EXPECT_TRUE(empty->body.empty());
  EXPECT_TRUE(empty->finished);
}

TEST_F(RNCachingURLProtocolHandlers, UnansweredRequestsEndWithMinus1000) {
  handleWith([](const kx::URLRequest&, std::shared_ptr<KXDataRequestController>) {
    // drops the sender without answering
  });
  auto dropped = load(requestFor("https://note.zarvel.com/yws/local"));
  ASSERT_TRUE(dropped->wait());
  EXPECT_TRUE(KXURLError::is(dropped->error, -1000));

  // "myshare" with method=list is type 0 even when no handler takes it
  auto nobody =
      load(requestFor("https://note.zarvel.com/qrt/api/personal/myshare?myShare=true&method=list"));
  ASSERT_TRUE(nobody->wait());
  EXPECT_TRUE(KXURLError::is(nobody->error, -1000));
}

TEST_F(RNCachingURLProtocolHandlers, AnswerAfterStopIsDropped) {
  std::promise<std::shared_ptr<KXDataRequestController>> kept;
  handleWith([&](const kx::URLRequest&, std::shared_ptr<KXDataRequestController> sender) {
    kept.set_value(sender);
  });
  std::shared_ptr<RNCachingURLProtocol> protocol;
  auto client = load(requestFor("https://note.zarvel.com/yws/local"), &protocol);
  std::shared_ptr<KXDataRequestController> sender = kept.get_future().get();
  protocol->stopLoading();
  protocol.reset();
  sender->localReceiveResponse(kx::HTTPURLResponse(), kx::Bytes{'x'}, kx::Error());
  sender.reset();
  EXPECT_EQ(client->events, 0);
}

// ---------------------------------------------------------------------------
// Forwarding to a local note service

class RNCachingURLProtocolForwarding : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::Error error;
    ASSERT_TRUE(service_.start(&error)) << error.localizedDescription();
    service_.attach(transport_);
    service_.route("", "/qrt/mapi/user/update", [](const kxtest::RecordedRequest&) {
      return kxtest::Reply::json(200, "{\"ok\":true}");
    });
    service_.route("", "/qrt/api/personal/share/ID1/comment", [](const kxtest::RecordedRequest&) {
      return kxtest::Reply::json(200, "{\"comments\":[]}");
    });
    service_.route("", "/qrt/api/personal/share", [](const kxtest::RecordedRequest&) {
      return kxtest::Reply::json(200, "{\"shared\":true}");
    });
    service_.route("", "/qrt/api/moved", [](const kxtest::RecordedRequest&) {
      kxtest::Reply reply;
      reply.status = 302;
      reply.headers = {{"Location", "/web/next?x=1"}};
      return reply;
    });
    service_.route("", "/newhistory",
                   [](const kxtest::RecordedRequest&) { return kxtest::Reply::json(200, "{}"); });
    service_.route("", "/qrt/api/self/login", [](const kxtest::RecordedRequest&) {
      kxtest::Reply reply = kxtest::Reply::json(200, "{}");
      reply.headers.emplace_back("Set-Cookie", "QOPAL_SESS=abc; Path=/");
      reply.headers.emplace_back("Set-Cookie", "QOPAL_PERS=def; Path=/");
      return reply;
    });

    connections_ = std::make_shared<RNTransportConnectionFactory>(&transport_);
    env_.registry = &registry_;
    env_.connections = connections_;
    env_.commonStatics = [] { return std::string("keyfrom=note.1.mac&os=OS_X"); };
    // The protocol asks for the sync on its own queue after the page's load
    // has ended, so a call may come after the test's last wait: what it
    // touches is shared with the call and outlives the fixture.
    env_.startSync = [sync = sync_] {
      ++sync->count;
      sync->done.signal();
    };
    env_.mustSyncBeforeShare = [](const std::string& fileId) { return fileId == "UNSYNCED"; };
    scoped_ = std::make_unique<ScopedEnvironment>(env_);
    flags_ = std::make_unique<ScopedFlags>(
        std::make_shared<FixedFlags>(Reachability::kReachabilityFlagReachable));
  }
  void TearDown() override {
    forgetLoads();
    scoped_.reset();
    flags_.reset();
    service_.stop();
  }

  std::optional<kxtest::RecordedRequest> lastOn(const std::string& path) {
    std::vector<kxtest::RecordedRequest> seen = service_.requests(path);
    if (seen.empty()) return std::nullopt;
    return seen.back();
  }

  kxtest::TestNoteService service_;
  kx::HTTPTransport transport_;
  std::shared_ptr<RNTransportConnectionFactory> connections_;
  KXRequestDelegateRegistry registry_;
  RNCachingURLProtocol::Environment env_;
  std::unique_ptr<ScopedEnvironment> scoped_;
  std::unique_ptr<ScopedFlags> flags_;
  // The syncs asked for.
  struct SyncRequests {
    std::atomic<int> count{0};
    kx::Semaphore done;
  };
  std::shared_ptr<SyncRequests> sync_ = std::make_shared<SyncRequests>();
};

TEST_F(RNCachingURLProtocolForwarding, ChangesAreMarkedRewrittenAndFollowedByOneSync) {
  kx::URLRequest request =
      requestFor("https://note.zarvel.com/qrt/mapi/user/update?a=1&keyfrom=web&a=2");
  request.setHTTPMethod("POST");
  request.setHTTPBody(kx::Bytes{'x', '=', '1'});
  auto client = load(request);
  ASSERT_TRUE(client->wait());
  ASSERT_TRUE(client->response);
  EXPECT_EQ(client->response->statusCode(), 200);
  EXPECT_EQ(client->policy, RNURLCacheStoragePolicy::NotAllowed);
  EXPECT_EQ(text(client->body), "{\"ok\":true}");
  ASSERT_TRUE(sync_->done.wait(10));

  std::optional<kxtest::RecordedRequest> wire = lastOn("/qrt/mapi/user/update");
  ASSERT_TRUE(wire);
  EXPECT_EQ(wire->method, "POST");
  EXPECT_EQ(wire->body, "x=1");
  EXPECT_TRUE(wire->hasHeader("KX-NeedSync"));
  EXPECT_EQ(wire->header("KX-NeedSync"), "");
  EXPECT_FALSE(wire->hasHeader("KX-NoNeedSync"));
  EXPECT_EQ(wire->query, "a=1&a=2&keyfrom=note.1.mac&os=OS_X");

  // a read: marked otherwise, no sync; a URL without a query has no statistics
  auto read = load(requestFor("https://note.zarvel.com/qrt/api/personal/share/ID1/comment"));
  ASSERT_TRUE(read->wait());
  EXPECT_TRUE(read->finished);
  wire = lastOn("/qrt/api/personal/share/ID1/comment");
  ASSERT_TRUE(wire);
  EXPECT_TRUE(wire->hasHeader("KX-NoNeedSync"));
  EXPECT_FALSE(wire->hasHeader("KX-NeedSync"));
  EXPECT_EQ(wire->query, "");
  // Connection events and the sync run on one serial queue: the read has
  // ended, so a second sync would have been asked for by now.
  EXPECT_EQ(sync_->count.load(), 1);

  // the forwarded copy is never taken again
  kx::URLRequest forwarded = requestFor("https://note.zarvel.com/qrt/mapi/user/update");
  forwarded.setValue("", "KX-NeedSync");
  EXPECT_FALSE(RNCachingURLProtocol::canInitWithRequest(forwarded));
}

TEST_F(RNCachingURLProtocolForwarding, ABodyThatOnlyStreamsGoesOutWhole) {
  kx::URLRequest request = requestFor("https://note.zarvel.com/qrt/api/personal/stream");
  request.setHTTPMethod("POST");
  const std::string form = "a=1&b=" + std::string(100000, 'z');
  request.setHTTPBodyStream(
      std::make_shared<kx::BytesInputStream>(kx::Bytes(form.begin(), form.end())));
  auto client = load(request);
  ASSERT_TRUE(client->wait());
  std::optional<kxtest::RecordedRequest> wire = lastOn("/qrt/api/personal/stream");
  ASSERT_TRUE(wire);
  EXPECT_EQ(wire->body, form);
}

TEST_F(RNCachingURLProtocolForwarding, RedirectsAreReportedWithoutMarkers) {
  auto client = load(requestFor("https://note.zarvel.com/qrt/api/moved?a=1"));
  ASSERT_TRUE(client->wait());
  ASSERT_TRUE(client->redirect);
  EXPECT_EQ(client->redirect->url().absoluteString(), "https://note.zarvel.com/web/next?x=1");
  for (const char* marker : {"KX-NeedSync", "KX-NoNeedSync", "KX-OutterImage", "X-RNCache"}) {
    EXPECT_FALSE(client->redirect->allHTTPHeaderFields().contains(marker)) << marker;
  }
  EXPECT_EQ(client->redirectResponse->statusCode(), 302);
  EXPECT_FALSE(client->finished);
  EXPECT_EQ(RNCachingURLProtocol::requestType(*client->redirect, registry_), KXRequestTypeLocalFile)
      << "the follow-up is classified afresh";
}

TEST_F(RNCachingURLProtocolForwarding, HistoryAnswersAreNotCached) {
  auto client = load(requestFor("https://note.zarvel.com/newhistory"));
  ASSERT_TRUE(client->wait());
  ASSERT_TRUE(client->response);
  EXPECT_EQ(client->response->valueForHTTPHeaderField("Cache-control"), "no-cache");
  EXPECT_EQ(client->response->httpVersion(), "HTTP/1.1");
}

TEST_F(RNCachingURLProtocolForwarding, OfflineAndUnsyncedSharesAreAnsweredLocally) {
  {
    ScopedFlags offline(std::make_shared<FixedFlags>(std::nullopt));
    for (const char* url : {"https://note.zarvel.com/qrt/mapi/user/update",
                            "https://note.zarvel.com/qrt/api/personal/sync"}) {
      auto client = load(requestFor(url));
      ASSERT_TRUE(client->wait());
      ASSERT_TRUE(client->response) << url;
      EXPECT_EQ(client->response->statusCode(), 500);
      kx::Value body = objectFromJSONData(client->body);
      EXPECT_EQ(body["error"].stringValue(), "NETWORK_UNREACHABLE");
      EXPECT_EQ(body["message"].stringValue(), "Message[CLIENT : NETWORK_UNREACHABLE]");
    }
  }
  {
    ScopedFlags needsDial(
        std::make_shared<FixedFlags>(Reachability::kReachabilityFlagReachable |
                                     Reachability::kReachabilityFlagConnectionRequired));
    auto client = load(requestFor("https://note.zarvel.com/qrt/api/self"));
    ASSERT_TRUE(client->wait());
    EXPECT_EQ(client->response->statusCode(), 500);
  }

  kx::URLRequest publish = requestFor("https://note.zarvel.com/qrt/api/personal/share");
  publish.setHTTPMethod("POST");
  std::string form = "method=publish&fileId=UNSYNCED";
  publish.setHTTPBody(kx::Bytes(form.begin(), form.end()));
  auto refused = load(publish);
  ASSERT_TRUE(refused->wait());
  ASSERT_TRUE(refused->response);
  EXPECT_EQ(refused->response->statusCode(), 500);
  EXPECT_EQ(objectFromJSONData(refused->body)["error"].stringValue(), "SHARE_BEFORE_SYNC");
  EXPECT_TRUE(service_.requests().empty()) << "nothing reached the network";

  form = "method=publish&fileId=SYNCED";
  publish.setHTTPBody(kx::Bytes(form.begin(), form.end()));
  auto allowed = load(publish);
  ASSERT_TRUE(allowed->wait());
  EXPECT_EQ(allowed->response->statusCode(), 200);
  EXPECT_EQ(service_.requests("/qrt/api/personal/share").size(), 1u);
  // The publish that went out is a change: it is followed by a sync, asked
  // for after the page saw the end of the load. Only the refused requests
  // before it asked for none.
  ASSERT_TRUE(sync_->done.wait(10));
  EXPECT_EQ(sync_->count.load(), 1);
}

TEST_F(RNCachingURLProtocolForwarding, CookiesComeFromTheJarAndReachThePage) {
  kx::URLRequest login = requestFor("https://note.zarvel.com/qrt/api/self/login");
  login.setValue("page=1", "Cookie");
  auto client = load(login);
  ASSERT_TRUE(client->wait());
  ASSERT_TRUE(client->response);
  EXPECT_EQ(client->response->allHeaderFields().values("Set-Cookie").size(), 2u);
  std::optional<kxtest::RecordedRequest> wire = lastOn("/qrt/api/self/login");
  ASSERT_TRUE(wire);
  EXPECT_EQ(wire->header("Cookie").find("page=1"), std::string::npos);

  auto next = load(requestFor("https://note.zarvel.com/qrt/mapi/user/update"));
  ASSERT_TRUE(next->wait());
  wire = lastOn("/qrt/mapi/user/update");
  ASSERT_TRUE(wire);
  EXPECT_NE(wire->header("Cookie").find("QOPAL_SESS=abc"), std::string::npos);
  EXPECT_NE(wire->header("Cookie").find("QOPAL_PERS=def"), std::string::npos);
}

TEST_F(RNCachingURLProtocolForwarding, CancelledLoadsReportNothing) {
  service_.setFault("/qrt/mapi/user/update", kxtest::Fault::held());
  std::shared_ptr<RNCachingURLProtocol> protocol;
  auto client = load(requestFor("https://note.zarvel.com/qrt/mapi/user/update"), &protocol);
  ASSERT_TRUE(service_.waitForRequests("/qrt/mapi/user/update", 1));
  protocol->stopLoading();
  service_.releaseHeld();
  ASSERT_TRUE(service_.waitForInFlight(0));
  // A later load through the same serial queue has ended, so anything the
  // cancelled one could still report would have been reported.
  service_.clearFault("/qrt/mapi/user/update");
  auto after = load(requestFor("https://note.zarvel.com/qrt/api/personal/share/ID1/comment"));
  ASSERT_TRUE(after->wait());
  EXPECT_EQ(client->events, 0);
  EXPECT_EQ(sync_->count.load(), 0);
}

TEST(RNCachingURLProtocolOutsideImages, FetchedWithoutReferrer) {
  kxtest::TestNoteService images("img.qiansou.com");
  kx::Error error;
  ASSERT_TRUE(images.start(&error)) << error.localizedDescription();
  images.route("", "/a.png", [](const kxtest::RecordedRequest&) {
    kxtest::Reply reply;
    reply.headers = {{"Content-Type", "image/png"}};
    reply.body = "png";
    return reply;
  });
  kx::HTTPTransport transport;
  images.attach(transport);
  auto flags = std::make_shared<FixedFlags>(std::nullopt);
  ScopedFlags scopedFlags(flags);
  KXRequestDelegateRegistry registry;
  RNCachingURLProtocol::Environment env;
  env.registry = &registry;
  // The test's image host lives on loopback, which outside hosts may not reach.
  env.connections = std::make_shared<RNTransportConnectionFactory>(
      &transport, [](const ::sockaddr*, socklen_t) { return true; });
  ScopedEnvironment scoped(env);

  kx::URLRequest request = requestFor("https://img.qiansou.com/a.png");
  request.setValue("https://note.zarvel.com/web/note", "Referer");
  auto client = load(request);
  ASSERT_TRUE(client->wait());
  EXPECT_EQ(text(client->body), "png");
  std::vector<kxtest::RecordedRequest> seen = images.requests("/a.png");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].hasHeader("Referer"));
  EXPECT_TRUE(seen[0].hasHeader("KX-OutterImage"));
  EXPECT_EQ(flags->asked.load(), 0) << "images are not checked for reachability";
  forgetLoads();
  images.stop();
}

// An outside image goes out only as GET on the default port, and only to a
// public address: the check is on the address the transport connects to,
// so a name mapped (or rebound) to loopback reaches nothing.
TEST(RNCachingURLProtocolOutsideImages, OnlyGETOnTheDefaultPortToPublicAddresses) {
  kxtest::TestNoteService images("img.qiansou.test");
  kx::Error error;
  ASSERT_TRUE(images.start(&error)) << error.localizedDescription();
  images.route("", "/a.png", [](const kxtest::RecordedRequest&) {
    kxtest::Reply reply;
    reply.body = "png";
    return reply;
  });
  kx::HTTPTransport transport;
  images.attach(transport);
  KXRequestDelegateRegistry registry;
  RNCachingURLProtocol::Environment env;
  env.registry = &registry;
  env.connections = std::make_shared<RNTransportConnectionFactory>(&transport);
  ScopedEnvironment scoped(env);

  struct Case {
    const char* what;
    const char* method;
    const char* url;
    bool body;
  };
  const Case cases[] = {
      {"mapped to loopback", "GET", "https://img.qiansou.test/a.png", false},
      {"another port", "GET", "https://img.qiansou.test:18080/a.png", false},
      {"POST", "POST", "https://img.qiansou.test/a.png", true},
      {"GET with a body", "GET", "https://img.qiansou.test/a.png", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kx::URLRequest request = requestFor(c.url);
    request.setHTTPMethod(c.method);
    if (c.body) request.setHTTPBody(kx::Bytes{'x'});
    ASSERT_EQ(RNCachingURLProtocol::requestType(request, registry), KXRequestTypeOutsideImage);
    auto client = load(request);
    ASSERT_TRUE(client->wait());
    std::lock_guard<std::mutex> lock(client->mu);
    EXPECT_TRUE(client->error);
    EXPECT_FALSE(client->response);
  }
  EXPECT_TRUE(images.requests().empty());
  forgetLoads();
  images.stop();
}

}  // namespace
