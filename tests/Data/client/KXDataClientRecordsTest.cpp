#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "Data/DataClientFixture.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/FailedInfo.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/OperationLog.h"
#include "Data/entities/PenEntry.h"
#include "Data/entities/ShareLink.h"
#include "Data/entities/Statistic.h"
#include "Data/store/KXDataContext.h"
#include "support/TempAppRoot.h"

namespace {

using kxtest::TestStoreEnvironment;

class DataClientRecordsTest : public kxtest::DataClientFixture {
 protected:
  // Waits for everything queued on the write queue, then saves there.
  void Save() {
    data_->performSyncWriteBlock([](KXManagedObjectContext& context) {
      kx::Error error;
      EXPECT_TRUE(context.save(&error)) << error.localizedDescription();
    });
  }
  // Runs the block on the write queue after what is queued there.
  void OnWriteQueue(const std::function<void(KXManagedObjectContext&)>& block) {
    data_->performSyncWriteBlock(block);
  }

  void PutEntry(KXManagedObjectContext& c, const char* entity, const std::string& fileId,
                const std::string& parentId, kx::Dictionary more = {}) {
    KXManagedObjectPtr object = c.insertNewObject(entity);
    ASSERT_TRUE(object);
    object->setValuesForKeys({{"fileId", kx::Value(fileId)},
                              {"parentId", kx::Value(parentId)},
                              {"del", kx::Value(false)},
                              {"remoteRemoved", kx::Value(false)},
                              {"localModified", kx::Value(0)}});
    object->setValuesForKeys(more);
  }

  std::int64_t CountRows(const char* entity) {
    std::int64_t count = -1;
    OnWriteQueue([&](KXManagedObjectContext& c) { count = c.count(KXFetchRequest(entity)); });
    return count;
  }
};

// ---- Pull failures ---------------------------------------------------------------------

TEST_F(DataClientRecordsTest, PullFailuresAreOfferedFourTimesMore) {
  std::vector<std::int64_t> retries;
  for (int attempt = 1; attempt <= 6; ++attempt) {
    client_->records().pullFailedFileId(
        "F1", "{\"fileId\": \"F1\", \"attempt\": " + std::to_string(attempt) + "}");
    Save();
    OnWriteQueue([&](KXManagedObjectContext& c) {
      std::shared_ptr<FailedInfo> row = client_->records().failedInfoWithFileId("F1", &c);
      ASSERT_TRUE(row);
      retries.push_back(row->retry());
      // The row of the last counted failure keeps its text.
      EXPECT_NE(row->entryJson().find(std::to_string(std::min(attempt, 5))), std::string::npos);
    });
    const kx::Array offered = client_->records().fetchPullFailed();
    EXPECT_EQ(offered.size(), attempt < 5 ? 1u : 0u) << "after failure " << attempt;
    if (!offered.empty()) {
      EXPECT_EQ(offered[0]["attempt"].intValue(), attempt);
    }
  }
  EXPECT_EQ(retries, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 5}));
  EXPECT_EQ(CountRows("FailedInfo"), 1);

  client_->records().deletePullFailedFileId("F1");
  Save();
  EXPECT_EQ(CountRows("FailedInfo"), 0);
}

TEST_F(DataClientRecordsTest, PullFailureListSkipsUnparsableTextAndMissingArguments) {
  client_->records().pullFailedFileId("good", "{\"fileId\": \"good\"} // trailing comment");
  client_->records().pullFailedFileId("bad", "{not json");
  client_->records().pullFailedFileId(std::nullopt, "{}");
  client_->records().pullFailedFileId("no-meta", std::nullopt);
  client_->records().deletePullFailedFileId(std::nullopt);
  Save();
  const kx::Array offered = client_->records().fetchPullFailed();
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0]["fileId"], kx::Value("good"));
  EXPECT_EQ(CountRows("FailedInfo"), 2);
}

// ---- Counters ---------------------------------------------------------------------------

