// The push against the test note service: what reaches the service, in
// which order, how many at once, and what the store keeps of the answers.
#include "sync/push/KXSyncPushProxy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Data/client/KXEntryReads.h"
#include "platform/GlobalQueue.h"
#include "support/QueueBarrier.h"
#include "sync/PushFixture.h"
#include "sync/cycle/KXSyncScriptBridge.h"
#include "sync/push/KXMetaPusher.h"

namespace {

using kxtest::pumpMainUntil;
using kxtest::Put;
using kxtest::TestPushEndpoints;

class KXSyncPushProxyTest : public kxtest::PushFixture {
 protected:
  std::size_t indexIn(const std::vector<std::string>& order, const std::string& event) {
    auto it = std::find(order.begin(), order.end(), event);
    EXPECT_NE(it, order.end()) << event;
    return static_cast<std::size_t>(it - order.begin());
  }
};

TEST_F(KXSyncPushProxyTest, NewEntriesReachTheServiceParentsFirstAndTakeItsAnswers) {
  ASSERT_EQ(cycle(), "success");
  // Made child first, so that the store's order is not the push order.
  localNote("N1", "SUB", "deep", "<p>deep text</p>");
  localNotebook("SUB", "NB", "Sub");
  localFile("F1", "NB", "scan.pdf", std::string(3000, 'x'));
  localNote("N2", "NB", "top", "<p>top text</p>");
  localNotebook("NB", "ROOT", "Work");

  ASSERT_EQ(push(), "push success");
  const std::vector<std::string> order = pushEndpoints->order();
  ASSERT_EQ(order.size(), 5u);
  EXPECT_LT(indexIn(order, "push:NB"), indexIn(order, "push:SUB"));
  EXPECT_LT(indexIn(order, "push:SUB"), indexIn(order, "push:N1"));
  EXPECT_LT(indexIn(order, "push:NB"), indexIn(order, "push:F1"));
  EXPECT_LT(indexIn(order, "push:NB"), indexIn(order, "push:N2"));

  // The service holds what was made here.
  EXPECT_EQ(endpoints->entry("SUB")["entry"]["parentId"].stringValue(), "NB");
  EXPECT_EQ(endpoints->entry("N1")["entry"]["name"].stringValue(), "deep");
  EXPECT_EQ(serviceBody("N1"), "<p>deep text</p>");
  const kx::Dictionary file = pushEndpoints->pushesOf("F1").back();
  EXPECT_EQ(pushEndpoints->uploaded(file["transmitId"].stringValue()), std::string(3000, 'x'));
  EXPECT_FALSE(file.contains("bodyString"));
  const kx::Dictionary notebook = pushEndpoints->pushesOf("NB").back();
  EXPECT_EQ(notebook["dir"].stringValue(), "true");
  EXPECT_EQ(notebook["editorVersion"].stringValue(), "7");
  EXPECT_FALSE(notebook.contains("transmitId"));

  // The store took the service's versions and lost its marks.
  auto rows = stored();
  for (const char* id : {"NB", "SUB", "N1", "N2", "F1"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(rows[id]["localModified"].intValue(), 0);
    EXPECT_EQ(rows[id]["version"].intValue(), endpoints->entry(id)["entry"]["version"].intValue());
  }
  EXPECT_FALSE(rows["N1"]["contentChanged"].boolValue());

  // Nothing is left to push.
  pushEndpoints->clearOrder();
  ASSERT_EQ(push(), "push success");
  EXPECT_TRUE(pushEndpoints->order().empty());
}

TEST_F(KXSyncPushProxyTest, ErasesGoAfterTheirContentsAndRemoveTheEntriesForGood) {
  endpoints->putNotebook("NB", "ROOT", "Old");
  endpoints->putNotebook("SUB", "NB", "Older");
  endpoints->putNote("N1", "SUB", "gone", "text");
  endpoints->putNote("KEEP", "ROOT", "kept", "text");
  ASSERT_EQ(cycle(), "success");
  for (const char* id : {"NB", "SUB", "N1"}) {
    editLocally(id, {{"remoteRemoved", kx::Value(true)}, {"localModified", kx::Value(1)}});
  }

  ASSERT_EQ(push(), "push success");
  const std::vector<std::string> order = pushEndpoints->order();
  ASSERT_EQ(order.size(), 3u);
  EXPECT_LT(indexIn(order, "erase:N1"), indexIn(order, "erase:SUB"));
  EXPECT_LT(indexIn(order, "erase:SUB"), indexIn(order, "erase:NB"));
  const kx::Dictionary erase = pushEndpoints->pushesOf("N1").back();
  EXPECT_EQ(erase["parentId"].stringValue(), "1");
  EXPECT_EQ(erase["erased"].stringValue(), "true");

  auto rows = stored();
  EXPECT_EQ(rows.count("NB") + rows.count("SUB") + rows.count("N1"), 0u);
  EXPECT_EQ(rows.count("KEEP"), 1u);
  EXPECT_TRUE(endpoints->entry("N1")["entry"]["erased"].boolValue());
}

TEST_F(KXSyncPushProxyTest, OneBadEntryFailsAloneAndTheOthersReachTheService) {
  ASSERT_EQ(cycle(), "success");
  localNotebook("NB", "ROOT", "Work");
  for (const char* id : {"A", "B", "C", "D"}) localNote(id, "NB", id, std::string("<p>") + id);
  // B's reply has no entry, every time.
  pushEndpoints->failPush("B", kxtest::Reply::json(200, R"({"ok":true})"), 10);

  EXPECT_EQ(push(), "push fail:" + std::to_string(KXMetaPusher::kErrorCode));
  auto rows = stored();
  for (const char* id : {"A", "C", "D"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(serviceBody(id), std::string("<p>") + id);
    EXPECT_EQ(rows[id]["localModified"].intValue(), 0);
  }
  EXPECT_EQ(rows["B"]["localModified"].intValue(), 1) << "a reply without entry clears nothing";
  EXPECT_TRUE(rows["B"]["contentChanged"].boolValue());
  EXPECT_EQ(rows["B"]["version"].intValue(), 0);
}

// One row per service error: how the push ends, whether the entry is sent
// again, and whether the others still reach the service.
struct ErrorCase {
  const char* name;
  std::int64_t code;
  const char* message;
  const char* extra;
  int times;
  const char* outcome;      // what the push reports
  int othersPushed;         // the other note reaches the service: 1, 0, -1 either
  std::size_t pushesOfBad;  // pushes of the bad entry seen by the service
  const char* event;        // statistics event, "" for none
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class KXSyncPushErrorTest : public KXSyncPushProxyTest,
                            public ::testing::WithParamInterface<ErrorCase> {};

class EventBridge : public KXSyncScriptBridge {
 public:
  void trackEvent(const std::string& event, std::int64_t value) override {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back(event + "=" + std::to_string(value));
  }
  std::mutex mu;
  std::vector<std::string> events;
};

TEST_P(KXSyncPushErrorTest, EachServiceErrorHasItsOutcome) {
  const ErrorCase& c = GetParam();
  auto bridge = std::make_shared<EventBridge>();
  KXSyncScriptBridge::install(bridge);
  ASSERT_EQ(cycle(), "success");
  localNotebook("NB", "ROOT", "Work");
  localNote("BAD", "NB", "bad", "<p>bad</p>");
  localNote("GOOD", "NB", "good", "<p>good</p>");
  pushEndpoints->failPush("BAD", TestPushEndpoints::serviceError(c.code, c.message, c.extra),
                          c.times);

  EXPECT_EQ(push(), c.outcome);
  EXPECT_EQ(pushEndpoints->pushesOf("BAD").size(), c.pushesOfBad);
  if (c.othersPushed >= 0) EXPECT_EQ(!serviceBody("GOOD").empty(), c.othersPushed == 1);
  std::lock_guard<std::mutex> lock(bridge->mu);
  if (std::string(c.event).empty()) {
    EXPECT_TRUE(bridge->events.empty());
  } else {
    EXPECT_NE(std::find(bridge->events.begin(), bridge->events.end(), std::string(c.event) + "=1"),
              bridge->events.end());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, KXSyncPushErrorTest,
    ::testing::Values(
        // Refused once: the version read, then the second push goes through.
        ErrorCase{"VersionConflictOnce", 300, "VERSION_CONFLICT", "", 1, "push success", 1, 2,
                  "version_conflict"},
        // Refused every time: the entry fails alone after its second push.
        ErrorCase{"VersionConflictAlways", 300, "VERSION_CONFLICT", "", 10, "push fail:300", 1, 2,
                  "version_conflict"},
        ErrorCase{"ParentNotExist", 301, "PARENT_NOT_EXIST", "", 10, "push fail:301", 1, 2,
                  "parent_not_exist"},
        // A renamed entry is pushed again; a name that stays taken is
        // given up after a few renames in each of the two pushes.
        ErrorCase{"DuplicateNameOnce", 302, "DUPLICATE_FILE_NAME", R"x("adviceName":"bad(1)")x", 1,
                  "push success", 1, 2, ""},
        ErrorCase{"DuplicateNameAlways", 302, "DUPLICATE_FILE_NAME", R"x("adviceName":"bad(1)")x",
                  100, "push fail:302", 1, 2 * (KXMetaPusher::kMaxDupRenames + 1), ""},
        // The space is full: the push ends (what was already on its way
        // may still arrive); no version read.
        ErrorCase{"UserSpaceFull", 303, "USER_SPACE_FULL", "", 10, "push fail:303", -1, 1, ""}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

TEST_F(KXSyncPushProxyTest, ARenamedDuplicateIsStoredUnderTheAdvisedName) {
  ASSERT_EQ(cycle(), "success");
  localNotebook("NB", "ROOT", "Work");
  localNote("N", "NB", "plan", "<p>x</p>");
  pushEndpoints->failPush("N", TestPushEndpoints::serviceError(302, "DUPLICATE_FILE_NAME",
                                                               R"x("adviceName":"plan(1)")x"));
  ASSERT_EQ(push(), "push success");
  const auto pushes = pushEndpoints->pushesOf("N");
  ASSERT_EQ(pushes.size(), 2u);
  EXPECT_EQ(pushes[1]["name"].stringValue(), "plan(1)");
  EXPECT_EQ(stored()["N"]["title"].stringValue(), "plan(1)");
  EXPECT_EQ(stored()["N"]["localModified"].intValue(), 0);
}

TEST_F(KXSyncPushProxyTest, TheFullSpaceAlertShowsOncePerRun) {
  ASSERT_EQ(cycle(), "success");
  localNote("N", "ROOT", "n", "<p>x</p>");
  pushEndpoints->failPush("N", TestPushEndpoints::serviceError(303, "USER_SPACE_FULL"), 2);
  EXPECT_EQ(push(), "push fail:303");
  EXPECT_EQ(push(), "push fail:303");
  ASSERT_EQ(ui->alerts().size(), 1u);
  EXPECT_EQ(ui->alerts()[0].title, "同步失败");
  EXPECT_EQ(ui->alerts()[0].buttons, (std::vector<std::string>{"确定"}));
}

TEST_F(KXSyncPushProxyTest, AFailedVersionReadSendsEveryResourceVersionAsMinusOne) {
  ASSERT_EQ(cycle(), "success");
  localNote("N", "ROOT", "n", "<p>x</p>");
  Write([&](KXManagedObjectContext& context) {
    KXManagedObjectPtr resource = Put(context, "Resource",
                                      {{"fileId", kx::Value("R1")},
                                       {"version", kx::Value(4)},
                                       {"localModified", kx::Value(false)}});
    client_->readsIn(&context).objectForFileMetaID("N")->addObject("resources", resource);
  });
  pushEndpoints->failPush("N", TestPushEndpoints::serviceError(300, "VERSION_CONFLICT"));
  pushEndpoints->failGetById(true);
  ASSERT_EQ(push(), "push success");
  const auto pushes = pushEndpoints->pushesOf("N");
  ASSERT_EQ(pushes.size(), 2u);
  EXPECT_EQ(pushes[0]["resources"].stringValue(), "R1:4");
  EXPECT_EQ(pushes[1]["resources"].stringValue(), "R1:-1");
  EXPECT_EQ(service.requests(std::string(TestPushEndpoints::kFilePath) + "N").size(), 1u);
}

TEST_F(KXSyncPushProxyTest, ANoteWhoseResourcesAreStillToUploadKeepsItsMarks) {
  ASSERT_EQ(cycle(), "success");
  localNote("N", "ROOT", "n", "<p>x</p>");
  localNote("OTHER", "ROOT", "o", "<p>o</p>");
  Write([&](KXManagedObjectContext& context) {
    KXManagedObjectPtr resource =
        Put(context, "Resource", {{"fileId", kx::Value("R1")}, {"localModified", kx::Value(true)}});
    client_->readsIn(&context).objectForFileMetaID("N")->addObject("resources", resource);
  });
  EXPECT_EQ(push(), "push fail:" + std::to_string(KXMetaPusher::kErrorCode));
  EXPECT_TRUE(pushEndpoints->pushesOf("N").empty());
  EXPECT_EQ(stored()["N"]["localModified"].intValue(), 1);
  EXPECT_EQ(stored()["OTHER"]["localModified"].intValue(), 0);
}

TEST_F(KXSyncPushProxyTest, AParkedNotebookIsPushedAgainBeforeAnyChild) {
  ASSERT_EQ(cycle(), "success");
  localNotebook("A", "ROOT", "A");
  localNotebook("B", "ROOT", "B");
  localNote("NA", "A", "in a", "<p>a</p>");
  // Refused twice: its own push and the push after the version read.
  pushEndpoints->failPush("A", TestPushEndpoints::serviceError(20102, "busy"), 2);

  ASSERT_EQ(push(), "push success");
  const std::vector<std::string> order = pushEndpoints->order();
  // Parked, it goes once more after B and before its note.
  EXPECT_EQ(order, (std::vector<std::string>{"push:A", "push:A", "push:B", "push:A", "push:NA"}));
  EXPECT_EQ(stored()["A"]["localModified"].intValue(), 0);

  // Parked twice: it keeps its marks for a later cycle, and the rest goes.
  localNotebook("C", "ROOT", "C");
  localNote("NC", "ROOT", "c", "<p>c</p>");
  pushEndpoints->failPush("C", TestPushEndpoints::serviceError(225, "busy"), 4);
  ASSERT_EQ(push(), "push success");
  EXPECT_EQ(stored()["C"]["localModified"].intValue(), 1);
  EXPECT_EQ(stored()["NC"]["localModified"].intValue(), 0);
}

TEST_F(KXSyncPushProxyTest, AtMostThreePushesRunAndNotebooksGoOneAtATime) {
  ASSERT_EQ(cycle(), "success");
  for (int i = 0; i < 4; ++i)
    localNotebook("NB" + std::to_string(i), "ROOT", "nb" + std::to_string(i));
  for (int i = 0; i < 12; ++i) {
    localNote("N" + std::to_string(i), "NB" + std::to_string(i % 4), "n" + std::to_string(i),
              "<p/>");
  }
  pushEndpoints->setPushGateClosed(true);
  startPush();
  // Notebooks first, one at a time: releasing the gate lets each through.
  ASSERT_TRUE(pushEndpoints->waitForPushesInFlight(1));
  pushEndpoints->setPushGateClosed(false);
  ASSERT_EQ(waitPush(), "push success");
  EXPECT_EQ(pushEndpoints->peakNotebookPushesInFlight(), 1);
  EXPECT_LE(pushEndpoints->peakPushesInFlight(), 3);
  EXPECT_EQ(pushEndpoints->pushRequests(), 16u);
}

TEST_F(KXSyncPushProxyTest, ThreeNotesArePushedAtOnce) {
  ASSERT_EQ(cycle(), "success");
  for (int i = 0; i < 6; ++i) localNote("N" + std::to_string(i), "ROOT", "n", "<p/>");
  pushEndpoints->setPushGateClosed(true);
  startPush();
  ASSERT_TRUE(pushEndpoints->waitForPushesInFlight(3));
  pushEndpoints->setPushGateClosed(false);
  ASSERT_EQ(waitPush(), "push success");
  EXPECT_EQ(pushEndpoints->peakPushesInFlight(), 3);
}

TEST_F(KXSyncPushProxyTest, AnEditMadeWhileItsPushRunsIsKeptForTheNextPush) {
  ASSERT_EQ(cycle(), "success");
  localNote("N", "ROOT", "n", "<p>first</p>");
  pushEndpoints->setPushGateClosed(true);
  startPush();
  ASSERT_TRUE(pushEndpoints->waitForPushesInFlight(1));
  // Same second as the pushed text: only the change counter tells them apart.
  editNoteText("N", "<p>second</p>", 1700000000);
  pushEndpoints->setPushGateClosed(false);
  ASSERT_EQ(waitPush(), "push success");
  EXPECT_EQ(serviceBody("N"), "<p>first</p>");
  auto row = stored()["N"];
  EXPECT_EQ(row["localModified"].intValue(), 1);
  EXPECT_EQ(row["version"].intValue(), endpoints->entry("N")["entry"]["version"].intValue());

  ASSERT_EQ(push(), "push success");
  EXPECT_EQ(serviceBody("N"), "<p>second</p>");
  EXPECT_EQ(stored()["N"]["localModified"].intValue(), 0);
}

TEST_F(KXSyncPushProxyTest, ADroppedConnectionFailsThePushAndTheNextOneCompletesIt) {
  ASSERT_EQ(cycle(), "success");
  // Same titles, as the service allows: the answers keep them as they are.
  for (int i = 0; i < 5; ++i) localNote("N" + std::to_string(i), "ROOT", "n", "<p>x</p>");
  service.setFault(kxtest::TestSyncEndpoints::kSyncPath, kxtest::Fault::dropped());
  EXPECT_NE(push(), "push success");
  service.clearFault(kxtest::TestSyncEndpoints::kSyncPath);
  ASSERT_EQ(push(), "push success");
  auto rows = stored();
  for (int i = 0; i < 5; ++i) {
    const std::string id = "N" + std::to_string(i);
    EXPECT_EQ(rows[id]["localModified"].intValue(), 0) << id;
    EXPECT_EQ(serviceBody(id), "<p>x</p>") << id;
  }
}

TEST_F(KXSyncPushProxyTest, AnAnswerArrivingAfterACancelIsStillStored) {
  ASSERT_EQ(cycle(), "success");
  localNote("N", "ROOT", "n", "<p>x</p>");
  pushEndpoints->setPushGateClosed(true);
  auto proxy = startPush();
  ASSERT_TRUE(pushEndpoints->waitForPushesInFlight(1));
  proxy->clearEnvironment();
  pushEndpoints->setPushGateClosed(false);
  ASSERT_TRUE(service.waitForInFlight(0));
  ASSERT_TRUE(pumpMainUntil(
      [&] {
        data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
        return stored()["N"]["localModified"].intValue() == 0;
      },
      20));
  EXPECT_TRUE(pushLog.events().empty()) << "a cancelled push reports nothing";
}

}  // namespace

namespace {

TEST_F(KXSyncPushProxyTest, AfterASignOutALateAnswerWritesNothing) {
  ASSERT_EQ(cycle(), "success");
  localNote("N", "ROOT", "n", "<p>x</p>");
  pushEndpoints->setPushGateClosed(true);
  auto proxy = startPush();
  ASSERT_TRUE(pushEndpoints->waitForPushesInFlight(1));
  // A sign-out cancels the cycle and empties the push controller.
  proxy->clearEnvironment();
  controller->clearEnvironment();
  pushEndpoints->setPushGateClosed(false);
  ASSERT_TRUE(service.waitForInFlight(0));
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  Write([](KXManagedObjectContext&) {});
  EXPECT_EQ(stored()["N"]["localModified"].intValue(), 1);
  EXPECT_TRUE(pushLog.events().empty());
}

}  // namespace
