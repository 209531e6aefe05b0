// The program's defaults of the sync environments, against the program's own
// store and folders (in this test program's temporary home): the cycle's
// versions and flags, the wipe of a user's data, the device id of the wipe
// confirmation, and the store's sync requests reaching the shared manager.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "CommonUtils/KXHooks.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXSyncRequestHooks.h"
#include "Data/store/KXDataContext.h"
#include "account/KXNetworkOperation.h"
#include "account/KXSession.h"
#include "account/KXStatitisc.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SleepNotifications.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"
#include "support/TestNoteService.h"
#include "support/TestUserEndpoints.h"
#include "sync/cycle/KXDeleteAllDataProxy.h"
#include "sync/cycle/KXSyncCycleEnvironment.h"
#include "sync/cycle/KXSyncManager.h"
#include "sync/cycle/KXSyncScriptBridge.h"
#include "sync/cycle/KXSyncState.h"
#include "sync/cycle/KXSyncUserMetaEnvironment.h"
#include "sync/pull/KXSyncPullEnvironment.h"

namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// Puts a root entry of `version` into the program's store and saves.
void storeRoot(std::int64_t version) {
  std::shared_ptr<KXDataContext> data = KXDataClient::defaultDataClient().dataContext();
  ASSERT_TRUE(data);
  data->performSyncWriteBlock([&](KXManagedObjectContext& write) {
    KXManagedObjectPtr root = write.insertNewObject("Root");
    ASSERT_TRUE(root);
    root->setValuesForKeys({{"fileId", kx::Value("ROOT")}, {"version", kx::Value(version)}});
    kx::Error error;
    ASSERT_TRUE(write.save(&error)) << error.localizedDescription();
  });
}

// The DbState value of `key` as the read context sees it; null when missing.
kx::Value storedState(const std::string& key) {
  kx::Value value;
  std::shared_ptr<KXDataContext> data = KXDataClient::defaultDataClient().dataContext();
  data->performSyncReadBlock([&](KXManagedObjectContext& read) {
    KXFetchRequest request("DbState");
    kx::Error error;
    for (const KXManagedObjectPtr& row : read.fetch(request, &error)) {
      if (row->stringValue("stateKey") == key) value = row->value("stateValue");
    }
  });
  return value;
}

TEST(KXSyncStoreDefaultsTest, CycleEnvironmentReadsAndWritesTheProgramsStore) {
  KXSyncCycleEnvironment environment;
  EXPECT_EQ(environment.rootVersion(), 0) << "no root entry yet";
  EXPECT_EQ(environment.dbStateInteger("dbContentVersion"), 0) << "missing state";

  storeRoot(7);
  EXPECT_EQ(environment.rootVersion(), 7);

  environment.setDbStateInteger("dbContentVersion", KXSyncCycleEnvironment::kContentVersion);
  EXPECT_EQ(storedState("dbContentVersion").intValue(), 10) << "saved where other readers see it";
  EXPECT_EQ(environment.dbStateInteger("dbContentVersion"), 10);
  environment.setDbStateInteger("dbContentVersion", 11);
  EXPECT_EQ(environment.dbStateInteger("dbContentVersion"), 11) << "the row is updated, not added";

  environment.setIsFullPulling(true);
  EXPECT_TRUE(KXSyncState::shared().isFullPulling());
  EXPECT_TRUE(environment.isFullPulling());
  environment.setIsFullPulling(false);
  EXPECT_FALSE(KXSyncState::shared().isFullPulling());
}