TEST_F(DataClientRecordsTest, CountersAddUpAndZeroKeepsTheirRows) {
  for (int i = 0; i < 3; ++i) client_->records().addStatisKey("pull_conflict");
  client_->records().addStatisKey("normal", kx::Value(5));
  client_->records().addStatisKey("normal", kx::Value("2"));
  client_->records().addStatisKey("unused", kx::Value(0));
  Save();
  EXPECT_EQ(client_->records().fetchStatisInfo(),
            (kx::Dictionary{{"pull_conflict", kx::Value(3)}, {"normal", kx::Value(7)}}));

  client_->records().ZeroingStatisInfo();
  Save();
  EXPECT_TRUE(client_->records().fetchStatisInfo().empty());
  EXPECT_EQ(CountRows("Statistic"), 3);
  client_->records().addStatisKey("normal");
  Save();
  EXPECT_EQ(client_->records().fetchStatisInfo(), (kx::Dictionary{{"normal", kx::Value(1)}}));
}

// ---- Share links -------------------------------------------------------------------------

TEST_F(DataClientRecordsTest, ShareLinksFollowTheirEntries) {
  OnWriteQueue([&](KXManagedObjectContext& c) {
    PutEntry(c, "Note", "N1", "ROOT");
    PutEntry(c, "Note", "N2", "1", {{"del", kx::Value(true)}});
  });
  auto linkOf = [&](const std::string& fileId) {
    std::shared_ptr<ShareLink> link;
    OnWriteQueue([&](KXManagedObjectContext& c) {
      if (KXFileMetaPtr entry = client_->readsIn(&c).objectForFileMetaID(fileId)) {
        link = KXCast<ShareLink>(entry->object("shareLinkInfo"));
      }
    });
    return link;
  };

  client_->records().updateShareInfo("https://example.org/s/1", true, "N1");
  std::shared_ptr<ShareLink> link = linkOf("N1");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->entryId(), "N1");
  EXPECT_EQ(link->shareUrl(), "https://example.org/s/1");
  EXPECT_TRUE(link->searchEngineEnable());

  // A second update changes the same row.
  client_->records().updateShareInfo("https://example.org/s/2", false, "N1", *data_);
  link = linkOf("N1");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->shareUrl(), "https://example.org/s/2");
  EXPECT_FALSE(link->searchEngineEnable());
  EXPECT_EQ(CountRows("ShareLink"), 1);

  // An empty URL, or none, removes the row.
  for (const std::optional<std::string>& url :
       {std::optional<std::string>(""), std::optional<std::string>()}) {
    client_->records().updateShareInfo("https://example.org/s/3", true, "N1");
    ASSERT_TRUE(linkOf("N1"));
    client_->records().updateShareInfo(url, true, "N1");
    EXPECT_FALSE(linkOf("N1"));
    EXPECT_EQ(CountRows("ShareLink"), 0);
  }

  // An entry in the trash gets no link, and loses the one it had.
  client_->records().updateShareInfo("https://example.org/s/4", true, "N2");
  EXPECT_FALSE(linkOf("N2"));
  EXPECT_EQ(CountRows("ShareLink"), 0);

  // A file id the store does not hold leaves no row behind.
  client_->records().updateShareInfo("https://example.org/s/5", true, "missing");
  EXPECT_EQ(CountRows("ShareLink"), 0);
  Save();
}

// ---- Child notebooks ------------------------------------------------------------------------

TEST_F(DataClientRecordsTest, ChildNotebookCountIncludesDeletedOnes) {
  OnWriteQueue([&](KXManagedObjectContext& c) {
    PutEntry(c, "Notebook", "B1", "P");
    PutEntry(c, "Notebook", "B2", "P", {{"del", kx::Value(true)}});
    PutEntry(c, "Notebook", "B3", "other");
    PutEntry(c, "Note", "N1", "P");
  });
  Save();
  EXPECT_EQ(client_->reads().getSubNotebookNumOfNotebook("P"), 2u);
  std::uint64_t onReadQueue = 0;
  data_->performSyncReadBlock([&](KXManagedObjectContext&) {
    onReadQueue = client_->reads().getSubNotebookNumOfNotebook("P");
  });
  EXPECT_EQ(onReadQueue, 2u);
  EXPECT_EQ(client_->reads().getSubNotebookNumOfNotebook("nobody"), 0u);
}

