// The end-to-end run: a fake note service on 127.0.0.1 (the service host is
// mapped to it in the forwarder's transport), the URL protocol over the test
// bundle in tests/data, the loopback front, and headless Chromium driven by
// tests/e2e/drive.mjs. The front's credentials reach the driver in a 0600
// file. The main loop pumps the main queue while the driver runs; the driver
// is ended by its pid when it runs past its time.
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
#include <string>

#include "CommonUtils/KXServiceBaseURL.h"
#include "WebRequest/KXReachabilityFlagsProvider.h"
#include "WebRequest/KXRequestDelegateRegistry.h"
#include "WebRequest/Reachability.h"
#include "WebUI/KXLoopbackFront.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "WebUI/RNCachingURL/RNTransportConnectionFactory.h"
#include "platform/HTTPTransport.h"
#include "platform/MainQueue.h"
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
  void handleRequest(const kx::URLRequest& request, std::shared_ptr<KXDataRequestController> sender) override {
    gOffline = true;
    sender->localReceiveResponse(kx::HTTPURLResponse(request.url(), 200, "HTTP/1.1", {}), std::nullopt, kx::Error());
  }
};

int fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zn_e2e_front <node> <drive.mjs>\n");
    return 2;
  }
  kx::Error error;
  kxtest::TestNoteService upstream(KXServiceHost());
  if (!upstream.start(&error)) return fail("upstream: " + error.localizedDescription());
  kx::HTTPTransport transport;
  upstream.attach(transport);

  KXRequestDelegateRegistry registry;
  registry.add(std::make_shared<OfflineSwitch>());
  RNCachingURLProtocol::Environment env;
  env.registry = &registry;
  env.connections = std::make_shared<RNTransportConnectionFactory>(&transport);
  env.bundleRoot = ZN_TEST_DATA_DIR;
  env.currentWebPath = [] { return std::string(); };
  env.commonStatics = [] { return std::string("vendor=e2e&client=zarvelnote"); };
  env.mustSyncBeforeShare = [](const std::string&) { return false; };
  RNCachingURLProtocol::setEnvironment(std::make_shared<const RNCachingURLProtocol::Environment>(env));
  Reachability::setFlagsProvider(std::make_shared<SwitchableFlags>());

  auto front = KXLoopbackFront::start({}, &error);
  if (!front) return fail("front: " + error.localizedDescription());

  char folder[] = "/tmp/zn-e2e-XXXXXX";
  if (!::mkdtemp(folder)) return fail("temporary folder");
  const std::string credentials = std::string(folder) + "/front.json";
  if (!front->writeCredentials(credentials, &error)) return fail("credentials: " + error.localizedDescription());

  const std::string host = KXServiceHost();
  char* childArgs[] = {argv[1], argv[2], const_cast<char*>(credentials.c_str()), const_cast<char*>(host.c_str()), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, argv[1], nullptr, nullptr, childArgs, environ) != 0) return fail("cannot start node");
  int status = 0;
  bool exited = false;
  kx::MainQueue::shared().runUntil(
      [&] {
        exited = ::waitpid(pid, &status, WNOHANG) == pid;
        return exited;
      },
      240);
  if (!exited) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    std::printf("FAIL: the driver ran past its time\n");
  }
  std::filesystem::remove_all(folder);
  front.reset();

  int failures = (exited && WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : 1;
  // The forwarded call reached the fake service once, marked, with the
  // statistics query in place of "keyfrom"; the offline one never did.
  const auto echoes = upstream.requests("/test/echo");
  if (echoes.size() != 1) {
    failures += fail("forwarded calls upstream: " + std::to_string(echoes.size()));
  } else {
    const auto& r = echoes[0];
    if (!r.hasHeader("KX-NoNeedSync")) failures += fail("marker header missing upstream");
    if (r.query != "a=1&vendor=e2e&client=zarvelnote") failures += fail("query upstream: " + r.query);
    if (r.hasHeader("Proxy-Authorization")) failures += fail("the secret went upstream");
  }
  upstream.stop();
  std::printf("%s\n", failures == 0 ? "e2e: all checks passed" : "e2e: checks failed");
  return failures == 0 ? 0 : 1;
}
