// The object pulls of the metadata pull, end to end: bodies downloaded from
// the test note service land in content files, the store and the full-text
// index. Every check reads the store, the content files and the index back.
#include "sync/cycle/KXSyncState.h"
#include "sync/pull/KXObjectPuller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Path.h"
#include "search/KXSLucene.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/QueueBarrier.h"
#include "support/TestResourceEndpoints.h"
#include "sync/StorePullFixture.h"
#include "sync/cycle/KXSyncScriptBridge.h"

namespace {

class KXObjectPullerTest : public kxtest::StorePullFixture {
 protected:
  // The stored content of an entry, as the store's readers read it.
  std::optional<std::string> content(const std::string& fileId) {
    return KXFileManager::defaultManauger().originStringContentFileSync(fileId, false);
  }

  // Waits until every index batch handed over so far has been written.
  void waitForIndex() {
    std::promise<void> done;
    client_->indexing().indexNotes({}, [&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  }

  std::vector<std::string> search(const std::string& word) {
    return kxtest::SearchIndex(*client_, word);
  }

  // What is left in the folder of downloads' temporary files.
  std::vector<std::string> temporaries() {
    const std::string folder =
        kx::Path::deletingLastPathComponent(KXFileManager::defaultManauger().URLForTempFile());
    std::vector<kx::DirectoryEntry> entries;
    std::vector<std::string> names;
    if (!kx::FileSystem::Default().listDirectory(folder, &entries, nullptr)) return names;
    for (const auto& entry : entries) names.push_back(entry.name);
    return names;
  }

  std::string serviceText(const std::string& id, const char* key) {
    return endpoints->entry(id)["entry"][key].stringValue();
  }
};

TEST_F(KXObjectPullerTest, BodiesLandInContentFilesTheStoreAndTheIndex) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("N1", "NB", "Report.txt", "  quarterly zanzibar figures\n");
  endpoints->putNote("N2", "NB", "Plan", "<p>plan for <b>tomorrow</b></p>");
  const std::string markdown = "# heading\nmarkdown mentions kumquat";
  endpoints->putEntry(
      "MD",
      {{"parentId", kx::Value("NB")}, {"name", kx::Value("notes.md")}, {"domain", kx::Value(1)}},
      &markdown);
  const std::string pdf = "%PDF-1.4 binary-ish quince";
  endpoints->putEntry(
      "PDF",
      {{"parentId", kx::Value("NB")}, {"name", kx::Value("scan.pdf")}, {"domain", kx::Value(1)}},
      &pdf);

  ASSERT_EQ(cycle(), "success");
  expectConverged();
  EXPECT_EQ(content("N1"), "  quarterly zanzibar figures\n") << "the body lands unchanged";
  EXPECT_EQ(content("N2"), "<p>plan for <b>tomorrow</b></p>");
  auto rows = stored();
  for (const char* id : {"N1", "N2", "MD", "PDF"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(rows[id]["md5"].stringValue(), serviceText(id, "md5"));
    EXPECT_FALSE(rows[id]["contentChanged"].boolValue());
  }
  EXPECT_EQ(rows["N1"]["summary"].stringValue(), "quarterly zanzibar figures");
  EXPECT_EQ(rows["PDF"]["summary"].stringValue(), "");
  std::string stored;
  ASSERT_TRUE(kx::FileSystem::Default().readFile(
      KXFileManager::defaultManauger().URLForContentFile("PDF", false, "scan.pdf"), &stored,
      nullptr));
  EXPECT_EQ(stored, pdf);
  EXPECT_TRUE(temporaries().empty()) << "every downloaded file was moved into place";

  waitForIndex();
  EXPECT_EQ(search("zanzibar"), std::vector<std::string>{"N1"});
  EXPECT_EQ(search("tomorrow"), std::vector<std::string>{"N2"});
  EXPECT_EQ(search("kumquat"), std::vector<std::string>{"MD"}) << "a markdown file by its text";
  EXPECT_TRUE(search("quince").empty()) << "other files by title only";
  EXPECT_EQ(search("scan"), std::vector<std::string>{"PDF"});

  // Changed on the service only: the new body replaces the old one.
  endpoints->putNote("N1", "NB", "Report.txt", "revised zucchini numbers");
  const std::size_t downloads = endpoints->downloadRequests();
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(endpoints->downloadRequests(), downloads + 1);
  EXPECT_EQ(content("N1"), "revised zucchini numbers");
  EXPECT_EQ(this->stored()["N1"]["md5"].stringValue(), serviceText("N1", "md5"));
  waitForIndex();
  EXPECT_EQ(search("zucchini"), std::vector<std::string>{"N1"});
  EXPECT_TRUE(search("zanzibar").empty());
}

TEST_F(KXObjectPullerTest, AFileChangedOnTheServiceRefreshesTheOpenDocumentView) {
  class Bridge : public KXSyncScriptBridge {
   public:
    void refreshOffice() override {
      if (kx::MainQueue::isMainThread()) ++refreshes;
    }
    std::atomic<int> refreshes{0};
  };
  auto bridge = std::make_shared<Bridge>();
  KXSyncScriptBridge::install(bridge);
  std::string v1 = "PK sheet one";
  endpoints->putEntry(
      "XLS",
      {{"parentId", kx::Value("ROOT")}, {"name", kx::Value("book.xlsx")}, {"domain", kx::Value(1)}},
      &v1);
  endpoints->putNote("N1", "ROOT", "Report.txt", "text");
  ASSERT_EQ(cycle(), "success");
  kx::MainQueue::shared().drain();
  EXPECT_EQ(bridge->refreshes.load(), 0) << "a new file is not open anywhere yet";

  std::string v2 = "PK sheet two";
  endpoints->putEntry("XLS", {{"name", kx::Value("book.xlsx")}}, &v2);
  endpoints->putNote("N1", "ROOT", "Report.txt", "new text");
  ASSERT_EQ(cycle(), "success");
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return bridge->refreshes.load() == 1; }));
  kx::MainQueue::shared().drain();
  EXPECT_EQ(bridge->refreshes.load(), 1) << "a note's new body refreshes nothing";
  KXSyncScriptBridge::install(nullptr);
}

