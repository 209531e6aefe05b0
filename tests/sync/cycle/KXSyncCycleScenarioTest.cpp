// Whole cycles against the test note service (the metadata pull, the push,
// the pull after the push) over a real store: edits on both sides meet, and
// each check compares the service's tree with the store directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "support/TestUserEndpoints.h"
#include "sync/PushFixture.h"
#include "sync/SyncTestSupport.h"
#include "sync/UserMetaTestSupport.h"
#include "sync/cycle/KXSyncOperation.h"

namespace {

using kxtest::TestPushEndpoints;

class KXSyncCycleScenarioTest : public kxtest::PushFixture {
 protected:
  // Every live entry of each side is on the other, with the same name,
  // folder, version and body, and nothing is left marked here.
  void expectSameTrees() {
    auto rows = stored();
    std::size_t live = 0;
    for (const std::string& id : endpoints->entryIds()) {
      SCOPED_TRACE(id);
      const kx::Value e = endpoints->entry(id)["entry"];
      if (e["erased"].boolValue() || e["remoteRemoved"].intValue() == 1) {
        EXPECT_EQ(rows.count(id), 0u) << "erased on the service";
        continue;
      }
      ++live;
      auto row = rows.find(id);
      ASSERT_NE(row, rows.end());
      EXPECT_EQ(row->second["version"].intValue(), e["version"].intValue());
      EXPECT_EQ(row->second["localModified"].intValue(), 0);
      if (id == kxtest::TestSyncEndpoints::kRootId) continue;
      EXPECT_EQ(row->second["title"].stringValue(), e["name"].stringValue());
      EXPECT_EQ(row->second["parentId"].stringValue(), e["parentId"].stringValue());
      if (!e["dir"].boolValue() && !e["domain"].boolValue()) {
        EXPECT_EQ(localText(id), body(id));
      }
    }
    EXPECT_EQ(rows.size(), live) << "no entry here that the service lacks";
  }
  // The service's body of an entry, as the next download would bring it.
  std::string body(const std::string& id) {
    const auto pushes = pushEndpoints->pushesOf(id);
    for (auto it = pushes.rbegin(); it != pushes.rend(); ++it) {
      if ((*it)["bodyString"].isString()) return (*it)["bodyString"].string();
    }
    return bodies[id];
  }
  void remoteNote(const std::string& id, const std::string& parentId, const std::string& name,
                  const std::string& text) {
    bodies[id] = text;
    endpoints->putNote(id, parentId, name, text);
  }
  std::map<std::string, std::string> bodies;
};

TEST_F(KXSyncCycleScenarioTest, EditsOnBothSidesConvergeAndASecondCycleIsQuiet) {
  endpoints->putNotebook("WORK", "ROOT", "Work");
  endpoints->putNotebook("HOME", "ROOT", "Home");
  remoteNote("R1", "WORK", "remote one", "<p>r1</p>");
  remoteNote("R2", "WORK", "remote two", "<p>r2</p>");
  remoteNote("R3", "HOME", "remote three", "<p>r3</p>");
  ASSERT_EQ(wholeCycle(), "success");
  expectSameTrees();

  // Here: new notebook with a note and a file, a rename, a move, an edit,
  // an erase.
  localNotebook("NEW", "HOME", "New");
  localNote("L1", "NEW", "local one", "<p>l1</p>");
  localFile("F1", "NEW", "data.bin", std::string(5000, 'd'));
  editLocally("R1", {{"title", kx::Value("renamed here")}, {"localModified", kx::Value(1)}});
  editLocally("R2", {{"parentId", kx::Value("HOME")}, {"localModified", kx::Value(1)}});
  editNoteText("R3", "<p>r3 edited here</p>", 1700000100);
  editLocally("HOME", {{"title", kx::Value("House")}, {"localModified", kx::Value(1)}});
  // There: a new note, a rename of the other notebook.
  remoteNote("R4", "WORK", "remote four", "<p>r4</p>");
  endpoints->putEntry("WORK", {{"name", kx::Value("Job")}});

  ASSERT_EQ(wholeCycle(), "success");
  expectSameTrees();
  EXPECT_EQ(endpoints->entry("R1")["entry"]["name"].stringValue(), "renamed here");
  EXPECT_EQ(endpoints->entry("R2")["entry"]["parentId"].stringValue(), "HOME");
  EXPECT_EQ(body("R3"), "<p>r3 edited here</p>");
  EXPECT_EQ(stored()["WORK"]["title"].stringValue(), "Job");
  EXPECT_EQ(localText("R4"), "<p>r4</p>");

  // The file's content changes here: it is uploaded again.
  ASSERT_TRUE(KXFileManager::defaultManauger().writeContentFileSync(
      kx::ByteView(std::string(7000, 'e')), "F1", "data.bin"));
  editLocally("F1", {{"contentChanged", kx::Value(true)}, {"localModified", kx::Value(1)}});
  // And a note is erased here.
  editLocally("R4", {{"remoteRemoved", kx::Value(true)}, {"localModified", kx::Value(1)}});
  ASSERT_EQ(wholeCycle(), "success");
  const auto file = pushEndpoints->pushesOf("F1").back();
  EXPECT_EQ(pushEndpoints->uploaded(file["transmitId"].stringValue()), std::string(7000, 'e'));
  EXPECT_TRUE(endpoints->entry("R4")["entry"]["erased"].boolValue());
  expectSameTrees();

  // Nothing changed anywhere: no push, no erase, no upload, one empty page.
  const std::size_t pushes = pushEndpoints->pushRequests();
  const std::size_t erases = pushEndpoints->eraseRequests();
  const std::int64_t version = endpoints->rootVersion();
  service.clearRequests();
  ASSERT_EQ(wholeCycle(), "success");
  EXPECT_EQ(pushEndpoints->pushRequests(), pushes);
  EXPECT_EQ(pushEndpoints->eraseRequests(), erases);
  EXPECT_TRUE(service.requests(TestPushEndpoints::kUploadPath).empty());
  EXPECT_EQ(endpoints->rootVersion(), version);
  EXPECT_EQ(pullRequestsFor(std::to_string(version)), 2u) << "one empty page per pull";
  EXPECT_EQ(service.requests().size(), 2u);
}

// A note edited on both sides ends with both texts: this machine's under its
// id, the service's in a "(Sync Conflicted)" copy, also when the copy's first
// download fails.
class KXSyncCycleConflictTest : public KXSyncCycleScenarioTest,
                                public ::testing::WithParamInterface<int> {};

TEST_P(KXSyncCycleConflictTest, ANoteEditedOnBothSidesKeepsBothTexts) {
  const int failedDownloads = GetParam();
  remoteNote("N", "ROOT", "plan", "<p>base</p>");
  ASSERT_EQ(wholeCycle(), "success");
  editNoteText("N", "<p>mine</p>", 1700000200);
  remoteNote("N", "ROOT", "plan", "<p>theirs</p>");
  endpoints->failDownload("N", failedDownloads);

  for (int i = 0; i <= failedDownloads; ++i) wholeCycle();
  ASSERT_EQ(wholeCycle(), "success");
  EXPECT_EQ(body("N"), "<p>mine</p>");
  EXPECT_EQ(localText("N"), "<p>mine</p>");
  std::vector<std::string> copies;
  for (const auto& [id, row] : stored()) {
    if (row["title"].stringValue().find("(Sync Conflicted)") != std::string::npos)
      copies.push_back(id);
  }
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(localText(copies[0]), "<p>theirs</p>");
  EXPECT_EQ(body(copies[0]), "<p>theirs</p>") << "the copy reached the service";
  expectSameTrees();
}

INSTANTIATE_TEST_SUITE_P(Downloads, KXSyncCycleConflictTest, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "FailedDownloads" + std::to_string(info.param);
                         });

