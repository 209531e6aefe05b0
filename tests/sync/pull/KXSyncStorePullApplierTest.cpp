// The store's side of the metadata pull, end to end: the pull proxy against
// the test note service, writing into a real data client over a temporary
// store. The service is edited between cycles as another client would, and
// every check reads the store back.
#include "sync/pull/KXSyncStorePullApplier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Data/client/KXEntryReads.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/Root.h"
#include "Data/store/KXManagedObjectContext.h"
#include "account/KXNetworkOperation.h"
#include "platform/NotificationCenter.h"
#include "support/QueueBarrier.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "sync/StorePullFixture.h"
#include "sync/SyncPullTestSupport.h"
#include "sync/cycle/KXSyncScriptBridge.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncPullProxy.h"

namespace {

// An applier whose conflict copies take a file id the store already holds,
// so that storing the copy fails.
class CopyRefusingApplier : public KXSyncStorePullApplier {
 public:
  CopyRefusingApplier(KXDataClient& client, std::string takenId)
      : KXSyncStorePullApplier(client), takenId_(std::move(takenId)) {}

 protected:
  std::string newFileId() override { return takenId_; }

 private:
  const std::string takenId_;
};

class KXSyncStorePullApplierTest : public kxtest::StorePullFixture {};

TEST_F(KXSyncStorePullApplierTest, EntriesOnAParentCycleArriveAndConvergeOnceTheServiceRepairsIt) {
  // Notebook "OLD" already lives here under the root.
  endpoints->putNotebook("OLD", "ROOT", "Old");
  ASSERT_EQ(cycle(), "success");

  // A page in which A's parent is B and B's parent is A, a note under B,
  // and the known notebook OLD drawn into a loop with C.
  endpoints->putNotebook("A", "B", "A");
  endpoints->putNotebook("B", "A", "B");
  endpoints->putNote("N", "B", "under.note", "under");
  endpoints->putNotebook("C", "OLD", "C");
  endpoints->putNotebook("OLD", "C", "Old");
  ASSERT_EQ(cycle(), "success");
  auto rows = stored();
  ASSERT_EQ(rows.count("A") + rows.count("B") + rows.count("N") + rows.count("C"), 4u)
      << "nothing on the cycle is left out";
  // Every entry of a loop is cut from it: new ones under the root, a known
  // one where it was; what lies below follows.
  EXPECT_EQ(rows["A"]["parentId"].stringValue(), "ROOT");
  EXPECT_EQ(rows["B"]["parentId"].stringValue(), "ROOT");
  EXPECT_EQ(rows["N"]["parentId"].stringValue(), "B");
  EXPECT_EQ(rows["C"]["parentId"].stringValue(), "ROOT");
  EXPECT_EQ(rows["OLD"]["parentId"].stringValue(), "ROOT") << "a known entry stays where it is";
  EXPECT_FALSE(rows["A"]["localModified"].boolValue()) << "the placement is not pushed";

  // Still a loop on the service: nothing moves, nothing is lost.
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(stored()["A"]["parentId"].stringValue(), "ROOT");

  // The service repairs its tree: the next cycle converges on it.
  endpoints->putNotebook("B", "ROOT", "B");
  endpoints->putNotebook("OLD", "ROOT", "Old");
  ASSERT_EQ(cycle(), "success");
  expectConverged();
}

TEST_F(KXSyncStorePullApplierTest, ANotebookTrashedOnTheServiceLeavesWhatChangedHereInACopy) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNotebook("SUB", "NB", "Sub");
  endpoints->putNote("N1", "SUB", "edited.note", "one");
  endpoints->putNote("N2", "NB", "untouched.note", "two");
  ASSERT_EQ(cycle(), "success");
  editLocally("N1", {{"localModified", kx::Value(1)}, {"contentChanged", kx::Value(true)}});