TEST_F(KXObjectPullerTest, AtMostSevenBodiesDownloadAtOnce) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  for (int i = 0; i < 30; ++i) {
    endpoints->putNote("N" + std::to_string(i), "NB", "n" + std::to_string(i) + ".note",
                       "body " + std::to_string(i));
  }
  endpoints->setDownloadGateClosed(true);
  startCycle();
  ASSERT_TRUE(endpoints->waitForDownloadsInFlight(7));
  endpoints->setDownloadGateClosed(false);
  ASSERT_EQ(waitCycle(), "success");
  EXPECT_EQ(endpoints->peakDownloadsInFlight(), 7);
  EXPECT_EQ(endpoints->downloadRequests(), 30u);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(content("N" + std::to_string(i)), "body " + std::to_string(i));
  }
}

TEST_F(KXObjectPullerTest, ALongPullCommitsItsBodiesAsItGoes) {
  // One body more than a save takes: the pull cannot hold every stored body
  // (and its index text) in one unit until its end.
  const std::size_t notes = KXObjectPuller::kBodiesPerSave + 1;
  endpoints->putNotebook("NB", "ROOT", "Work");
  for (std::size_t i = 0; i < notes; ++i) {
    endpoints->putNote("L" + std::to_string(i), "NB", "l.note", "long pull body");
  }
  // Bodies stored per save: entries whose snapshot carries a written md5.
  std::vector<std::size_t> bodiesPerSave;
  const kx::NotificationCenter::Token token = kx::NotificationCenter::defaultCenter().addObserver(
      kKXContextDidSaveNotification, nullptr, nullptr, [&](const kx::Notification& n) {
        std::size_t bodies = 0;
        for (const kx::Value& snapshot : n.userInfo[kKXUpdatedObjectsKey].array()) {
          const kx::Value* md5 = snapshot.find("md5");
          if (md5 != nullptr && !md5->stringValue().empty()) ++bodies;
        }
        if (bodies > 0) bodiesPerSave.push_back(bodies);
      });
  const std::string result = cycle();
  kx::NotificationCenter::defaultCenter().removeObserver(token);
  ASSERT_EQ(result, "success");
  std::size_t total = 0;
  for (std::size_t count : bodiesPerSave) {
    EXPECT_LE(count, KXObjectPuller::kBodiesPerSave);
    total += count;
  }
  EXPECT_EQ(total, notes) << "every body is committed once";
  const auto rows = stored();
  for (std::size_t i = 0; i < notes; ++i) {
    EXPECT_EQ(rows.at("L" + std::to_string(i))["md5"].stringValue(), serviceText("L0", "md5"));
  }
}

