#include "sync/pull/KXSyncPullProxy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "account/KXNetworkOperation.h"
#include "support/QueueBarrier.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "sync/SyncPullTestSupport.h"
#include "sync/cycle/KXConcurrentController.h"

namespace {

using kxtest::FakeObjectPull;
using Outcome = kxtest::FakeObjectPull::Outcome;

std::vector<std::string> ids(const std::vector<kx::Dictionary>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item["fileId"].stringValue());
  return out;
}

std::size_t indexOf(const std::vector<std::string>& list, const std::string& id) {
  return static_cast<std::size_t>(std::find(list.begin(), list.end(), id) - list.begin());
}

class KXSyncPullProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    endpoints = std::make_unique<kxtest::TestSyncEndpoints>(service);
    env = std::make_shared<kxtest::FakePullEnvironment>(service.baseURL(), &log);
    applier = std::make_shared<kxtest::RecordingApplier>(endpoints.get(), &log);
    env->applierToUse = applier;
    delegate = std::make_shared<kxtest::RecordingPullDelegate>(&log);
    proxy = std::make_shared<KXSyncPullProxy>(delegate, env);
  }
  void TearDown() override {
    proxy->clearEnvironment();
    service.releaseHeld();
    service.stop();
    endpoints.reset();
  }
  // Waits until the pull has reported (success or failure).
  // The pull's end: "success" or "fail <domain> <code>" (an object pull's
  // own "failed <id>" is not an end).
  bool ended() {
    return kxtest::pumpMainUntil([&] { return log.count("success") + countPrefix("fail ") > 0; },
                                 20);
  }
  std::size_t countPrefix(const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& e : log.events()) n += e.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  std::vector<kxtest::RecordedRequest> pullRequests() {
    std::vector<kxtest::RecordedRequest> pulls;
    for (auto& r : service.requests(kxtest::TestSyncEndpoints::kSyncPath)) {
      if (kxtest::formValue(r.query, "method") == "pull") pulls.push_back(r);
    }
    return pulls;
  }

  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestSyncEndpoints> endpoints;
  kxtest::EventLog log;
  std::shared_ptr<kxtest::FakePullEnvironment> env;
  std::shared_ptr<kxtest::RecordingApplier> applier;
  std::shared_ptr<kxtest::RecordingPullDelegate> delegate;
  std::shared_ptr<KXSyncPullProxy> proxy;
};

TEST_F(KXSyncPullProxyTest, PagesUntilNotTruncatedThenAppliesOnceParentsFirst) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  for (int i = 0; i < 1100; ++i) {
    endpoints->putNote("N" + std::to_string(i), "NB", "n" + std::to_string(i) + ".note", "body");
  }
  // The notebook changes last, so its entry comes on the last page, after
  // its notes.
  endpoints->putNotebook("NB", "ROOT", "Work renamed");
  proxy->pull();
  ASSERT_TRUE(ended());
  EXPECT_EQ(log.count("success"), 1u);

  auto pulls = pullRequests();
  ASSERT_EQ(pulls.size(), 3u) << "1102 entries in pages of 512";
  EXPECT_EQ(kxtest::formValue(pulls[0].body, "lastId"), "");
  EXPECT_NE(kxtest::formValue(pulls[1].body, "lastId"), "");
  EXPECT_NE(kxtest::formValue(pulls[2].body, "lastId"), kxtest::formValue(pulls[1].body, "lastId"));
  for (const auto& r : pulls) {
    EXPECT_EQ(kxtest::formValue(r.body, "baseVersion"), "0");
    EXPECT_EQ(kxtest::formValue(r.body, "limit"), "512");
  }
  std::lock_guard<std::mutex> lock(applier->mu_);
  ASSERT_EQ(applier->batches.size(), 1u);
  EXPECT_EQ(applier->pullRequestsAtApply[0], 3u) << "nothing applied before the last page";
  const KXSyncPullBatch& batch = applier->batches[0];
  EXPECT_EQ(batch.newAndModifyNotes.size(), 1100u);
  EXPECT_EQ(ids(batch.newAndModifyNotebooks), (std::vector<std::string>{"ROOT", "NB"}));
  EXPECT_EQ(batch.newAndModifyNotebooks[1]["title"].stringValue(), "Work renamed");
  // The new root is added without its version and placement, the root
  // version moves to the service's at the end.
  EXPECT_EQ(countPrefix("addRoot"), 1u);
  for (const auto& e : log.events()) {
    if (e.rfind("addRoot", 0) == 0) {
      EXPECT_EQ(e.find("version"), std::string::npos) << e;
      EXPECT_EQ(e.find("parentId"), std::string::npos) << e;
      EXPECT_EQ(e.find("remoteRemoved"), std::string::npos) << e;
    }
  }
  EXPECT_EQ(log.count("rootVersion " + std::to_string(endpoints->rootVersion())), 1u);
  EXPECT_EQ(log.count("session 0"), 3u) << "the session version is the base, on every page";
  EXPECT_EQ(log.count("session " + std::to_string(endpoints->rootVersion())), 1u);
}