  endpoints->deleteEntry("NB");
  ASSERT_EQ(cycle(), "success");
  auto rows = stored();
  EXPECT_TRUE(rows["NB"]["del"].boolValue()) << "the notebook follows the service to the trash";
  // A copy of it, live in its old parent, holds a copy of SUB holding N1.
  std::string copyId;
  std::string seen;
  for (const auto& [id, row] : rows) {
    seen += id + ":" + row["title"].stringValue() + "@" + row["parentId"].stringValue() + " ";
    if (id != "NB" && row["title"].stringValue().rfind("Work", 0) == 0 && row["dir"].boolValue()) {
      copyId = id;
    }
  }
  ASSERT_FALSE(copyId.empty()) << seen;
  EXPECT_EQ(rows[copyId]["parentId"].stringValue(), "ROOT");
  EXPECT_FALSE(rows[copyId]["del"].boolValue());
  const std::string subCopy = rows["N1"]["parentId"].stringValue();
  ASSERT_NE(subCopy, "SUB");
  EXPECT_EQ(rows[subCopy]["title"].stringValue(), "Sub");
  EXPECT_EQ(rows[subCopy]["parentId"].stringValue(), copyId);
  EXPECT_FALSE(rows[subCopy]["del"].boolValue());
  EXPECT_EQ(rows["N1"]["localModified"].intValue(), 1) << "still to be pushed";
  EXPECT_EQ(rows["N2"]["parentId"].stringValue(), "NB") << "unchanged entries stay in the trash";
}

TEST_F(KXSyncStorePullApplierTest, StoreConvergesOnTheServiceAndAQuietCycleWritesNothing) {
  // Children are created on the service before their notebooks: the batch
  // comes child first and must land parents first.
  endpoints->putNote("N2", "SUB", "deep.note", "deep body");
  endpoints->putNotebook("SUB", "NB", "Sub");
  endpoints->putNote("N1", "NB", "Report.txt", "report body");
  endpoints->putEntry("F1", {{"parentId", kx::Value("NB")},
                             {"name", kx::Value("scan.pdf")},
                             {"domain", kx::Value(true)}});
  endpoints->putNotebook("NB", "ROOT", "Work");

  ASSERT_EQ(cycle(), "success");
  expectConverged();
  EXPECT_EQ(stored().size(), 6u) << "root, two notebooks, two notes, one file";
  EXPECT_EQ(stored()["N1"]["md5"].stringValue(),
            endpoints->entry("N1")["entry"]["md5"].stringValue())
      << "its body is the service's";

  // Nothing changed on either side: an empty page, and the store as it was.
  const auto before = stored();
  const std::int64_t version = endpoints->rootVersion();
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(pullRequestsFor(std::to_string(version)), 1u);
  const auto after = stored();
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [id, row] : before) {
    for (const auto& [key, value] : row) {
      // Set by the full-text indexer when it gets to the entry, on its own
      // time, and saved by whichever save comes next.
      if (key == "hasIndex") continue;
      EXPECT_EQ(after.at(id)[key], value) << id << " " << key;
    }
  }
  EXPECT_EQ(storedRootVersion(), version);

  // Another client renames, moves and edits; this machine changed nothing.
  endpoints->putNote("N1", "SUB", "Report v2.txt", "new report body");
  endpoints->putNotebook("SUB", "ROOT", "Sub moved");
  ASSERT_EQ(cycle(), "success");
  expectConverged();
}

