// The sync engine end to end against the test note service: whole cycles of
// the program (KXSyncOperation) over a store of the test's own, with the tag
// sync as the push's first step and the file watcher feeding the push; and
// the long-poll connection driving a real sync manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXStoreState.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/Tag.h"
#include "account/KXNetworkOperation.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "platform/SleepNotifications.h"
#include "support/KXManualDelayClock.h"
#include "support/TestLongPollEndpoints.h"
#include "support/TestTagEndpoints.h"
#include "support/TestUserEndpoints.h"
#include "sync/PushFixture.h"
#include "sync/SyncTestSupport.h"
#include "sync/UserMetaTestSupport.h"
#include "sync/cycle/KXFileWatcher.h"
#include "sync/cycle/KXLiveConnection.h"
#include "sync/cycle/KXSyncManager.h"
#include "sync/cycle/KXSyncOperation.h"
#include "sync/cycle/KXSyncTagProxy.h"
#include "sync/push/KXSyncPushTagStep.h"

namespace {

using kxtest::TestPushEndpoints;
using kxtest::TestTagEndpoints;

// The push's tag step over the test's tag proxy, as the program's installed
// step is over the shared one.
class ProxyTagStep : public KXSyncPushTagStep {
 public:
  explicit ProxyTagStep(KXSyncTagProxy* proxy) : proxy_(proxy) {}
  void pushTags(std::function<void()> done) override {
    proxy_->pushTags([done = std::move(done)](std::int64_t, const kx::Error&) {
      if (done) done();
    });
  }

 private:
  KXSyncTagProxy* const proxy_;
};

// The cycle of the program over this test's store, service and tag proxy.
class StoreCycleEnvironment : public KXSyncCycleEnvironment {
 public:
  StoreCycleEnvironment(std::shared_ptr<KXSyncUserMetaEnvironment> userMeta,
                        std::shared_ptr<KXSyncPullEnvironment> pull, KXSyncPushServices push,
                        KXDataClient* client, KXSyncTagProxy* tags)
      : userMeta_(std::move(userMeta)),
        pull_(std::move(pull)),
        push_(std::move(push)),
        client_(client),
        tags_(tags) {}
  bool canConnect() override { return true; }
  std::int64_t rootVersion() override { return pull_->baseVersion(); }
  std::int64_t dbStateInteger(const std::string& key) override {
    if (key == "dbTagVersion") return client_->state().dbTagVersion().intValue();
    return kContentVersion;
  }
  void setDbStateInteger(const std::string&, std::int64_t) override {}
  bool isFullPulling() override { return false; }
  void setIsFullPulling(bool) override {}
  void startRecreateIndex() override {}
  void changeNetWorkStatus(bool) override {}
  void pullTags() override { tags_->pullTags(); }
  std::shared_ptr<KXSyncUserMeta> makeUserMeta(std::weak_ptr<KXSyncUserMetaDelegate> d) override {
    auto puller = std::make_shared<KXSyncUserMeta>(userMeta_);
    puller->setDelegate(std::move(d));
    return puller;
  }
  std::shared_ptr<KXSyncPullProxy> makePullProxy(
      std::weak_ptr<KXSyncPullProxyDelegate> d) override {
    return std::make_shared<KXSyncPullProxy>(std::move(d), pull_);
  }
  std::shared_ptr<KXSyncPushProxy> makePushProxy(
      std::weak_ptr<KXSyncPushProxyDelegate> d) override {
    return std::make_shared<KXSyncPushProxy>(std::move(d), push_,
                                             std::make_shared<ProxyTagStep>(tags_));
  }

 private:
  std::shared_ptr<KXSyncUserMetaEnvironment> userMeta_;
  std::shared_ptr<KXSyncPullEnvironment> pull_;
  KXSyncPushServices push_;
  KXDataClient* const client_;
  KXSyncTagProxy* const tags_;
};

class KXSyncEngineScenarioTest : public kxtest::PushFixture {
 protected:
  void SetUp() override {
    PushFixture::SetUp();
    users = std::make_unique<kxtest::TestUserEndpoints>(service);
    users->setSelfInfo(R"({"userId":"u1"})");
    tagEndpoints = std::make_unique<TestTagEndpoints>(
        service, [](const std::string& json) { return objectFromJSONString(json); });
    tagProxy = std::make_unique<KXSyncTagProxy>(client_.get(), service.baseURL());
    cycleEnv = std::make_shared<StoreCycleEnvironment>(
        std::make_shared<kxtest::FakeUserMetaEnvironment>(service, root_.path()), env, services(),
        client_.get(), tagProxy.get());
    recorder = std::make_unique<kxtest::SyncNotificationRecorder>(center);
  }
  void TearDown() override {
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(30));
    ASSERT_TRUE(kxtest::waitForQueue(tagProxy->queue(), 30));
    recorder.reset();
    PushFixture::TearDown();
    tagProxy.reset();
  }