TEST_F(KXSyncPullProxyTest, FailureOnAnyPageAppliesNothing) {
  for (int i = 0; i < 1100; ++i) endpoints->putNote("N" + std::to_string(i), "ROOT", "n", "b");
  struct Row {
    const char* name;
    int page;
    kxtest::Reply reply;
    const char* expected;
  };
  const std::vector<Row> rows = {
      {"first page refused", 1, kxtest::Reply::json(500, R"({"error":500})"),
       "fail com.zarvel.note.Error 17179869186"},
      {"second page refused", 2, kxtest::Reply::json(500, R"({"error":500})"),
       "fail com.zarvel.note.Error 17179869186"},
      {"second page not a dictionary", 2, kxtest::Reply::json(200, "[1,2]"),
       "fail com.zarvel.note.Error 17179869186"},
      {"third page without values", 3, kxtest::Reply::json(200, R"({"truncated":false})"), "fail "},
      {"truncated page without a marker", 2,
       kxtest::Reply::json(200, R"({"values":[],"truncated":true})"),
       "fail com.zarvel.note.Error 17179869186"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    service.clearRequests();
    log.clear();
    proxy = std::make_shared<KXSyncPullProxy>(delegate, env);
    endpoints->failPullRequest(row.page, row.reply);
    proxy->pull();
    ASSERT_TRUE(ended());
    std::vector<std::string> expected(static_cast<std::size_t>(row.page), "session 0");
    expected.push_back(row.expected);
    EXPECT_EQ(log.events(), expected) << "pages only, nothing applied or saved";
    EXPECT_EQ(pullRequests().size(), static_cast<std::size_t>(row.page))
        << "no page after the failure";
  }
  std::lock_guard<std::mutex> lock(applier->mu_);
  EXPECT_TRUE(applier->batches.empty());
}

TEST_F(KXSyncPullProxyTest, FullPullAsksFromMinusOneKeepingTheLocalSessionVersion) {
  endpoints->putNote("A", "ROOT", "a.note", "x");
  env->base = 9;
  env->fullPulling = true;
  proxy->pull();
  ASSERT_TRUE(ended());
  auto pulls = pullRequests();
  ASSERT_EQ(pulls.size(), 1u);
  EXPECT_EQ(kxtest::formValue(pulls[0].body, "baseVersion"), "-1");
  EXPECT_EQ(log.events().front(), "session 9");

  // Not full: only what changed after the base comes.
  log.clear();
  env->fullPulling = false;
  env->base = endpoints->rootVersion();
  proxy->pull();
  ASSERT_TRUE(ended());
  EXPECT_EQ(log.count("apply"), 0u) << "nothing changed";
  EXPECT_EQ(log.count("success"), 1u);
}

TEST_F(KXSyncPullProxyTest, PullWithoutAnApplierFailsInsteadOfDroppingWhatItFetched) {
  endpoints->putNote("A", "ROOT", "a.note", "x");
  env->applierToUse = nullptr;
  proxy->pull();
  ASSERT_TRUE(ended());
  EXPECT_EQ(log.count("fail com.zarvel.note.Error 17179869186"), 1u);
  EXPECT_EQ(log.count("fileMetaDone"), 0u);
}

TEST_F(KXSyncPullProxyTest, ObjectPullsStartAfterTheMetadataAndFailuresComeBackLater) {
  endpoints->putNote("A", "ROOT", "a.note", "x");
  endpoints->putNote("B", "ROOT", "b.note", "y");
  endpoints->putNote("C", "ROOT", "c.note", "z");
  auto a = std::make_shared<FakeObjectPull>("A", Outcome::kSucceed, &log);
  auto b = std::make_shared<FakeObjectPull>("B", Outcome::kFail, &log);
  auto c = std::make_shared<FakeObjectPull>("C", Outcome::kHold, &log);
  {
    std::lock_guard<std::mutex> lock(applier->mu_);
    applier->pullers = {a, b, c};
  }
  proxy->pull();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return log.count("start C") == 1; }, 20));
  EXPECT_EQ(log.count("success"), 0u) << "C still runs";
  auto events = log.events();
  EXPECT_LT(indexOf(events, "fileMetaDone"), indexOf(events, "start A"));
  EXPECT_LT(indexOf(events, "apply"), indexOf(events, "fileMetaDone"));
  EXPECT_EQ(log.count("succeeded A"), 1u);
  EXPECT_EQ(log.count("failed B"), 1u);
  c->release(kx::Error());
  ASSERT_TRUE(ended());
  EXPECT_EQ(log.count("success"), 1u);
  events = log.events();
  EXPECT_LT(indexOf(events, "succeeded C"),
            indexOf(events, "rootVersion " + std::to_string(endpoints->rootVersion())));
  auto failures = env->failures();
  ASSERT_EQ(failures.count("B"), 1u);
  EXPECT_NE(failures["B"].json.find("\"b.note\""), std::string::npos) << "the raw entry is kept";

  // The next pull offers B again from the failure list although the service
  // has nothing new; a second failure raises its count.
  log.clear();
  env->base = endpoints->rootVersion();
  auto b2 = std::make_shared<FakeObjectPull>("B", Outcome::kFail, &log);
  {
    std::lock_guard<std::mutex> lock(applier->mu_);
    applier->pullers = {b2};
  }
  proxy->pull();
  ASSERT_TRUE(ended());
  {
    std::lock_guard<std::mutex> lock(applier->mu_);
    ASSERT_EQ(applier->batches.size(), 2u);
    EXPECT_EQ(ids(applier->batches[1].newAndModifyNotes), (std::vector<std::string>{"B"}));
  }
  EXPECT_EQ(env->failures()["B"].retry, 2);
}

