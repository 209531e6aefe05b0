// The end-to-end run of the local handlers: the shared handlers' order
// (user, file, resource data, tags, push server, search, preview,
// backgrounds, local files, editor, pen notes) over a temporary store seeded
// with a user, notes, tags and a resource, the loopback front (also taking
// the local-file host), and headless Chromium driven by
// tests/e2e/handlers.mjs, which loads tests/data/web/e2e-handlers.html from
// the service's https origin and reports the page's checks.
//
// Exit status: 0 when every check passed, 77 (the test's skip code) when the
// driver found no Chromium to start, 1 otherwise.
//
//   zn_e2e_handlers <node> <handlers.mjs>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CommonUtils/KXDelayClock.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Tag.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXLocalFileHost.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXWebBgImageHandler.h"
#include "WebRequest/KXWebEditorHandler.h"
#include "WebRequest/KXWebFileRequestHandler.h"
#include "WebRequest/KXWebLocalFileHandler.h"
#include "WebRequest/KXWebPenNoteHandler.h"
#include "WebRequest/KXWebPreviewRequestHandler.h"
#include "WebRequest/KXWebPushServerHandler.h"
#include "WebRequest/KXWebResourceDataHandler.h"
#include "WebRequest/KXWebSearchRequestHandler.h"
#include "WebRequest/KXWebTagRequestHandler.h"
#include "WebRequest/KXWebUserRequestHandler.h"
#include "WebUI/KXLoopbackFront.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "WebUI/RNCachingURL/RNTransportConnectionFactory.h"
#include "platform/GlobalQueue.h"
#include "platform/HTTPTransport.h"
#include "platform/MainQueue.h"
#include "support/E2EDriver.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"

extern char** environ;

namespace {

int fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  return 1;
}

constexpr int kSkipped = 77;

const unsigned char kPNG[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78,
    0xda, 0x63, 0x64, 0xf8, 0xcf, 0x50, 0x0f, 0x00, 0x03, 0x86, 0x01, 0x80, 0x5a, 0x34,
    0x7d, 0x6b, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

bool writePNG(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(kPNG), sizeof kPNG);
  return static_cast<bool>(out.flush());
}