  // One cycle of the program, the service's user meta telling its root and
  // tag versions; true when it ended successfully. The tag pull it may start
  // has been applied on return.
  bool programCycle() {
    users->setUserMeta(R"({"uid":"u1","rv":)" + std::to_string(endpoints->rootVersion()) +
                       R"(,"tv":)" + std::to_string(tagEndpoints->version()) + "}");
    const std::size_t ended = recorder->log.count("end:1") + recorder->log.count("end:0");
    queue.addOperation(std::make_shared<KXSyncOperation>(cycleEnv, &center));
    EXPECT_TRUE(kxtest::pumpMainUntil(
        [&] { return recorder->log.count("end:1") + recorder->log.count("end:0") > ended; }, 60));
    EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(30));
    EXPECT_TRUE(kxtest::waitForQueue(tagProxy->queue(), 30));
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    return recorder->log.events().back() == "end:1";
  }

  void putLocalTag(const std::string& tagId, const std::string& name, const std::string& marks) {
    Write([&](KXManagedObjectContext& context) {
      kxtest::Put(context, "Tag",
                  {{"tagId", kx::Value(tagId)},
                   {"name", kx::Value(name)},
                   {"dateCreated", kx::Value(1000)},
                   {"dateUpdated", kx::Value(1000)},
                   {"isLocalCreated", kx::Value(marks.find("created") != std::string::npos)},
                   {"isLocalModified", kx::Value(false)},
                   {"isLocalRemoved", kx::Value(marks.find("removed") != std::string::npos)}});
    });
  }
  // Stored tags by id, as "name|marks".
  std::map<std::string, std::string> localTags() {
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    kx::Error error;
    auto rows = client_->tags().readTagSyncForCondition(kx::Dictionary(), &error);
    EXPECT_TRUE(rows) << error.localizedDescription();
    std::map<std::string, std::string> out;
    if (!rows) return out;
    for (const auto& tag : *rows) {
      out[tag->tagId()] = tag->name() + "|" + (tag->isLocalCreated() ? "C" : "") +
                          (tag->isLocalModified() ? "M" : "") + (tag->isLocalRemoved() ? "R" : "");
    }
    return out;
  }
  std::map<std::string, std::string> serviceTags() {
    std::map<std::string, std::string> out;
    for (const auto& [id, tag] : tagEndpoints->tags()) out[id] = tag["name"].stringValue();
    return out;
  }

  std::unique_ptr<kxtest::TestUserEndpoints> users;
  std::unique_ptr<TestTagEndpoints> tagEndpoints;
  std::unique_ptr<KXSyncTagProxy> tagProxy;
  std::shared_ptr<StoreCycleEnvironment> cycleEnv;
  kx::NotificationCenter center;
  std::unique_ptr<kxtest::SyncNotificationRecorder> recorder;
  kx::OperationQueue queue{"test.sync", 1};
};