TEST_F(KXObjectPullerTest, ABodyThatFailsOnceArrivesWithTheNextCycle) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("N1", "NB", "one.note", "first body");
  endpoints->putNote("N2", "NB", "two.note", "second body");
  endpoints->failDownload("N1", 1);

  ASSERT_EQ(cycle(), "success") << "a failed body does not fail the pull";
  EXPECT_EQ(storedRootVersion(), endpoints->rootVersion()) << "the root version still moves";
  EXPECT_EQ(content("N1"), std::nullopt);
  EXPECT_EQ(stored()["N1"]["md5"].stringValue(), "") << "its body is still owed";
  EXPECT_EQ(content("N2"), "second body");
  EXPECT_EQ(client_->records().fetchPullFailed().size(), 1u);
  EXPECT_TRUE(temporaries().empty()) << "the failed download left no file";

  // Nothing changed on the service: the failure list alone brings it back.
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(content("N1"), "first body");
  EXPECT_EQ(stored()["N1"]["md5"].stringValue(), serviceText("N1", "md5"));
  EXPECT_TRUE(client_->records().fetchPullFailed().empty());
  EXPECT_TRUE(client_->records().pullGaveUpFileIds().empty());
}

TEST_F(KXObjectPullerTest, AnEntryThatGaveUpIsReportedAndAFullPullFetchesIt) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("G", "NB", "stubborn.note", "stubborn body");
  endpoints->putNote("OK", "NB", "fine.note", "fine body");
  endpoints->failDownload("G", 5);

  // Offered by the failure list until its fifth failure.
  for (int attempt = 1; attempt <= 5; ++attempt) {
    SCOPED_TRACE(attempt);
    ASSERT_EQ(cycle(), "success");
    EXPECT_EQ(storedRootVersion(), endpoints->rootVersion());
  }
  EXPECT_EQ(endpoints->downloadRequests(), 6u);
  EXPECT_EQ(content("G"), std::nullopt);
  EXPECT_EQ(client_->records().pullGaveUpFileIds(), std::vector<std::string>{"G"});
  EXPECT_NE(LogText().find("pull of G gave up after 5 failures"), std::string::npos);

  // Given up: ordinary pulls leave it alone...
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(endpoints->downloadRequests(), 6u);
  EXPECT_EQ(client_->records().pullGaveUpFileIds(), std::vector<std::string>{"G"})
      << "still recorded";

  // ...and a full pull over the existing store fetches it.
  KXSyncState::shared().setIsFullPulling(true);
  ASSERT_EQ(cycle(), "success");
  KXSyncState::shared().setIsFullPulling(false);
  EXPECT_EQ(pullRequestsFor("-1"), 1u);
  EXPECT_EQ(content("G"), "stubborn body");
  EXPECT_EQ(stored()["G"]["md5"].stringValue(), serviceText("G", "md5"));
  EXPECT_TRUE(client_->records().pullGaveUpFileIds().empty());
  expectConverged();
  EXPECT_EQ(content("OK"), "fine body");
}