TEST(KXSyncStoreDefaultsTest, WipeRemovesOnlyTheUsersFolderAndEmptiesItsStore) {
  KXSession::defaultSession().setCurrentUser("u1");
  const fs::path appData = KXFileManager::defaultManauger().URLForApplicationDataDirectory();
  ASSERT_FALSE(appData.empty());
  KXDataContext::defaultContext().setNeedRefresh(true);
  KXDataContext::defaultContext().refreshContext();
  storeRoot(9);
  writeFile(appData / "u1" / "Contents" / "A" / "note", "mine");
  writeFile(appData / "u2" / "Contents" / "B" / "note", "another user's");
  writeFile(appData / "editor" / "version.txt", "shared by all users");
  writeFile(appData.parent_path() / "outside.txt", "not ours");

  KXSyncUserMetaEnvironment environment;
  // Ids that do not name one folder inside the application data folder.
  for (const char* bad : {"", ".", "..", "../outside.txt", "u2/Contents", "/tmp"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(environment.wipeUserData(bad));
  }
  EXPECT_TRUE(fs::exists(appData / "u2" / "Contents" / "B" / "note"));
  EXPECT_TRUE(fs::exists(appData.parent_path() / "outside.txt"));

  ASSERT_TRUE(environment.wipeUserData("u1"));
  EXPECT_FALSE(fs::exists(appData / "u1" / "Contents" / "A" / "note"));
  EXPECT_TRUE(fs::is_directory(appData / "u1")) << "made anew";
  EXPECT_TRUE(fs::exists(appData / "u2" / "Contents" / "B" / "note"));
  EXPECT_TRUE(fs::exists(appData / "editor" / "version.txt"));
  EXPECT_TRUE(fs::exists(appData.parent_path() / "outside.txt"));
  // The store was rebuilt over the emptied folder.
  EXPECT_EQ(KXSyncCycleEnvironment().rootVersion(), 0);
}

TEST(KXSyncStoreDefaultsTest, WipeConfirmationCarriesTheDeviceIdOfTheStatisticsQuery) {
  kxtest::TestNoteService service;
  ASSERT_TRUE(service.start(nullptr));
  service.attach(KXNetworkOperation::sharedTransport());
  kxtest::TestUserEndpoints endpoints(service);
  class Environment : public KXSyncUserMetaEnvironment {
   public:
    explicit Environment(std::string base) : base_(std::move(base)) {}
    std::string serviceBaseURL() override { return base_; }
    std::string currentUser() override { return "u1"; }

   private:
    std::string base_;
  };
  auto environment = std::make_shared<Environment>(service.baseURL());
  EXPECT_EQ(environment->deviceId(), KXStatitisc::serialNumber());
  if (fs::exists("/etc/machine-id")) {
    EXPECT_FALSE(environment->deviceId().empty());
  }

  auto proxy = std::make_shared<KXDeleteAllDataProxy>(environment);
  std::atomic<int> answers{0};
  proxy->deleteAllDataWithUserId("", [&](bool success, const kx::Error&) {
    EXPECT_TRUE(success);
    ++answers;
  });
  ASSERT_TRUE(service.waitForRequests(kxtest::TestUserEndpoints::kDeletePath, 1, 20));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return answers.load() == 1; }, 20));
  auto sent = service.requests(kxtest::TestUserEndpoints::kDeletePath);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].query.find(
                "device_id=" + KXStatitisc::escapeQueryValue(KXStatitisc::serialNumber()) + "&"),
            std::string::npos)
      << sent[0].query;
  service.stop();
}

TEST(KXSyncStoreDefaultsTest, WipeConfirmationWhileAnotherRunsIsAskedAgainEveryThreeSeconds) {
  kxtest::TestNoteService service;
  ASSERT_TRUE(service.start(nullptr));
  service.attach(KXNetworkOperation::sharedTransport());
  kxtest::TestUserEndpoints endpoints(service);
  class Environment : public KXSyncUserMetaEnvironment {
   public:
    explicit Environment(std::string base) : base_(std::move(base)) {}
    std::string serviceBaseURL() override { return base_; }

   private:
    std::string base_;
  };
  auto environment = std::make_shared<Environment>(service.baseURL());
  auto clock = std::make_shared<kxtest::KXManualDelayClock>();
  environment->clock = clock;
  auto proxy = std::make_shared<KXDeleteAllDataProxy>(environment);
  const std::string path = kxtest::TestUserEndpoints::kDeletePath;
  service.setFault(path, kxtest::Fault::held());

  std::atomic<int> first{0};
  std::atomic<int> second{0};
  proxy->finishDelete("u1", [&](bool success, const kx::Error&) { first += success ? 1 : 100; });
  ASSERT_TRUE(service.waitForInFlight(1));
  proxy->finishDelete("u2", [&](bool success, const kx::Error&) { second += success ? 1 : 100; });
  // Still busy 3 seconds later: asked again, not sent.
  clock->advance(KXDeleteAllDataProxy::kBusyRetrySeconds);
  kx::MainQueue::shared().drain();
  EXPECT_EQ(service.requests(path).size(), 1u);

  service.clearFault(path);
  service.releaseHeld();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return first.load() == 1; }));
  EXPECT_EQ(second.load(), 0) << "each wipe's block answers its own confirmation";
  clock->advance(KXDeleteAllDataProxy::kBusyRetrySeconds);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return second.load() == 1; }));
  std::vector<kxtest::RecordedRequest> sent = service.requests(path);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[1].query.find("users=u2"), std::string::npos) << sent[1].query;
  EXPECT_EQ(first.load(), 1);
  service.stop();
}

