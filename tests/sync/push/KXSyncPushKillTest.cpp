// A push killed with SIGKILL at random moments loses nothing and creates
// nothing twice: a driver process (this test program, started again with a
// filter that runs only the driver) pushes a store to the test note service
// held by this process and is killed after a random number of requests has
// reached the service. After the last kill, one more push in this process
// finishes the work, and the service and the store agree.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sync/PushFixture.h"

extern char** environ;

namespace {

using kxtest::TestPushEndpoints;

constexpr const char* kDriverVariable = "ZN_PUSH_KILL_DRIVER";
const char* const kPassed[] = {"HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"};

// The driver: opens the store named by the environment, points the transport
// at the test service of the parent and pushes until it is killed or done.
TEST(KXSyncPushKillDriver, Run) {
  const char* store = std::getenv(kDriverVariable);
  if (!store) GTEST_SKIP() << "runs only as the kill test's driver";
  for (const char* name : kPassed) {
    const char* value = std::getenv((std::string("ZN_DRIVER_") + name).c_str());
    if (value) setenv(name, value, 1);
  }
  std::ifstream pemFile(std::getenv("ZN_DRIVER_PEM"));
  const std::string pem((std::istreambuf_iterator<char>(pemFile)),
                        std::istreambuf_iterator<char>());
  const std::string host = std::getenv("ZN_DRIVER_HOST");
  kx::HTTPTransport& transport = KXNetworkOperation::sharedTransport();
  transport.setConnectTo({host + "::127.0.0.1:" + std::getenv("ZN_DRIVER_PORT")});
  transport.setTrustedCertificates(pem);

  auto env = std::make_shared<kxtest::TestStoreEnvironment>(store);
  auto data = std::make_shared<KXDataContext>(env);
  KXDataClient client(data);
  client.openStore();
  ASSERT_TRUE(kxtest::waitForQueue(data->dbQueue()));
  auto controller =
      std::make_shared<KXConcurrentController>(KXConcurrentController::kPushConcurrentLen);
  KXSyncPushServices services;
  services.client = &client;
  services.serviceBaseURL = "https://" + host;
  services.controller = controller.get();
  services.ui = std::make_shared<KXHeadlessUIPort>();
  kxtest::EventLog log;
  auto delegate = std::make_shared<kxtest::RecordingPushDelegate>(&log);
  auto proxy = std::make_shared<KXSyncPushProxy>(delegate, services);
  proxy->push();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return !log.events().empty(); }, 120));
  data->performSyncWriteBlock([](KXManagedObjectContext&) {});
}

class KXSyncPushKillTest : public kxtest::PushFixture {
 protected:
  pid_t spawnDriver() {
    std::vector<std::string> vars;
    vars.push_back(std::string(kDriverVariable) + "=" + root_.path() + "/appdata");
    for (const char* name : kPassed) {
      if (const char* value = std::getenv(name)) {
        vars.push_back(std::string("ZN_DRIVER_") + name + "=" + value);
      }
    }
    vars.push_back("ZN_DRIVER_PEM=" + pemPath);
    vars.push_back("ZN_DRIVER_HOST=" + service.host());
    vars.push_back("ZN_DRIVER_PORT=" + std::to_string(service.port()));
    for (char** e = environ; *e; ++e) vars.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    std::string filter = "--gtest_filter=KXSyncPushKillDriver.Run";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    return pid;
  }
  // Closes this process's store so that only the driver writes it.
  void closeStore() {
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    client_.reset();
    data_.reset();
  }
  void openStore() {
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    ASSERT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
  }

  std::string pemPath;
};

TEST_F(KXSyncPushKillTest, KilledPushesLoseNothingAndCreateNothingTwice) {
  pemPath = root_.path() + "/authority.pem";
  std::ofstream(pemPath) << kxtest::TestNoteService::authorityPEM();
  // The service holds notes and notebooks to be erased; this machine has a
  // tree of new notebooks, notes and files, and erases.
  endpoints->putNotebook("OLD", "ROOT", "old");
  for (int i = 0; i < 6; ++i) endpoints->putNote("OLD" + std::to_string(i), "OLD", "o", "<p>o</p>");
  ASSERT_EQ(cycle(), "success");
  for (const char* id : {"OLD", "OLD0", "OLD1", "OLD2", "OLD3", "OLD4", "OLD5"}) {
    editLocally(id, {{"remoteRemoved", kx::Value(true)}, {"localModified", kx::Value(1)}});
  }
  std::set<std::string> expected{kxtest::TestSyncEndpoints::kRootId};
  for (int b = 0; b < 6; ++b) {
    const std::string nb = "NB" + std::to_string(b);
    localNotebook(nb, b < 3 ? "ROOT" : "NB" + std::to_string(b - 3), nb);
    expected.insert(nb);
    for (int n = 0; n < 20; ++n) {
      const std::string id = nb + "N" + std::to_string(n);
      localNote(id, nb, id, "<p>" + id + "</p>");
      expected.insert(id);
    }
    const std::string file = nb + "F";
    localFile(file, nb, file + ".bin", std::string(20000 + b, 'f'));
    expected.insert(file);
  }
  closeStore();

  std::mt19937 random(20261211);
  std::uniform_int_distribution<int> after(0, 9);
  int kills = 0;
  for (int run = 0; run < 40 && kills < 24; ++run) {
    const std::size_t seen = service.requests().size();
    pid_t pid = spawnDriver();
    ASSERT_GT(pid, 0);
    const std::size_t target = seen + static_cast<std::size_t>(after(random));
    int status = 0;
    bool exited = false;
    // Waits for the random number of requests, or for the driver to end.
    while (!service.waitForRequests("", target, 0.05)) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        break;
      }
    }
    if (!exited) {
      ASSERT_EQ(kill(pid, SIGKILL), 0);
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      ++kills;
    }
  }
  EXPECT_GE(kills, 20);
  // The drivers did push (the kills came during their work, not before it).
  const std::size_t byDrivers = pushEndpoints->pushRequests() + pushEndpoints->eraseRequests();
  EXPECT_GT(byDrivers, 40u);

  openStore();
  ASSERT_EQ(push(), "push success");
  pushEndpoints->clearOrder();
  ASSERT_EQ(push(), "push success");
  EXPECT_TRUE(pushEndpoints->order().empty()) << "nothing left to push";

  // The service holds exactly the tree made here, once, and the store agrees.
  std::set<std::string> live;
  for (const std::string& id : endpoints->entryIds()) {
    if (!endpoints->entry(id)["entry"]["erased"].boolValue()) live.insert(id);
  }
  EXPECT_EQ(live, expected);
  auto rows = stored();
  EXPECT_EQ(rows.size(), expected.size());
  for (const std::string& id : expected) {
    SCOPED_TRACE(id);
    ASSERT_EQ(rows.count(id), 1u);
    EXPECT_EQ(rows[id]["localModified"].intValue(), 0);
    if (id == kxtest::TestSyncEndpoints::kRootId) continue;
    const kx::Value e = endpoints->entry(id)["entry"];
    EXPECT_EQ(rows[id]["parentId"].stringValue(), e["parentId"].stringValue());
    EXPECT_EQ(rows[id]["version"].intValue(), e["version"].intValue());
    if (rows[id]["entity"].stringValue() == "Note") EXPECT_EQ(serviceBody(id), "<p>" + id + "</p>");
  }
}

}  // namespace