TEST_F(KXSyncStorePullApplierTest, NoteEditedOnBothSidesKeepsLocalTextAndServiceVersionInACopy) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("N1", "NB", "Report.txt", "first");
  endpoints->putNote("N2", "NB", "Plan", "first plan");
  endpoints->putNote("OPEN", "NB", "open.note", "open in the editor");
  ASSERT_EQ(cycle(), "success");
  const std::int64_t syncedVersion = stored()["N1"]["version"].intValue();

  const kx::Dictionary localEdit{{"localModified", kx::Value(1)},
                                 {"contentChanged", kx::Value(true)},
                                 {"checksum", kx::Value("local-sum")}};
  editLocally("N1", localEdit);
  editLocally("N2", localEdit);
  // A notebook renamed on both sides keeps its local name.
  editLocally("NB", {{"localModified", kx::Value(1)}, {"title", kx::Value("Mine")}});
  endpoints->putNotebook("NB", "ROOT", "Theirs");
  endpoints->putNote("N1", "NB", "Report.txt", "changed on the service");
  endpoints->putNote("N2", "NB", "Plan", "plan changed on the service");
  // Changed only on the service, but open in the editor here.
  endpoints->putNote("OPEN", "NB", "open.note", "changed under the editor");
  auto bridge = std::make_shared<kxtest::EditingBridge>("OPEN");
  KXSyncScriptBridge::install(bridge);
  const kx::Value serviceN1 = endpoints->entry("N1")["entry"];

  // The first copies cannot be stored: the local entries must not take the
  // service's versions, or the next push would go over the service's text.
  env->applierToUse = std::make_shared<CopyRefusingApplier>(*client_, "NB");
  ASSERT_EQ(cycle(), "success");
  {
    auto rows = stored();
    EXPECT_EQ(rows["N1"]["version"].intValue(), syncedVersion);
    EXPECT_EQ(rows["N1"]["checksum"].stringValue(), "local-sum");
    EXPECT_EQ(rows.size(), 5u) << "no copy";
    EXPECT_EQ(client_->records().fetchPullFailed().size(), 3u) << "offered again by the next pull";
  }
  // The next cycle, with nothing new on the service, stores the copies.
  env->applierToUse = std::make_shared<KXSyncStorePullApplier>(*client_);
  ASSERT_EQ(cycle(), "success");

  auto rows = stored();
  EXPECT_EQ(rows["N1"]["checksum"].stringValue(), "local-sum") << "the local text stays";
  EXPECT_TRUE(rows["N1"]["contentChanged"].boolValue());
  EXPECT_EQ(rows["N1"]["version"].intValue(), serviceN1["version"].intValue());
  std::map<std::string, kx::Dictionary> copies;
  for (const auto& [id, row] : rows) {
    if (row["title"].stringValue().find("(Sync Conflicted)") != std::string::npos) {
      copies[row["title"].stringValue()] = row;
      EXPECT_NE(id, "N1");
      EXPECT_NE(id, "N2");
    }
  }
  KXSyncScriptBridge::install(nullptr);
  ASSERT_EQ(copies.size(), 3u);
  EXPECT_TRUE(copies.count("open(Sync Conflicted).note"));
  EXPECT_EQ(bridge->conflicts.load(), 6) << "three conflicts, met twice";
  const kx::Dictionary& copy = copies["Report(Sync Conflicted).txt"];
  EXPECT_EQ(copy["parentId"].stringValue(), "NB");
  EXPECT_EQ(copy["version"].intValue(), serviceN1["version"].intValue());
  EXPECT_EQ(copy["localModified"].intValue(), 1) << "the next push uploads it";
  EXPECT_TRUE(copy["contentChanged"].boolValue());
  EXPECT_TRUE(copies.count("Plan(Sync Conflicted).")) << "a title without extension";
  EXPECT_EQ(rows["NB"]["title"].stringValue(), "Mine");
  EXPECT_EQ(rows["NB"]["localModified"].intValue(), 1) << "pushed again";

  EXPECT_TRUE(client_->records().fetchPullFailed().empty());

  // A later quiet cycle makes no second copy.
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(stored().size(), rows.size());
}