TEST_F(KXObjectPullerTest, AFullPullOverAnExistingStoreConverges) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("N1", "NB", "one.note", "one");
  endpoints->putNote("N2", "NB", "two.note", "two");
  ASSERT_EQ(cycle(), "success");
  // The service moves on while this machine keeps its store.
  endpoints->putNote("N2", "NB", "two.note", "two, edited elsewhere");
  endpoints->putNote("N3", "NB", "three.note", "three");

  KXSyncState::shared().setIsFullPulling(true);
  ASSERT_EQ(cycle(), "success");
  KXSyncState::shared().setIsFullPulling(false);
  expectConverged();
  EXPECT_EQ(content("N1"), "one");
  EXPECT_EQ(content("N2"), "two, edited elsewhere");
  EXPECT_EQ(content("N3"), "three");
  EXPECT_EQ(stored().size(), 5u);
}

TEST_F(KXObjectPullerTest, AContentPullKeepsTheStoredPublishLink) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putEntry("S", {{"parentId", kx::Value("NB")},
                            {"name", kx::Value("shared.note")},
                            {"shared", kx::Value(true)}});
  ASSERT_EQ(cycle(), "success");
  client_->records().updateShareInfo(std::string("https://note.example/s/abc"), true, "S");
  data_->performSyncWriteBlock([](KXManagedObjectContext& context) {
    kx::Error error;
    EXPECT_TRUE(context.save(&error)) << error.localizedDescription();
  });

  const std::string body = "shared text, edited elsewhere";
  endpoints->putEntry("S", {{"shared", kx::Value(true)}}, &body);
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(content("S"), body);
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("S");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->shareUrl(), "https://note.example/s/abc") << "no link fetched, none dropped";
}

TEST_F(KXObjectPullerTest, AnEntryNoLongerSharedOnTheServiceLosesItsPublishLink) {
  kxtest::TestResourceEndpoints links(service, *endpoints, nullptr);
  links.setPublishLink("S", "https://note.example/s/abc");
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putEntry("S", {{"parentId", kx::Value("NB")},
                            {"name", kx::Value("shared.note")},
                            {"shared", kx::Value(true)}});
  ASSERT_EQ(cycle(), "success");
  ASSERT_EQ(client_->reads().objectForFileMetaID("S")->shareUrl().value_or(""),
            "https://note.example/s/abc");
  const std::size_t downloads = endpoints->downloadRequests();

  // Unshared on the service, body unchanged: no download, the link goes.
  endpoints->putEntry("S", {{"shared", kx::Value(false)}});
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(endpoints->downloadRequests(), downloads);
  data_->performSyncWriteBlock([](KXManagedObjectContext& context) {
    kx::Error error;
    EXPECT_TRUE(context.save(&error)) << error.localizedDescription();
  });
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("S");
  ASSERT_TRUE(entry);
  EXPECT_FALSE(entry->shared());
  EXPECT_EQ(entry->shareUrl().value_or(""), "");
  service.stop();  // before the link routes go
}

TEST_F(KXObjectPullerTest, ACopyOfAConflictWhoseDownloadFailsComesWithTheNextCycle) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("N1", "NB", "Report.txt", "first");
  ASSERT_EQ(cycle(), "success");
  const std::int64_t syncedVersion = stored()["N1"]["version"].intValue();
  editLocally("N1", {{"localModified", kx::Value(1)},
                     {"contentChanged", kx::Value(true)},
                     {"checksum", kx::Value("local-sum")}});
  ASSERT_TRUE(KXFileManager::defaultManauger().writeContentFileSync(
      kx::ByteView(std::string("my local text")), "N1"));
  endpoints->putNote("N1", "NB", "Report.txt", "the service's text");
  endpoints->failDownload("N1", 1);

  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(stored()["N1"]["version"].intValue(), syncedVersion)
      << "not pushed over the service's text while no copy holds it";
  EXPECT_EQ(stored().size(), 3u) << "no copy yet";

  ASSERT_EQ(cycle(), "success");
  auto rows = stored();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows["N1"]["version"].intValue(),
            endpoints->entry("N1")["entry"]["version"].intValue());
  EXPECT_EQ(content("N1"), "my local text");
  std::string copyId;
  for (const auto& [id, row] : rows) {
    if (row["title"].stringValue() == "Report(Sync Conflicted).txt") copyId = id;
  }
  ASSERT_FALSE(copyId.empty());
  EXPECT_EQ(content(copyId), "the service's text");
  EXPECT_TRUE(rows[copyId]["contentChanged"].boolValue()) << "the next push uploads it";
  EXPECT_TRUE(client_->records().fetchPullFailed().empty());
}