TEST_F(KXSyncEngineScenarioTest, TagsGoUpBeforeTheEntriesComeDownRenamedAndRemovalsAreRetried) {
  tagEndpoints->putTag("T1", "Work");
  tagEndpoints->putTag("T2", "Old");
  ASSERT_TRUE(programCycle());
  ASSERT_EQ(localTags(), (std::map<std::string, std::string>{{"T1", "Work|"}, {"T2", "Old|"}}));

  // A tag made here travels with the first cycle, ahead of the entries.
  putLocalTag("T3", "Trip", "created");
  localNotebook("NB", "ROOT", "nb");
  localNote("N", "NB", "note", "<p>n</p>");
  service.clearRequests();
  ASSERT_TRUE(programCycle());
  EXPECT_EQ(serviceTags(),
            (std::map<std::string, std::string>{{"T1", "Work"}, {"T2", "Old"}, {"T3", "Trip"}}));
  EXPECT_EQ(localTags(),
            (std::map<std::string, std::string>{{"T1", "Work|"}, {"T2", "Old|"}, {"T3", "Trip|"}}));
  int tagSet = -1;
  int firstPush = -1;
  const auto requests = service.requests();
  for (int i = 0; i < static_cast<int>(requests.size()); ++i) {
    const std::string method = kxtest::queryValue(requests[i].query, "method");
    if (requests[i].path == TestTagEndpoints::kTagPath && method == "set" && tagSet < 0) tagSet = i;
    if (requests[i].path == kxtest::TestSyncEndpoints::kSyncPath && method == "push" &&
        firstPush < 0)
      firstPush = i;
  }
  ASSERT_GE(tagSet, 0);
  ASSERT_GE(firstPush, 0);
  EXPECT_LT(tagSet, firstPush);
  EXPECT_EQ(serviceBody("N"), "<p>n</p>");

  // A rename on the service comes down with the next cycle.
  tagEndpoints->putTag("T1", "Job");
  ASSERT_TRUE(programCycle());
  EXPECT_EQ(localTags(),
            (std::map<std::string, std::string>{{"T1", "Job|"}, {"T2", "Old|"}, {"T3", "Trip|"}}));

  // A removal whose push fails is sent again by the next cycle.
  std::shared_ptr<Tag> old = client_->reads().objectForTagID("T2");
  ASSERT_TRUE(old);
  auto removed = std::make_shared<std::promise<void>>();
  client_->writes().deleteTags({old->objectID()}, [removed](const KXResultInfo&, const kx::Error&) {
    removed->set_value();
  });
  removed->get_future().wait();
  localNote("N2", "NB", "second", "<p>2</p>");
  tagEndpoints->failNextSets(1);
  programCycle();
  EXPECT_EQ(serviceTags().count("T2"), 1u);
  EXPECT_EQ(localTags()["T2"], "Old|R");
  EXPECT_EQ(serviceBody("N2"), "<p>2</p>") << "a failed tag push does not stop the entries";
  ASSERT_TRUE(programCycle());
  EXPECT_EQ(serviceTags(), (std::map<std::string, std::string>{{"T1", "Job"}, {"T3", "Trip"}}));
  EXPECT_EQ(localTags(), (std::map<std::string, std::string>{{"T1", "Job|"}, {"T3", "Trip|"}}));
}

// The watcher's environment over the test's store; the sync it asks for is
// counted, the test runs the cycle.
class StoreWatcherEnvironment : public KXFileWatcherEnvironment {
 public:
  explicit StoreWatcherEnvironment(KXDataClient* client) : client_(client) {}
  KXDataClient& client() override { return *client_; }
  void save(std::function<void()> done) override {
    client_->state().performSave([done = std::move(done)](const KXResultInfo&, const kx::Error&) {
      if (done) done();
    });
  }
  void startSync() override { syncs.add("sync"); }
  void refreshOffice() override {}

  kxtest::EventLog syncs;

 private:
  KXDataClient* const client_;
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

TEST_F(KXSyncEngineScenarioTest, AFileSavedFromOutsideIsPushedWithItsNewBytes) {
  const std::string report(900, 'a');
  const std::string small(100, 's');
  endpoints->putEntry("F1",
                      {{"parentId", kx::Value("ROOT")},
                       {"name", kx::Value("report.xlsx")},
                       {"domain", kx::Value(1)}},
                      &report);
  endpoints->putEntry("F2",
                      {{"parentId", kx::Value("ROOT")},
                       {"name", kx::Value("small.docx")},
                       {"domain", kx::Value(1)}},
                      &small);
  ASSERT_TRUE(programCycle());
  const std::int64_t pulledVersion = stored()["F1"]["version"].intValue();
  ASSERT_GT(pulledVersion, 0);

  auto clock = std::make_shared<kxtest::KXManualDelayClock>();
  auto watcherEnv = std::make_shared<StoreWatcherEnvironment>(client_.get());
  auto watcher = std::make_unique<KXFileWatcher>(watcherEnv, clock);
  KXFileManager& files = KXFileManager::defaultManauger();
  const std::string dataDirectory = files.URLForCurrentUserDataDirectory();
  ASSERT_TRUE(watcher->startWatchFile(dataDirectory));

  // One batch: the real save, a file too small to count, a folder the store
  // does not know.
  const std::string path = files.URLForContentFile("F1", false, "report.xlsx");
  const std::string smallPath = files.URLForContentFile("F2", false, "small.docx");
  const std::string unknown = dataDirectory + "/Contents/NOSUCH/other.xlsx";
  const std::string saved(2500, 'b');
  WriteFile(smallPath, std::string(300, 't'));
  WriteFile(unknown, std::string(900, 'u'));
  WriteFile(path, saved);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] {
    std::vector<std::string> pending = watcher->pendingPaths();
    for (const auto& p : {path, smallPath, unknown}) {
      if (std::find(pending.begin(), pending.end(), p) == pending.end()) return false;
    }
    return true;
  }));
  clock->advance(KXFileWatcher::kLatencySeconds);
  ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return watcherEnv->syncs.count("sync") == 1; }));
  data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
  auto rows = stored();
  EXPECT_EQ(rows["F1"]["version"].intValue(), pulledVersion + 1);
  EXPECT_EQ(rows["F1"]["localModified"].intValue(), 1);
  EXPECT_TRUE(rows["F1"]["contentChanged"].boolValue());
  EXPECT_EQ(rows["F2"]["localModified"].intValue(), 0);

  // The next cycle uploads the new bytes; the small file stays as it was.
  ASSERT_TRUE(programCycle());
  const auto pushes = pushEndpoints->pushesOf("F1");
  ASSERT_EQ(pushes.size(), 1u);
  EXPECT_EQ(pushEndpoints->uploaded(pushes[0]["transmitId"].stringValue()), saved);
  EXPECT_TRUE(pushEndpoints->pushesOf("F2").empty());
  rows = stored();
  EXPECT_EQ(rows["F1"]["localModified"].intValue(), 0);
  EXPECT_FALSE(rows["F1"]["contentChanged"].boolValue());
  EXPECT_EQ(rows["F1"]["version"].intValue(),
            endpoints->entry("F1")["entry"]["version"].intValue());

  watcher->stopWatchFileChange();
  clock->advance(60);
  ASSERT_TRUE(kxtest::waitForQueue(watcher->queue()));
  kx::MainQueue::shared().drain();
}