TEST_F(KXSyncPullProxyTest, ClearedPullWritesAndReportsNothingLate) {
  endpoints->putNote("A", "ROOT", "a.note", "x");
  service.setFault(kxtest::TestSyncEndpoints::kSyncPath, kxtest::Fault::held());
  proxy->pull();
  ASSERT_TRUE(service.waitForInFlight(1, 20));
  proxy->clearEnvironment();
  service.releaseHeld();
  ASSERT_TRUE(service.waitForInFlight(0, 20));
  service.clearFault(kxtest::TestSyncEndpoints::kSyncPath);

  // A held object pull that answers after the pull was cleared.
  auto late = std::make_shared<FakeObjectPull>("A", Outcome::kHold, &log);
  {
    std::lock_guard<std::mutex> lock(applier->mu_);
    applier->pullers = {late};
  }
  proxy->pull();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return log.count("start A") == 1; }, 20));
  proxy->clearEnvironment();
  EXPECT_EQ(log.count("clear A"), 1u);
  late->release(kx::Error("test", 5));
  kx::MainQueue::shared().drain();
  EXPECT_EQ(log.count("failed A"), 0u);
  EXPECT_EQ(log.count("success") + countPrefix("fail "), 0u);
  std::lock_guard<std::mutex> lock(applier->mu_);
  EXPECT_EQ(applier->batches.size(), 1u) << "the first, cleared pull applied nothing";
}

// The download endpoint that the object pulls will use, through the pull
// controller: bodies by file id, injected failures, and the count of
// downloads in flight that the width of the controller bounds.
TEST_F(KXSyncPullProxyTest, DownloadEndpointServesBodiesAndCountsDownloadsInFlight) {
  for (int i = 0; i < 10; ++i)
    endpoints->putNote("D" + std::to_string(i), "ROOT", "d.note", "body " + std::to_string(i));
  endpoints->failDownload("D3", 1);
  endpoints->setDownloadGateClosed(true);
  KXConcurrentController controller(KXConcurrentController::kPullConcurrentLen);
  std::mutex mu;
  std::map<std::string, std::string> bodies;
  std::atomic<int> answered{0};
  for (const std::string id :
       {"D0", "D1", "D2", "D3", "D4", "D5", "D6", "D7", "D8", "D9", "nope"}) {
    auto operation = std::make_shared<KXNetworkOperation>();
    operation->setOption(
        {{"url", service.baseURL() + "/qrt/api/personal/sync?method=download"},
         {"params", kx::Value::dict({{"fileId", kx::Value(id)}, {"version", kx::Value(1)}})}});
    ASSERT_TRUE(controller.concurrentResumeWithOperator(
        operation,
        [&, id](const kx::Value& result, const kx::HTTPResponseHead& head, const kx::Error& error) {
          std::lock_guard<std::mutex> lock(mu);
          bodies[id] = error.domain().empty()
                           ? std::string(result.bytes().begin(), result.bytes().end())
                           : "status " + std::to_string(head.status);
          ++answered;
        }));
  }
  ASSERT_TRUE(endpoints->waitForDownloadsInFlight(7, 20));
  EXPECT_EQ(endpoints->downloadsInFlight(), 7);
  endpoints->setDownloadGateClosed(false);
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return answered.load() == 11; }, 20));
  EXPECT_EQ(endpoints->peakDownloadsInFlight(), 7);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(bodies["D0"], "body 0");
  EXPECT_EQ(bodies["D9"], "body 9");
  EXPECT_EQ(bodies["D3"], "status 500");
  EXPECT_EQ(bodies["nope"], "status 404");
}