TEST_F(KXObjectPullerTest, ABodyIsRecordedOnlyOnceItIsDurableInPlace) {
  using Op = kxtest::FaultInjectingFileSystem::Op;
  KXFileManager& files = KXFileManager::defaultManauger();
  endpoints->putNotebook("NB", "ROOT", "Work");
  ASSERT_EQ(cycle(), "success");
  struct Case {
    const char* id;
    Op op;
    std::string pathContains;
    bool placed;  // the body reached its content file before the failure
  };
  const std::string downloads = kx::Path::deletingLastPathComponent(files.URLForTempFile());
  const Case cases[] = {
      // The download is not synced.
      {"D0", Op::SyncFile, "", false},
      // The rename into place fails.
      {"D1", Op::Rename, downloads, false},
      // The content folder is not synced after the rename.
      {"D2", Op::SyncDirectory,
       kx::Path::deletingLastPathComponent(files.URLForContentFile("D2", false)), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const std::string id = c.id;
    const std::string body = "durable body " + id;
    endpoints->putNote(id, "NB", id + ".note", body);
    const std::size_t requests = endpoints->downloadRequests();
    {
      kxtest::FaultInjectingFileSystem faulty;
      faulty.inject({.op = c.op, .pathContains = c.pathContains, .error = EIO});
      kx::FileSystem::ScopedDefaultForTesting use(&faulty);
      ASSERT_EQ(cycle(), "success");
      EXPECT_EQ(faulty.injectedFailures(), 1);
      waitForIndex();
    }
    EXPECT_EQ(stored()[id]["md5"].stringValue(), "") << "not recorded as the service's body";
    kx::Array recorded = client_->records().fetchPullFailed();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0]["entry"]["id"].stringValue(), id);
    EXPECT_EQ(content(id).has_value(), c.placed);
    EXPECT_TRUE(temporaries().empty()) << testing::PrintToString(temporaries());

    // The failure list brings it back with the next cycle.
    ASSERT_EQ(cycle(), "success");
    EXPECT_EQ(endpoints->downloadRequests(), requests + 2);
    EXPECT_EQ(content(id), body);
    EXPECT_EQ(stored()[id]["md5"].stringValue(), serviceText(id, "md5"));
    EXPECT_TRUE(client_->records().fetchPullFailed().empty());
    EXPECT_TRUE(temporaries().empty());
  }
}