// The sync manager's long-poll connection is a real one, whose notices ask
// the manager for a sync; the cycles are counted in their user meta step.
class LiveManagerEnvironment : public kxtest::FakeManagerEnvironment {
 public:
  void multiportConnect() override {
    FakeManagerEnvironment::multiportConnect();
    connection->multiportConnect();
  }
  void stopLiveConnect() override {
    FakeManagerEnvironment::stopLiveConnect();
    connection->stop();
  }
  std::shared_ptr<KXLiveConnection> connection;
};

class ManagerLiveEnvironment : public KXLiveConnectionEnvironment {
 public:
  explicit ManagerLiveEnvironment(std::string baseURL) : baseURL_(std::move(baseURL)) {}
  std::string serviceBaseURL() override { return baseURL_; }
  bool isWorking() override { return manager->isWorking(); }
  std::int64_t baseVersion() override { return version ? version() : localVersion.load(); }
  void sync() override { manager->sync(); }
  void startPenPull() override {}

  KXSyncManager* manager = nullptr;
  // The store's version when set, else localVersion.
  std::function<std::int64_t()> version;
  std::atomic<std::int64_t> localVersion{0};

 private:
  const std::string baseURL_;
};

class KXSyncLivePollScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    polls = std::make_unique<kxtest::TestLongPollEndpoints>(
        service, [this] { return serviceVersion.load(); });
    cycles = std::make_shared<kxtest::FakeCycleEnvironment>();
    managerEnv = std::make_shared<LiveManagerEnvironment>();
    manager = std::make_unique<KXSyncManager>(
        cycles, managerEnv, std::make_shared<kxtest::RecordingAlerts>(),
        std::make_shared<kxtest::KXManualDelayClock>(), &center);
    liveEnv = std::make_shared<ManagerLiveEnvironment>(service.baseURL());
    liveEnv->manager = manager.get();
    connection = std::make_shared<KXLiveConnection>(liveEnv, clock);
    managerEnv->connection = connection;
  }
  void TearDown() override {
    connection->stop();
    polls->shutdown();
    ASSERT_TRUE(kxtest::waitForQueue(connection->queue()));
    manager->cancelTaskWhenLogoff();
    manager.reset();
    kx::MainQueue::shared().drain();
    service.stop();
  }

  void tick() {
    clock->advance(KXLiveConnection::kTickSeconds);
    ASSERT_TRUE(kxtest::waitForQueue(connection->queue()));
  }
  void tickToHeldPoll() {
    const int held = polls->heldPolls();
    tick();
    ASSERT_TRUE(polls->waitForHeldPolls(held + 1));
  }
  std::size_t cyclesRun() { return cycles->log.count("userMeta(self)"); }
  void waitIdle() {
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return manager->syncQueue().operationCount() == 0; }));
  }
  std::size_t pollRequests() { return service.requests(KXLiveConnection::kPollPath).size(); }

  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestLongPollEndpoints> polls;
  std::atomic<std::int64_t> serviceVersion{0};
  kx::NotificationCenter center;
  std::shared_ptr<kxtest::FakeCycleEnvironment> cycles;
  std::shared_ptr<LiveManagerEnvironment> managerEnv;
  std::unique_ptr<KXSyncManager> manager;
  std::shared_ptr<ManagerLiveEnvironment> liveEnv;
  std::shared_ptr<kxtest::KXManualDelayClock> clock =
      std::make_shared<kxtest::KXManualDelayClock>();
  std::shared_ptr<KXLiveConnection> connection;
};

