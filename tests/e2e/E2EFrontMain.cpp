// The end-to-end run: a fake note service on 127.0.0.1 (the service host is
// mapped to it in the forwarder's transport), the URL protocol over the test
// bundle in tests/data, the web file handler over a temporary store seeded
// with a folder, two notes and a resource, the loopback front, and headless
// Chromium driven by tests/e2e/drive.mjs. The front's credentials reach the
// driver in a 0600 file. The main loop pumps the main queue while the driver
// runs (the handler answers long note text from there); the driver is ended
// by its pid when it runs past its time.
//
// Exit status: 0 when every check passed, 77 (the test's skip code) when the
// driver found no Chromium to start, 1 otherwise.
//
//   zn_e2e_front <node> <drive.mjs>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXFileManager.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXReachabilityFlagsProvider.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXWebFileRequestHandler.h"
#include "WebRequest/Reachability.h"
#include "WebUI/KXLoopbackFront.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "WebUI/RNCachingURL/RNTransportConnectionFactory.h"
#include "platform/HTTPTransport.h"
#include "platform/MainQueue.h"
#include "support/E2EDriver.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"

extern char** environ;

namespace {

std::atomic<bool> gOffline{false};

class SwitchableFlags : public KXReachabilityFlagsProvider {
 public:
  std::optional<std::uint32_t> flagsForHost(const std::string&) override {
    if (gOffline) return std::nullopt;
    return Reachability::kReachabilityFlagReachable;
  }
};

// "/e2e/offline" on the service host takes the network away.
class OfflineSwitch : public KXDataRequestDelegate {
 public:
  bool acceptRequest(const kx::URLRequest& request) const override {
    return request.url().host() == KXServiceHost() && request.url().path() == "/e2e/offline";
  }
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override {
    gOffline = true;
    sender->localReceiveResponse(kx::HTTPURLResponse(request.url(), 200, "HTTP/1.1", {}),
                                 std::nullopt, kx::Error());
  }
};

int fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  return 1;
}

// The driver's exit status when Chromium is not installed.
constexpr int kSkipped = 77;

// ROOT > NB "e2e folder" > N1 "first.note" (text above the handler's large
// text size, so that it is answered from the main queue; resource R1),
// N2 "second.note" (short text). tests/data/web/e2e.js checks these.
bool seed(KXDataContext& data) {
  bool saved = false;
  data.performSyncWriteBlock([&](KXManagedObjectContext& c) {
    auto put = [&](const char* entity, const kx::Dictionary& fields) {
      KXManagedObjectPtr object = c.insertNewObject(entity);
      if (object->isKindOfEntity("Note") || object->isKindOfEntity("Notebook")) {
        object->setValue("remoteRemoved", false);
        object->setValue("del", false);
      }
      if (!object->setValuesForKeys(fields)) std::printf("FAIL: seeding %s\n", entity);
      return object;
    };
    put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
    put("Notebook",
        {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "e2e folder"}, {"dir", true}});
    KXManagedObjectPtr first = put("Note", {{"fileId", "N1"},
                                            {"parentId", "NB"},
                                            {"title", "first.note"},
                                            {"modifyTime", 2},
                                            {"dir", false}});
    put("Note", {{"fileId", "N2"},
                 {"parentId", "NB"},
                 {"title", "second.note"},
                 {"modifyTime", 1},
                 {"dir", false}});
    first->addObject(
        "resources",
        put("Resource", {{"fileId", "R1"}, {"meidaType", "image"}, {"imageSize", "800x600"}}));
    kx::Error error;
    saved = c.save(&error);
    if (!saved) std::printf("FAIL: saving the store: %s\n", error.localizedDescription().c_str());
  });
  if (!saved) return false;
  struct Text {
    const char* id;
    std::string text;
  };
  const Text texts[] = {
      {"N1", "e2e-large:" + std::string(KXWebFileRequestHandler::kLargeTextBytes + 1000, 'a')},
      {"N2", "e2e-short: the second note"},
  };
  for (const Text& t : texts) {
    const std::string path = KXFileManager::defaultManauger().URLForContentFile(t.id, false);
    if (path.empty()) return false;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary);
    out << t.text;
    if (!out.flush()) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zn_e2e_front <node> <drive.mjs>\n");
    return 2;
  }
  // HOME and the XDG folders point into a temporary folder for the run: the
  // store and the note text files live there, and so does Chromium's home.
  kxtest::TempAppRoot root;
  kx::Error error;
  kxtest::TestNoteService upstream(KXServiceHost());
  if (!upstream.start(&error)) return fail("upstream: " + error.localizedDescription());
  kx::HTTPTransport transport;
  upstream.attach(transport);

  KXRequestDelegateRegistry registry;
  registry.add(std::make_shared<OfflineSwitch>());
  auto storeEnv = std::make_shared<kxtest::TestStoreEnvironment>(root.path() + "/appdata");
  auto data = std::make_shared<KXDataContext>(storeEnv);
  auto client = std::make_unique<KXDataClient>(data);
  client->openStore();
  if (!seed(*data)) return fail("seeding the store");
  auto webUtil = std::make_unique<KXFileMetaWebUtil>(*client);
  registry.add(std::make_shared<KXWebFileRequestHandler>(*client, *webUtil));
  RNCachingURLProtocol::Environment env;
  env.registry = &registry;
  env.connections = std::make_shared<RNTransportConnectionFactory>(&transport);
  env.bundleRoot = ZN_TEST_DATA_DIR;
  env.currentWebPath = [] { return std::string(); };
  env.commonStatics = [] { return std::string("vendor=e2e&client=zarvelnote"); };
  env.mustSyncBeforeShare = [](const std::string&) { return false; };
  RNCachingURLProtocol::setEnvironment(
      std::make_shared<const RNCachingURLProtocol::Environment>(env));
  Reachability::setFlagsProvider(std::make_shared<SwitchableFlags>());

  auto front = KXLoopbackFront::start({}, &error);
  if (!front) return fail("front: " + error.localizedDescription());

  const std::string credentials = root.path() + "/front.json";
  if (!front->writeCredentials(credentials, &error))
    return fail("credentials: " + error.localizedDescription());

  const kxtest::E2EDriverResult run =
      kxtest::runE2EDriver(argv[1], argv[2], credentials, KXServiceHost());
  if (!run.started) return fail("cannot start node");
  const bool exited = run.exited;
  const int status = run.status;
  front.reset();

  if (exited && WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
    upstream.stop();
    std::printf("e2e: skipped, Chromium is not installed\n");
    return kSkipped;
  }
  int failures = (exited && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : 1;
  // The forwarded call reached the fake service once, marked, with the
  // statistics query in place of "keyfrom"; the offline one never did.
  const auto echoes = upstream.requests("/test/echo");
  if (echoes.size() != 1) {
    failures += fail("forwarded calls upstream: " + std::to_string(echoes.size()));
  } else {
    const auto& r = echoes[0];
    if (!r.hasHeader("KX-NoNeedSync")) failures += fail("marker header missing upstream");
    if (r.query != "a=1&vendor=e2e&client=zarvelnote")
      failures += fail("query upstream: " + r.query);
    if (r.hasHeader("Proxy-Authorization")) failures += fail("the secret went upstream");
  }
  upstream.stop();
  std::printf("%s\n", failures == 0 ? "e2e: all checks passed" : "e2e: checks failed");
  return failures == 0 ? 0 : 1;
}