TEST_F(KXObjectPullerTest, ABodyThatArrivesAfterALocalEditIsKeptAsAConflictCopy) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("N1", "NB", "Report.txt", "first");
  ASSERT_EQ(cycle(), "success");
  endpoints->putNote("N1", "NB", "Report.txt", "the service's zeppelin text");
  const std::int64_t serviceVersion = endpoints->entry("N1")["entry"]["version"].intValue();

  // The metadata is applied and the body is on its way when N1 is edited.
  endpoints->setDownloadGateClosed(true);
  startCycle();
  ASSERT_TRUE(endpoints->waitForDownloadsInFlight(1));
  editLocally("N1", {{"localModified", kx::Value(1)},
                     {"contentChanged", kx::Value(true)},
                     {"checksum", kx::Value("local-sum")}});
  ASSERT_TRUE(KXFileManager::defaultManauger().writeContentFileSync(
      kx::ByteView(std::string("my local text")), "N1"));
  endpoints->setDownloadGateClosed(false);
  ASSERT_EQ(waitCycle(), "success");

  auto rows = stored();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(content("N1"), "my local text");
  EXPECT_TRUE(rows["N1"]["contentChanged"].boolValue()) << "the next push uploads the local text";
  EXPECT_EQ(rows["N1"]["version"].intValue(), serviceVersion);
  std::string copyId;
  for (const auto& [id, row] : rows) {
    if (row["title"].stringValue() == "Report(Sync Conflicted).txt") copyId = id;
  }
  ASSERT_FALSE(copyId.empty());
  EXPECT_NE(copyId, "N1");
  EXPECT_EQ(content(copyId), "the service's zeppelin text");
  EXPECT_EQ(rows[copyId]["parentId"].stringValue(), "NB");
  EXPECT_TRUE(rows[copyId]["contentChanged"].boolValue());
  EXPECT_EQ(rows[copyId]["localModified"].intValue(), 1);
  EXPECT_TRUE(client_->records().fetchPullFailed().empty()) << "nothing owed";
  EXPECT_TRUE(temporaries().empty());
  waitForIndex();
  EXPECT_EQ(search("zeppelin"), std::vector<std::string>{copyId});

  // Nothing left to fetch: the next cycle neither downloads nor copies.
  const std::size_t downloads = endpoints->downloadRequests();
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(endpoints->downloadRequests(), downloads);
  EXPECT_EQ(stored().size(), 4u);
  EXPECT_EQ(content("N1"), "my local text");
}

TEST_F(KXObjectPullerTest, ANoteWhoseResourcesCannotBeHadIsNotStoredAndStaysRecorded) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  const std::string body = R"(<p>see <img src="res-1"/></p>)";
  endpoints->putNote("R", "NB", "pictures.note", body);
  endpoints->putMeta(
      "R", {{"resources", kx::Value::array({kx::Value::dict(
                              {{"resourceId", kx::Value("res-1")}, {"version", kx::Value(3)}})})}});
  // This service answers no resource request.
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(content("R"), std::nullopt) << "no body without its resources";
  EXPECT_EQ(stored()["R"]["md5"].stringValue(), "") << "the body is still owed";
  EXPECT_EQ(storedRootVersion(), endpoints->rootVersion());
  kx::Array recorded = client_->records().fetchPullFailed();
  ASSERT_EQ(recorded.size(), 1u) << "kept for the next pull";
  EXPECT_EQ(recorded[0]["entry"]["id"].stringValue(), "R");
  EXPECT_TRUE(temporaries().empty()) << testing::PrintToString(temporaries());
}

TEST_F(KXObjectPullerTest, ACancelledPullWritesNothingFromLateAnswers) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  for (int i = 0; i < 10; ++i) {
    endpoints->putNote("N" + std::to_string(i), "NB", "n" + std::to_string(i) + ".note", "late");
  }
  endpoints->setDownloadGateClosed(true);
  std::shared_ptr<KXSyncPullProxy> proxy = startCycle();
  ASSERT_TRUE(endpoints->waitForDownloadsInFlight(7));
  proxy->clearEnvironment();  // as cancellation or sign-out does
  endpoints->setDownloadGateClosed(false);
  // The held answers come back to nobody; nothing else is asked.
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return endpoints->downloadsInFlight() == 0; }, 30));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return temporaries().empty(); }, 30))
      << "late answers leave no downloaded file: " << testing::PrintToString(temporaries());
  data_->performSyncWriteBlock([](KXManagedObjectContext&) {});

  EXPECT_LE(endpoints->downloadRequests(), 7u) << "queued downloads were cancelled";
  EXPECT_EQ(log.count("success"), 0u);
  auto rows = stored();
  for (int i = 0; i < 10; ++i) {
    const std::string id = "N" + std::to_string(i);
    SCOPED_TRACE(id);
    EXPECT_EQ(content(id), std::nullopt);
    EXPECT_EQ(rows[id]["md5"].stringValue(), "");
  }
  EXPECT_TRUE(client_->records().fetchPullFailed().empty())
      << "a cancelled pull records no failure";

  // The next cycle fetches them all.
  ASSERT_EQ(cycle(), "success");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(content("N" + std::to_string(i)), "late");
}

}  // namespace