TEST_F(KXSyncStorePullApplierTest, RemovalsDeletesAndErasesReachTheStore) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("GONE", "NB", "gone.note", "x");
  endpoints->putNote("TRASHED", "NB", "trashed.note", "x");
  endpoints->putNote("ERASED", "NB", "erased.note", "x");
  endpoints->putNotebook("SUB", "NB", "Sub");
  endpoints->putNote("UNDER_SUB", "SUB", "under.note", "x");
  endpoints->putNotebook("KEEP", "ROOT", "Keep");
  endpoints->putNote("MINE", "KEEP", "mine.note", "x");
  endpoints->putNotebook("ER_NB", "ROOT", "Erased notebook");
  endpoints->putNote("UNDER_ER", "ER_NB", "under-erased.note", "x");
  ASSERT_EQ(cycle(), "success");
  ASSERT_EQ(stored().size(), 11u);
  editLocally("MINE", {{"localModified", kx::Value(1)}});
  const std::int64_t keepVersion = stored()["KEEP"]["version"].intValue();

  endpoints->deleteEntry("TRASHED");  // into the service's trash
  endpoints->deleteEntry("GONE");
  endpoints->removeEntry("GONE");  // and out of it for good
  endpoints->eraseEntry("ERASED");
  endpoints->removeEntry("SUB");   // nothing changed here under it
  endpoints->removeEntry("KEEP");  // holds an entry changed here
  endpoints->eraseEntry("ER_NB");
  ASSERT_EQ(cycle(), "success");

  auto rows = stored();
  EXPECT_TRUE(rows["TRASHED"]["del"].boolValue());
  EXPECT_EQ(rows["TRASHED"]["parentId"].stringValue(), "1");
  EXPECT_TRUE(rows["GONE"]["remoteRemoved"].boolValue());
  EXPECT_TRUE(rows["GONE"]["del"].boolValue());
  for (const char* erased : {"ERASED", "SUB", "UNDER_SUB", "ER_NB", "UNDER_ER"}) {
    EXPECT_EQ(rows.count(erased), 0u) << erased;
  }
  ASSERT_EQ(rows.count("KEEP"), 1u);
  EXPECT_FALSE(rows["KEEP"]["remoteRemoved"].boolValue()) << "kept with what it holds";
  EXPECT_EQ(rows["KEEP"]["localModified"].intValue(), 1);
  EXPECT_EQ(rows["KEEP"]["version"].intValue(), keepVersion + 1);
  EXPECT_EQ(rows["MINE"]["parentId"].stringValue(), "KEEP");
  EXPECT_EQ(storedRootVersion(), endpoints->rootVersion());
}

TEST_F(KXSyncStorePullApplierTest, AMalformedEntryIsSkippedAndTheRestApplied) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putEntry("BAD", {{"parentId", kx::Value("NB")},
                              {"name", kx::Value::array({kx::Value(1), kx::Value(2)})}});
  endpoints->putNote("GOOD", "NB", "good.note", "x");
  ASSERT_EQ(cycle(), "success");
  auto rows = stored();
  EXPECT_EQ(rows.count("BAD"), 0u);
  EXPECT_EQ(rows.count("GOOD"), 1u);
  EXPECT_EQ(rows.count("NB"), 1u);
  EXPECT_EQ(storedRootVersion(), endpoints->rootVersion());
  EXPECT_NE(LogText().find("pulled entry BAD skipped: title"), std::string::npos) << LogText();
}

TEST_F(KXSyncStorePullApplierTest, AFailedSecondOfThreePagesAppliesNothing) {
  endpoints->putNotebook("NB", "ROOT", "Work");
  for (int i = 0; i < 1100; ++i) {
    endpoints->putNote("N" + std::to_string(i), "NB", "note " + std::to_string(i) + ".note", "x");
  }
  endpoints->failPullRequest(2, kxtest::Reply::json(500, R"({"error": 500})"));
  EXPECT_EQ(cycle(), "fail");
  EXPECT_TRUE(stored().empty());
  EXPECT_EQ(storedRootVersion(), 0);

  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(pullRequestsFor("0"), 2u + 3u) << "two before the failure, three after";
  EXPECT_EQ(stored().size(), 1102u);
  expectConverged();
}

