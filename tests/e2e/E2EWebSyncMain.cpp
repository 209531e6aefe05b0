// The end-to-end run of saving from the web interface: the URL protocol with
// the web sync handler over a temporary store (ROOT > "Work" NB, "Home"
// NB2), the loopback front, and headless Chromium driven by
// tests/e2e/websync.mjs. The page saves, edits, moves, uploads, downloads,
// deletes and recovers through the front; after each step it asks
// "/e2e/state" (answered here, from the store and the content files, with
// the number of sync requests the handler made) whether the change is really
// there.
//
// Exit status: 0 when every check passed, 77 (the test's skip code) when the
// driver found no Chromium to start, 1 otherwise.
//
//   zn_e2e_websync <node> <websync.mjs>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "CommonUtils/KXDelayClock.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "Data/DataUtil/KXFileMetaUtil.h"
#include "Data/DataUtil/KXNoteUtil.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXLocalResponse.h"
#include "WebRequest/KXReachabilityFlagsProvider.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/KXWebSyncRequestHandler.h"
#include "WebRequest/Reachability.h"
#include "WebUI/KXLoopbackFront.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "WebUI/RNCachingURL/RNTransportConnectionFactory.h"
#include "platform/FileSystem.h"
#include "platform/HTTPTransport.h"
#include "platform/MainQueue.h"
#include "support/E2EDriver.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"

extern char** environ;

namespace {

std::atomic<int> gSyncs{0};

class AlwaysReachable : public KXReachabilityFlagsProvider {
 public:
  std::optional<std::uint32_t> flagsForHost(const std::string&) override {
    return Reachability::kReachabilityFlagReachable;
  }
};

// The byte at `at` of the page's generated upload.
std::uint8_t PatternByte(std::int64_t at) { return static_cast<std::uint8_t>((at * 7 + 3) % 251); }

// "/e2e/state?fileId=<id>" and "/e2e/state?resourceId=<id>" on the service
// host: what the store and the disk hold, and the sync requests so far.
class StateProbe : public KXDataRequestDelegate {
 public:
  explicit StateProbe(KXDataClient& client) : client_(client) {}
  bool acceptRequest(const kx::URLRequest& request) const override {
    return request.url().host() == KXServiceHost() && request.url().path() == "/e2e/state";
  }
  void handleRequest(const kx::URLRequest& request,
                     std::shared_ptr<KXDataRequestController> sender) override {
    kx::Dictionary query = NSDictionaryKXHelper::dictionaryFromQuery(
        request.url().query().value_or(""), kKXUTF8Encoding);
    kx::Dictionary state{{"syncs", gSyncs.load()}};
    if (const kx::Value* fileId = query.find("fileId")) {
      KXFileMetaPtr entry = client_.reads().objectForFileMetaID(fileId->stringValue());
      state.set("exists", entry != nullptr);
      if (entry) {
        state.set("parentId", entry->parentId());
        state.set("title", entry->title());
        state.set("del", entry->del());
        std::optional<std::string> text =
            KXFileManager::defaultManauger().originStringContentFileSync(entry->fileId(), false);
        state.set("content", text ? kx::Value(*text) : kx::Value());
      }
    }
    if (const kx::Value* resourceId = query.find("resourceId")) {
      std::shared_ptr<Resource> resource =
          client_.reads().objectForResourceID(resourceId->stringValue());
      state.set("exists", resource != nullptr);
      if (resource) {
        state.set("size", static_cast<long long>(resource->size()));
        state.set("mediaType", resource->meidaType());
        kx::Bytes bytes;
        kx::Error error;
        std::shared_ptr<ResourceEntry> entry = resource->entry();
        bool same = entry && kx::FileSystem::Default().readFile(entry->file(), &bytes, &error) &&
                    static_cast<std::int64_t>(bytes.size()) == resource->size();
        for (std::size_t i = 0; same && i < bytes.size(); ++i) same = bytes[i] == PatternByte(i);
        state.set("bytesMatch", same);
      }
    }
    kx::Bytes body = KXLocalResponse::JSONBody(kx::Value(std::move(state)));
    sender->localReceiveResponse(kx::HTTPURLResponse(request.url(), 200, "HTTP/1.1", {}),
                                 std::move(body), kx::Error());
  }

 private:
  KXDataClient& client_;
};

int fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  return 1;
}

constexpr int kSkipped = 77;

bool seed(KXDataContext& data) {
  bool saved = false;
  data.performSyncWriteBlock([&](KXManagedObjectContext& c) {
    auto put = [&](const char* entity, const kx::Dictionary& fields) {
      KXManagedObjectPtr object = c.insertNewObject(entity);
      object->setValue("remoteRemoved", false);
      object->setValue("del", false);
      if (!object->setValuesForKeys(fields)) std::printf("FAIL: seeding %s\n", entity);
    };
    put("Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
    put("Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Work"}, {"dir", true}});
    put("Notebook", {{"fileId", "NB2"}, {"parentId", "ROOT"}, {"title", "Home"}, {"dir", true}});
    kx::Error error;
    saved = c.save(&error);
    if (!saved) std::printf("FAIL: saving the store: %s\n", error.localizedDescription().c_str());
  });
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zn_e2e_websync <node> <websync.mjs>\n");
    return 2;
  }
  kxtest::TempAppRoot root;
  kx::Error error;
  kxtest::TestNoteService upstream(KXServiceHost());
  if (!upstream.start(&error)) return fail("upstream: " + error.localizedDescription());
  kx::HTTPTransport transport;
  upstream.attach(transport);

  auto storeEnv = std::make_shared<kxtest::TestStoreEnvironment>(root.path() + "/appdata");
  auto data = std::make_shared<KXDataContext>(storeEnv);
  auto client = std::make_unique<KXDataClient>(data);
  client->openStore();
  if (!seed(*data)) return fail("seeding the store");
  auto metaUtil = std::make_unique<KXFileMetaUtil>(*client);
  auto noteUtil =
      std::make_unique<KXNoteUtil>(client.get(), KXDelayClock::systemClock(), [] { return false; });

  KXRequestDelegateRegistry registry;
  registry.add(std::make_shared<StateProbe>(*client));
  registry.add(
      std::make_shared<KXWebSyncRequestHandler>(*client, *metaUtil, *noteUtil, [] { ++gSyncs; }));
  RNCachingURLProtocol::Environment env;
  env.registry = &registry;
  env.connections = std::make_shared<RNTransportConnectionFactory>(&transport);
  env.bundleRoot = ZN_TEST_DATA_DIR;
  env.currentWebPath = [] { return std::string(); };
  env.commonStatics = [] { return std::string("vendor=e2e&client=zarvelnote"); };
  env.mustSyncBeforeShare = [](const std::string&) { return false; };
  RNCachingURLProtocol::setEnvironment(
      std::make_shared<const RNCachingURLProtocol::Environment>(env));
  Reachability::setFlagsProvider(std::make_shared<AlwaysReachable>());

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
  upstream.stop();
  if (exited && WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) {
    std::printf("e2e: skipped, Chromium is not installed\n");
    return kSkipped;
  }
  const bool passed = exited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("%s\n", passed ? "e2e websync: all checks passed" : "e2e websync: checks failed");
  return passed ? 0 : 1;
}