// The service's file entry, as a page holds it.
kx::Value entry(const std::string& id, const std::string& parentId, kx::Dictionary more = {}) {
  kx::Dictionary fields{{"id", kx::Value(id)}, {"parentId", kx::Value(parentId)}};
  for (const auto& [key, value] : more) fields.set(key, value);
  return kx::Value::dict({{"entry", kx::Value(std::move(fields))}});
}

TEST(KXSyncPullProxySortTest, SortsIntoSixListsParentsFirst) {
  const kx::Value dir(true), file(true), removed(1);
  kx::Array raw = {
      // Listed before their parents.
      entry("n2", "nb2", {{"name", kx::Value("fresh")}}),
      entry("nb2", "nb1", {{"dir", dir}}),
      entry("nb1", "ROOT", {{"dir", dir}, {"erased", kx::Value(true)}}),
      entry("ROOT", "0", {{"dir", dir}}),
      entry("f1", "nb1", {{"domain", file}}),
      entry("gone", "nb3", {{"remoteRemoved", removed}}),
      entry("gf", "nb3", {{"domain", file}, {"remoteRemoved", removed}}),
      entry("nb3", "ROOT", {{"dir", dir}, {"remoteRemoved", removed}}),
      entry("nb4", "nb3", {{"dir", dir}, {"remoteRemoved", removed}}),
      entry("two", "ROOT", {{"remoteRemoved", kx::Value(2)}}),
      // A loop of two and what hangs below it.
      entry("c1", "c2", {{"dir", dir}}),
      entry("c2", "c1", {{"dir", dir}}),
      entry("below", "c1"),
      // Malformed: no entry object, no id.
      kx::Value::dict({{"meta", kx::Value::dict({})}}),
      kx::Value::dict({{"entry", kx::Value::dict({{"parentId", kx::Value("ROOT")}})}}),
      // A retried entry of the same file id loses to the fresh one.
      entry("n2", "nb2", {{"name", kx::Value("retried")}}),
  };
  KXSyncPullBatch batch = KXSyncPullProxy::sortMetalist(raw, [](const kx::Value& e) {
    return KXNameDict::namesConvertFromRemoteToLocalForFileMeta(e);
  });
  EXPECT_EQ(ids(batch.newAndModifyNotebooks),
            (std::vector<std::string>{"ROOT", "nb1", "c1", "c2", "nb2"}));
  EXPECT_EQ(ids(batch.newAndModifyNotes), (std::vector<std::string>{"two", "below", "n2"}));
  EXPECT_EQ(ids(batch.newAndModifyFiles), (std::vector<std::string>{"f1"}));
  EXPECT_EQ(ids(batch.deleteNotebooks), (std::vector<std::string>{"nb4", "nb3"}))
      << "children first";
  EXPECT_EQ(ids(batch.deleteNotes), (std::vector<std::string>{"gone"}));
  EXPECT_EQ(ids(batch.deleteFiles), (std::vector<std::string>{"gf"}));
  // Every entry of the loop is cut from it and placed under the root; what
  // lies below follows.
  EXPECT_EQ(batch.cyclic, (std::vector<std::string>{"c1", "c2"}));
  EXPECT_EQ(batch.idDict["c1"]["parentId"].stringValue(), "ROOT");
  EXPECT_EQ(batch.idDict["c2"]["parentId"].stringValue(), "ROOT");
  EXPECT_EQ(batch.idDict["below"]["parentId"].stringValue(), "c1");
  EXPECT_EQ(batch.skipped, 2u);
  EXPECT_EQ(batch.newAndModifyNotes[2]["title"].stringValue(), "fresh");
  // "erased" reaches every level below the erased notebook, also entries
  // listed before it, in the lists and in idDict.
  EXPECT_TRUE(batch.newAndModifyNotebooks[4]["erased"].boolValue());
  EXPECT_TRUE(batch.newAndModifyNotes[2]["erased"].boolValue());
  EXPECT_TRUE(batch.newAndModifyFiles[0]["erased"].boolValue());
  EXPECT_TRUE(batch.idDict["n2"]["erased"].boolValue());
  EXPECT_FALSE(batch.newAndModifyNotes[0]["erased"].boolValue());
  EXPECT_EQ(batch.idDict.size(), 13u);
  // The skipped entries were logged: let the logger finish before the
  // program ends (a logger still opening its file races the exit).
  KXLogger::sharedLogger().drain();
}

}  // namespace