TEST(KXSyncStoreDefaultsTest, StoreSyncRequestsReachTheSharedManager) {
  KXSyncRequestHooks::resetForTesting();
  // No sync engine: nobody would ever call the block, so it runs at once.
  int ranAtOnce = 0;
  KXSyncRequestHooks::didAfterSync([&] { ++ranAtOnce; });
  EXPECT_EQ(ranAtOnce, 1);
  KXSyncRequestHooks::syncByManual();

  KXSyncManager::installSyncRequestHooks();
  ASSERT_TRUE(KXSyncRequestHooks::isInstalled());
  // Asleep, the shared manager refuses the request with sync-end false;
  // the kept block runs then, once, on the main queue.
  KXSyncManager& manager = KXSyncManager::defaultManager();
  kx::NotificationCenter::defaultCenter().post(kx::kWorkspaceWillSleepNotification, nullptr);
  ASSERT_TRUE(manager.isSystemSleeping());
  std::atomic<int> ran{0};
  std::atomic<bool> onMain{false};
  KXSyncRequestHooks::didAfterSync([&] {
    onMain = kx::MainQueue::isMainThread();
    ++ran;
  });
  EXPECT_EQ(ran.load(), 0) << "kept for the end of the next sync";
  KXSyncRequestHooks::syncByManual();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return ran.load() == 1; }));
  kx::MainQueue::shared().drain();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_TRUE(onMain.load());
  EXPECT_EQ(manager.syncQueue().operationCount(), 0u);
}

TEST(KXSyncStoreDefaultsTest, PullFailureListKeepsEntriesForFourRetriesInTheStore) {
  KXSyncPullEnvironment environment;
  const kx::Value entry = kx::Value::dict(
      {{"entry", kx::Value::dict({{"id", kx::Value("F1")}, {"name", kx::Value("a.note")}})}});
  const std::string json = R"({"entry": {"id": "F1", "name": "a.note"}})";
  auto saved = [&] {
    std::atomic<bool> done{false};
    environment.save([&] { done = true; });
    return kxtest::pumpMainUntil([&] { return done.load(); });
  };
  EXPECT_TRUE(environment.fetchPullFailed().empty());
  for (int failure = 1; failure <= 5; ++failure) {
    SCOPED_TRACE(failure);
    environment.pullFailedFileId("F1", json);
    ASSERT_TRUE(saved());
    kx::Array retried = environment.fetchPullFailed();
    if (failure <= 4) {
      ASSERT_EQ(retried.size(), 1u) << "offered again";
      EXPECT_EQ(retried[0], entry);
    } else {
      EXPECT_TRUE(retried.empty()) << "given up after the fifth failure";
    }
  }
  environment.deletePullFailedFileId("F1");
  environment.pullFailedFileId("F1", json);
  ASSERT_TRUE(saved());
  EXPECT_EQ(environment.fetchPullFailed().size(), 1u) << "a success starts the count again";
}

TEST(KXSyncStoreDefaultsTest, ScriptBridgeAnswersNeutrallyUntilOneIsInstalled) {
  std::shared_ptr<KXSyncScriptBridge> bridge = KXSyncScriptBridge::installed();
  EXPECT_EQ(bridge->currentModifingFile(), "");
  EXPECT_EQ(bridge->getEditorVersion(), "0");
  bridge->trackEvent("pull_conflict", 1);
  bridge->refreshOffice();
  class Editing : public KXSyncScriptBridge {
   public:
    std::string currentModifingFile() override { return "F9"; }
  };
  KXSyncScriptBridge::install(std::make_shared<Editing>());
  EXPECT_EQ(KXSyncScriptBridge::installed()->currentModifingFile(), "F9");
  KXSyncScriptBridge::install(nullptr);
  EXPECT_EQ(KXSyncScriptBridge::installed()->currentModifingFile(), "");
}

}  // namespace