TEST_F(KXSyncCycleScenarioTest, AFailedPushIsCompletedByTheNextCycle) {
  ASSERT_EQ(wholeCycle(), "success");
  localNotebook("NB", "ROOT", "nb");
  for (int i = 0; i < 6; ++i)
    localNote("N" + std::to_string(i), "NB", "n" + std::to_string(i), "<p/>");
  pushEndpoints->failPush("N3", kxtest::Reply::json(502, "{}"));
  EXPECT_EQ(wholeCycle(), "push fail:-1011");
  ASSERT_EQ(wholeCycle(), "success");
  expectSameTrees();
  // Nothing was created twice on the service.
  EXPECT_EQ(endpoints->entryIds().size(), 8u);
}

// The cycle of the program (KXSyncOperation) over this test's store: its
// push stage is the real push.
class StoreCycleEnvironment : public KXSyncCycleEnvironment {
 public:
  StoreCycleEnvironment(std::shared_ptr<KXSyncUserMetaEnvironment> userMeta,
                        std::shared_ptr<KXSyncPullEnvironment> pull, KXSyncPushServices push)
      : userMeta_(std::move(userMeta)), pull_(std::move(pull)), push_(std::move(push)) {}
  bool canConnect() override { return true; }
  std::int64_t rootVersion() override { return pull_->baseVersion(); }
  std::int64_t dbStateInteger(const std::string&) override { return kContentVersion; }
  void setDbStateInteger(const std::string&, std::int64_t) override {}
  bool isFullPulling() override { return false; }
  void setIsFullPulling(bool) override {}
  void startRecreateIndex() override {}
  void changeNetWorkStatus(bool) override {}
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
    return std::make_shared<KXSyncPushProxy>(std::move(d), push_);
  }

 private:
  std::shared_ptr<KXSyncUserMetaEnvironment> userMeta_;
  std::shared_ptr<KXSyncPullEnvironment> pull_;
  KXSyncPushServices push_;
};

TEST_F(KXSyncCycleScenarioTest, TheSyncOperationPushesThroughTheRealPush) {
  kxtest::TestUserEndpoints users(service);
  users.setSelfInfo(R"({"userId":"u1"})");
  endpoints->putNote("R", "ROOT", "remote", "<p>r</p>");
  localNotebook("NB", "ROOT", "nb");
  localNote("L", "NB", "local", "<p>l</p>");
  auto userEnv = std::make_shared<kxtest::FakeUserMetaEnvironment>(service, root_.path());
  auto cycleEnv = std::make_shared<StoreCycleEnvironment>(userEnv, env, services());
  kx::NotificationCenter center;
  kxtest::SyncNotificationRecorder recorder(center);
  kx::OperationQueue queue("test.sync", 1);
  // The user meta is asked for twice: the service's root version then, and
  // after the push.
  users.setUserMeta(R"({"uid":"u1","rv":)" + std::to_string(endpoints->rootVersion()) +
                    R"(,"tv":0})");
  queue.addOperation(std::make_shared<KXSyncOperation>(cycleEnv, &center));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return recorder.log.count("end:1") == 1; }, 30));
  EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(20));
  data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
  EXPECT_EQ(pushEndpoints->order(), (std::vector<std::string>{"push:NB", "push:L"}));
  EXPECT_EQ(body("L"), "<p>l</p>");
  EXPECT_EQ(localText("R"), "<p>r</p>");
  auto rows = stored();
  EXPECT_EQ(rows["L"]["localModified"].intValue(), 0);
  EXPECT_EQ(rows["NB"]["localModified"].intValue(), 0);
}

}  // namespace