// ROOT > NB "Fruit": 25 "apple <n>" and 15 "banana <n>" notes; tags T1
// "red" (on the apple notes) and T2 "blue"; resource R1 with its picture;
// the user "alice" with a self info whose photo is a downloaded icon.
bool seed(KXDataContext& data, const std::string& appData) {
  bool saved = false;
  data.performSyncWriteBlock([&](KXManagedObjectContext& c) {
    auto put = [&](const char* entity, const kx::Dictionary& fields) {
      KXManagedObjectPtr object = c.insertNewObject(entity);
      if (object->isKindOfEntity("FileMeta") && !object->isKindOfEntity("Root")) {
        for (const char* flag : {"remoteRemoved", "del", "stick", "encrypted"}) {
          object->setValue(flag, false);
        }
        object->setValue("dir", object->isKindOfEntity("Notebook"));
      }
      if (!object->setValuesForKeys(fields)) std::printf("FAIL: seeding %s\n", entity);
      return object;
    };
    put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
    put("Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Fruit"}});
    for (int i = 0; i < 40; ++i) {
      const bool apple = i < 25;
      const std::string title = (apple ? "apple " : "banana ") + std::to_string(i);
      put("Note", {{"fileId", "N" + std::to_string(i)},
                   {"parentId", "NB"},
                   {"title", title},
                   {"modifyTime", 1000 + i},
                   {"tags", apple ? "T1" : "T2"}});
    }
    put("Tag", {{"tagId", "T1"}, {"name", "red"}, {"isLocalRemoved", false}});
    put("Tag", {{"tagId", "T2"}, {"name", "blue"}, {"isLocalRemoved", false}});
    KXManagedObjectPtr entry = c.insertNewObject("ResourceEntry");
    entry->setValue("file", appData + "/alice/Resources/R1.png");
    KXManagedObjectPtr resource =
        put("Resource", {{"fileId", "R1"}, {"title", "picture.png"}, {"meidaType", "image"}});
    resource->setObject("entry", entry);
    const std::string selfInfo =
        R"({"userId": "alice", "name": "Alice", "photo": "https://img.example/alice.png"})";
    put("User", {{"userId", "alice"},
                 {"nickname", "Alice"},
                 {"selfInfo", kx::Bytes(selfInfo.begin(), selfInfo.end())}});
    kx::Error error;
    saved = c.save(&error);
    if (!saved) std::printf("FAIL: saving the store: %s\n", error.localizedDescription().c_str());
  });
  return saved && writePNG(appData + "/alice/Resources/R1.png") &&
         writePNG(appData + "/alice/IconImage/photo") && writePNG(appData + "/bgImage/p1.png") &&
         writePNG(appData + "/alice/Contents/secret.png");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zn_e2e_handlers <node> <handlers.mjs>\n");
    return 2;
  }
  kxtest::TempAppRoot root;
  kx::Error error;
  kxtest::TestNoteService upstream(KXServiceHost());
  if (!upstream.start(&error)) return fail("upstream: " + error.localizedDescription());
  kx::HTTPTransport transport;
  upstream.attach(transport);

  const std::string appData = root.path() + "/appdata";
  auto storeEnv = std::make_shared<kxtest::TestStoreEnvironment>(appData);
  auto data = std::make_shared<KXDataContext>(storeEnv);
  auto client = std::make_unique<KXDataClient>(data);
  client->openStore();
  if (!seed(*data, appData)) return fail("seeding the store");
  KXDataClient* store = client.get();
  auto webUtil = std::make_unique<KXFileMetaWebUtil>(*client);
  auto files = std::make_shared<KXWebFileRequestHandler>(*client, *webUtil);

  // The searcher: titles holding one of the words, answered from a global
  // queue as the index's search is.
  auto searcher = [store](const std::string& keyword, KXDataCallback callback) {
    kx::GlobalQueue::get().async([store, keyword, callback] {
      std::vector<KXManagedObjectPtr> hits;
      for (const KXFileMetaPtr& entry : store->reads().objectsForParentId("NB", "FileMeta")) {
        std::size_t start = 0;
        while (start <= keyword.size()) {
          std::size_t blank = keyword.find(' ', start);
          const std::string word = keyword.substr(start, blank - start);
          if (!word.empty() && entry->title().find(word) != std::string::npos) {
            hits.push_back(entry);
            break;
          }
          if (blank == std::string::npos) break;
          start = blank + 1;
        }
      }
      callback(KXResultInfo::withObjects(std::move(hits)), kx::Error());
    });
  };

  KXRequestDelegateRegistry registry;
  registry.add(std::make_shared<KXWebUserRequestHandler>(KXWebUserRequestHandler::Environment{
      [store] { return store; },
      [] { return std::string("alice"); },
      [appData](const std::string&) { return appData + "/alice/IconImage/photo"; },
      [appData] { return appData; },
      [&transport](const kx::HTTPTransport::Cookie& cookie) {
        if (!transport.setCookie(cookie)) std::printf("FAIL: cookie not stored\n");
      },
      [] { return KXServiceHost(); },
  }));
  registry.add(files);
  registry.add(std::make_shared<KXWebResourceDataHandler>(
      *client, KXDelayClock::systemClock(), [](const std::string&) { return false; }));
  registry.add(std::make_shared<KXWebTagRequestHandler>(*client, *files, [store] {
    store->state().performSave([](const KXResultInfo&, const kx::Error&) {});
  }));
  registry.add(std::make_shared<KXWebPushServerHandler>([store] { return store; }));
  registry.add(std::make_shared<KXWebSearchRequestHandler>(*client, *webUtil, searcher));
  registry.add(std::make_shared<KXWebPreviewRequestHandler>());
  registry.add(std::make_shared<KXWebBgImageHandler>([] {
    return kx::Array{kx::Value::dict(
        {{"bgImageId", "p1.png"}, {"bgImageUrl", KXLocalFileHost() + "/bgImage/p1.png"}})};
  }));
  // The local-file handler answers its own origin, as the program registers it.
  registry.add(
      std::make_shared<KXWebLocalFileHandler>(KXWebLocalFileHandler::Environment{
          [appData] { return appData; },
          [appData] {
            return std::vector<std::string>{appData + "/bgImage", appData + "/alice/IconImage"};
          }}),
      KXHandlerHosts::OwnOrigin);
  registry.add(std::make_shared<KXWebEditorHandler>([] { return std::nullopt; },
                                                    [appData] { return appData + "/editor"; }));
  registry.add(std::make_shared<KXWebPenNoteHandler>(
      *client, KXWebPenNoteHandler::Environment{[](const std::string&) { return true; },
                                                [](const std::string&) { return kx::Value(); }}));

  RNCachingURLProtocol::Environment env;
  env.registry = &registry;
  env.connections = std::make_shared<RNTransportConnectionFactory>(&transport);
  env.bundleRoot = ZN_TEST_DATA_DIR;
  env.currentWebPath = [] { return std::string(); };
  env.commonStatics = [] { return std::string("vendor=e2e"); };
  env.mustSyncBeforeShare = [](const std::string&) { return false; };
  RNCachingURLProtocol::setEnvironment(
      std::make_shared<const RNCachingURLProtocol::Environment>(env));

  KXLoopbackFront::Options options;
  options.extraHosts = {kKXLocalFileHostName};
  auto front = KXLoopbackFront::start(options, &error);
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
  upstream.stop();
  if (exited && WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
    std::printf("e2e: skipped, Chromium is not installed\n");
    return kSkipped;
  }
  int failures = (exited && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : 1;
  // The tag change reached the store.
  if (!client->reads().objectForTagID("T1") ||
      client->reads().objectForTagID("T1")->name() != "crimson") {
    failures += fail("the renamed tag is not stored");
  }
  std::printf("%s\n", failures == 0 ? "e2e: all checks passed" : "e2e: checks failed");
  return failures == 0 ? 0 : 1;
}