TEST_F(KXSyncLivePollScenarioTest, SignOutAndSleepEndThePollAndWakeStartsItAgain) {
  manager->performLiveConnect();
  tickToHeldPoll();

  // Sleep: the held poll ends, and no tick polls while asleep.
  center.post(kx::kWorkspaceWillSleepNotification);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return !connection->isPolling(); }));
  ASSERT_TRUE(service.waitForInFlight(0));
  tick();
  tick();
  EXPECT_EQ(pollRequests(), 1u);
  EXPECT_EQ(cyclesRun(), 0u);

  // What changed while asleep is seen after wake: wake's own cycle, then the
  // poll's notice.
  liveEnv->localVersion = 2;
  polls->change([&] { serviceVersion = 3; });
  center.post(kx::kWorkspaceDidWakeNotification);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return cyclesRun() == 1; }));
  waitIdle();
  tick();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return cyclesRun() == 2; }));
  waitIdle();
  EXPECT_EQ(pollRequests(), 2u);
  liveEnv->localVersion = 3;
  tickToHeldPoll();
  EXPECT_EQ(pollRequests(), 3u);

  // Sign-out: the held poll ends and the tick stops.
  manager->cancelTaskWhenLogoff();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return !connection->isPolling(); }));
  ASSERT_TRUE(service.waitForInFlight(0));
  EXPECT_FALSE(connection->isTicking());
  tick();
  EXPECT_EQ(pollRequests(), 3u);
}

TEST_F(KXSyncEngineScenarioTest, AChangeOnTheServiceWhileThePollIsHeldStartsExactlyOneCycle) {
  endpoints->putNote("A", "ROOT", "a", "<p>a</p>");
  ASSERT_TRUE(programCycle());

  kxtest::TestLongPollEndpoints polls(service, [this] { return endpoints->rootVersion(); });
  auto clock = std::make_shared<kxtest::KXManualDelayClock>();
  auto managerEnv = std::make_shared<LiveManagerEnvironment>();
  KXSyncManager manager(cycleEnv, managerEnv, std::make_shared<kxtest::RecordingAlerts>(),
                        std::make_shared<kxtest::KXManualDelayClock>(), &center);
  auto liveEnv = std::make_shared<ManagerLiveEnvironment>(service.baseURL());
  liveEnv->manager = &manager;
  liveEnv->version = [this] { return storedRootVersion(); };
  auto connection = std::make_shared<KXLiveConnection>(liveEnv, clock);
  managerEnv->connection = connection;
  const auto tickToHeldPoll = [&] {
    const int held = polls.heldPolls();
    clock->advance(KXLiveConnection::kTickSeconds);
    ASSERT_TRUE(kxtest::waitForQueue(connection->queue()));
    ASSERT_TRUE(polls.waitForHeldPolls(held + 1));
  };
  const std::size_t endedBefore = recorder->log.count("end:1");
  manager.performLiveConnect();
  tickToHeldPoll();

  polls.change([&] {
    endpoints->putNote("B", "ROOT", "b", "<p>b</p>");
    users->setUserMeta(R"({"uid":"u1","rv":)" + std::to_string(endpoints->rootVersion()) +
                       R"(,"tv":)" + std::to_string(tagEndpoints->version()) + "}");
  });
  ASSERT_TRUE(
      kxtest::pumpMainUntil([&] { return recorder->log.count("end:1") == endedBefore + 1; }, 30));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return manager.syncQueue().operationCount() == 0; }));
  data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
  EXPECT_EQ(localText("B"), "<p>b</p>");
  EXPECT_EQ(storedRootVersion(), endpoints->rootVersion());

  // The next poll is held again, and no other cycle ran.
  tickToHeldPoll();
  kx::MainQueue::shared().drain();
  EXPECT_EQ(recorder->log.count("start"), 1u);
  EXPECT_EQ(recorder->log.count("end:1") + recorder->log.count("end:0"), endedBefore + 1);

  connection->stop();
  polls.shutdown();
  ASSERT_TRUE(kxtest::waitForQueue(connection->queue()));
  manager.cancelTaskWhenLogoff();
}

}  // namespace