TEST_F(KXSyncStorePullApplierTest, APullCutShortKeepsWholeEntriesAndTheNextPullCompletesIt) {
  // More entries than one unit of the apply holds: what a kill right after
  // the first unit's commit leaves on the disk is copied there, opened as
  // the store after a restart, and pulled again.
  const std::size_t notes = KXSyncStorePullApplier::kItemsPerSave + 90;
  endpoints->putNotebook("NB", "ROOT", "Work");
  for (std::size_t i = 0; i < notes; ++i) {
    endpoints->putNote("N" + std::to_string(i), "NB", "n" + std::to_string(i) + ".note",
                       "cut body " + std::to_string(i));
  }
  const std::string storeFolder = root_.path() + "/appdata";
  const std::string cutFolder = root_.path() + "/cut";
  std::size_t firstUnit = 0;
  const kx::NotificationCenter::Token token = kx::NotificationCenter::defaultCenter().addObserver(
      kKXContextDidSaveNotification, nullptr, nullptr, [&](const kx::Notification& n) {
        const std::size_t inserted = n.userInfo[kKXInsertedObjectsKey].array().size();
        if (firstUnit != 0 || inserted == 0) return;
        firstUnit = inserted;
        // On the saving thread, right after the commit: the store's files
        // as a kill now would leave them (the wal index is rebuilt on open).
        std::error_code ec;
        std::filesystem::copy(storeFolder, cutFolder, std::filesystem::copy_options::recursive, ec);
        ASSERT_FALSE(ec) << ec.message();
        for (const auto& file : std::filesystem::recursive_directory_iterator(cutFolder)) {
          if (file.path().string().ends_with("-shm")) std::filesystem::remove(file.path(), ec);
        }
      });
  const std::string result = cycle();
  kx::NotificationCenter::defaultCenter().removeObserver(token);
  ASSERT_EQ(result, "success");
  EXPECT_GT(firstUnit, 0u);
  EXPECT_LE(firstUnit, KXSyncStorePullApplier::kItemsPerSave);

  auto cutEnv = std::make_shared<kxtest::TestStoreEnvironment>(cutFolder);
  auto cutData = std::make_shared<KXDataContext>(cutEnv);
  KXDataClient cutClient(cutData);
  cutClient.openStore();
  ASSERT_TRUE(kxtest::waitForQueue(cutData->dbQueue()));
  kxtest::EventLog cutLog;
  auto cutPullEnv =
      std::make_shared<kxtest::StorePullEnvironment>(service.baseURL(), &cutClient, &cutLog);
  cutPullEnv->applierToUse = std::make_shared<KXSyncStorePullApplier>(cutClient);
  // Whole entries, none claiming a body, and the root version not moved on.
  EXPECT_EQ(cutPullEnv->baseVersion(), 0);
  std::size_t kept = 0;
  cutClient.reads().performSyncReadBlock([&] {
    for (std::size_t i = 0; i < notes; ++i) {
      KXFileMetaPtr entry = cutClient.reads().objectForFileMetaID("N" + std::to_string(i));
      if (!entry) continue;
      ++kept;
      EXPECT_EQ(entry->parentId(), "NB");
      EXPECT_EQ(entry->stringValue("title"), "n" + std::to_string(i) + ".note");
      EXPECT_EQ(entry->stringValue("md5"), "") << "no body is stored yet";
    }
    EXPECT_TRUE(cutClient.reads().objectForFileMetaID("NB"));
  });
  EXPECT_EQ(kept + 1, firstUnit) << "the notebook and the notes of the first unit";

  // The next pull brings every entry again and every body owed.
  auto delegate = std::make_shared<kxtest::RecordingPullDelegate>(&cutLog);
  auto proxy = std::make_shared<KXSyncPullProxy>(delegate, cutPullEnv);
  proxy->pull();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return cutLog.count("success") == 1; }, 60));
  cutData->performSyncWriteBlock([](KXManagedObjectContext&) {});
  EXPECT_EQ(cutPullEnv->baseVersion(), endpoints->rootVersion());
  cutClient.reads().performSyncReadBlock([&] {
    for (std::size_t i = 0; i < notes; ++i) {
      const std::string id = "N" + std::to_string(i);
      KXFileMetaPtr entry = cutClient.reads().objectForFileMetaID(id);
      ASSERT_TRUE(entry) << id;
      EXPECT_EQ(entry->stringValue("md5"), endpoints->entry(id)["entry"]["md5"].stringValue())
          << id;
    }
  });
  proxy->clearEnvironment();
  cutData->performSyncWriteBlock([](KXManagedObjectContext&) {});
}

}  // namespace