// ---- Pen pages ----------------------------------------------------------------------------------

kx::Dictionary PenPage(const std::string& entryId, std::int64_t version, const std::string& name,
                       int deleted = 0) {
  return kx::Dictionary{{"avtice", kx::Value("1")},      {"createTime", kx::Value(1700000000)},
                        {"deleted", kx::Value(deleted)}, {"entryId", kx::Value(entryId)},
                        {"entryType", kx::Value(2)},     {"erased", kx::Value(0)},
                        {"favorited", kx::Value(true)},  {"fileSize", kx::Value("2048")},
                        {"modDeleted", kx::Value(0)},    {"modifyTime", kx::Value(1700000100)},
                        {"name", kx::Value(name)},       {"typeId", kx::Value("t1")},
                        {"userId", kx::Value("u1")},     {"version", kx::Value(version)}};
}

TEST_F(DataClientRecordsTest, PenPagesAreSavedAndKeepTheirNewestVersion) {
  client_->records().createUpdatePenNote(PenPage("P1", 3, "first"));
  // The update saves by itself: the read queue sees the page.
  OnWriteQueue([](KXManagedObjectContext&) {});
  std::vector<std::shared_ptr<PenEntry>> pages = client_->records().penNotesList();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0]->entryId(), "P1");
  EXPECT_EQ(pages[0]->name(), "first");
  EXPECT_TRUE(pages[0]->active());  // the integer of "1"
  EXPECT_EQ(pages[0]->fileSize(), 2048);
  EXPECT_EQ(pages[0]->entryType(), 2);
  EXPECT_EQ(pages[0]->version(), 3);

  struct Step {
    std::int64_t version;
    const char* name;
    const char* kept;
  };
  const Step steps[] = {{3, "same version", "first"}, {2, "older", "first"}, {4, "newer", "newer"}};
  for (const Step& step : steps) {
    client_->records().createUpdatePenNote(PenPage("P1", step.version, step.name));
    OnWriteQueue([](KXManagedObjectContext&) {});
    pages = client_->records().penNotesList();
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0]->name(), step.kept) << step.name;
  }
}

TEST_F(DataClientRecordsTest, PenPageMarkedDeletedIsRemoved) {
  client_->records().createUpdatePenNote(PenPage("P1", 1, "page", /*deleted=*/1));
  client_->records().createUpdatePenNote(PenPage("P2", 1, "other"));
  OnWriteQueue([](KXManagedObjectContext&) {});
  ASSERT_EQ(client_->records().penNotesList().size(), 2u);

  // The next update of the page finds the mark and queues the deletion,
  // which runs after the update's own save: the first barrier lets the
  // update run, the save after it comes after the deletion.
  client_->records().createUpdatePenNote(PenPage("P1", 1, "page", 1));
  OnWriteQueue([](KXManagedObjectContext&) {});
  Save();
  std::vector<std::shared_ptr<PenEntry>> pages = client_->records().penNotesList();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0]->entryId(), "P2");
}

TEST_F(DataClientRecordsTest, DeletedPenPagesAreReportedByID) {
  client_->records().createUpdatePenNote(PenPage("P1", 1, "page"));
  OnWriteQueue([](KXManagedObjectContext&) {});
  std::vector<KXObjectID> ids;
  for (const auto& page : client_->records().penNotesList()) ids.push_back(page->objectID());
  ASSERT_EQ(ids.size(), 1u);

  KXResultInfo answer;
  client_->records().deletePenNote(ids, [&](const KXResultInfo& info, const kx::Error& error) {
    answer = info;
    EXPECT_FALSE(error);
  });
  Save();
  ASSERT_TRUE(answer.hasResult);
  EXPECT_EQ(answer.value, kx::Value(kx::Array{ids[0].toValue()}));
  EXPECT_TRUE(client_->records().penNotesList().empty());
}

// ---- Entry fields and push marks ---------------------------------------------------------------

TEST_F(DataClientRecordsTest, ContentFlagAndChecksumReachStoredEntries) {
  OnWriteQueue([&](KXManagedObjectContext& c) { PutEntry(c, "Note", "N1", "ROOT"); });
  client_->records().updateContentChanged(kx::Value(true), "N1");
  client_->records().updateChecksum("abc123", "N1");
  client_->records().updateChecksum("zzz", "missing");
  Save();
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N1");
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->boolValue("contentChanged"));
  EXPECT_EQ(entry->stringValue("checksum"), "abc123");
  client_->records().updateContentChanged(kx::Value(false), "N1");
  Save();
  EXPECT_FALSE(client_->reads().objectForFileMetaID("N1")->boolValue("contentChanged"));
}

TEST_F(DataClientRecordsTest, PushMarksWaitAndRunInlineOnTheWriteQueue) {
  OnWriteQueue([&](KXManagedObjectContext& c) {
    KXManagedObjectPtr root = c.insertNewObject("Root");
    root->setValue("fileId", kx::Value("ROOT"));
    PutEntry(c, "Note", "changed", "ROOT", {{"localModified", kx::Value(1)}});
    PutEntry(c, "Notebook", "NB", "ROOT",
             {{"localModified", kx::Value(1)}, {"dir", kx::Value(true)}});
    PutEntry(c, "Note", "nested", "NB", {{"localModified", kx::Value(1)}});
    PutEntry(c, "Note", "clean", "ROOT");
    PutEntry(c, "Note", "hidden", "-2", {{"localModified", kx::Value(1)}});
    PutEntry(c, "Note", "single", "ROOT");
  });
  auto flags = [&] {
    std::map<std::string, std::int64_t> out;
    OnWriteQueue([&](KXManagedObjectContext& c) {
      for (const char* id : {"changed", "NB", "nested", "clean", "hidden", "single"}) {
        out[id] = client_->readsIn(&c).objectForFileMetaID(id)->localModified();
      }
    });
    return out;
  };

  // From another queue: the call returns once the mark is made.
  client_->records().markPushFailedWithId("single");
  EXPECT_EQ(flags()["single"], 2);

  // From inside a write block: inline, no deadlock, visible at once.
  OnWriteQueue([&](KXManagedObjectContext& c) {
    client_->records().markPushFailedWithId("clean");
    EXPECT_EQ(client_->readsIn(&c).objectForFileMetaID("clean")->localModified(), 2);
    client_->records().markPushFailed();
    EXPECT_EQ(client_->readsIn(&c).objectForFileMetaID("nested")->localModified(), 2);
  });
  const std::map<std::string, std::int64_t> expected{{"changed", 2}, {"NB", 2},     {"nested", 2},
                                                     {"clean", 2},   {"hidden", 1}, {"single", 2}};
  EXPECT_EQ(flags(), expected);
  client_->records().markPushFailedWithId(std::nullopt);
  Save();
}

// ---- Operation log
// -------------------------------------------------------------------------------

TEST_F(DataClientRecordsTest, OperationLogKeepsTheFirstRecordOfAType) {
  client_->records().addOperationLog(3, kx::Value(kx::Bytes{1, 2, 3}));
  client_->records().addOperationLog(3, kx::Value(kx::Bytes{9}));
  client_->records().addOperationLog(4, kx::Value());
  Save();
  std::shared_ptr<OperationLog> three = client_->records().objectForOperationType(3);
  ASSERT_TRUE(three);
  EXPECT_EQ(three->opData(), (kx::Bytes{1, 2, 3}));
  std::shared_ptr<OperationLog> four = client_->records().objectForOperationType(4);
  ASSERT_TRUE(four);
  EXPECT_TRUE(four->isNil("opData"));
  EXPECT_FALSE(client_->records().objectForOperationType(5));
  EXPECT_EQ(CountRows("OperationLog"), 2);
}

}  // namespace
