// The index rebuild: its state keys (done, analysis version), the two
// selections with the trash rule and the network flag, the hand-off of
// shared entries to the my-share hook, and what a failed read or a missing
// content file leaves behind.
#include "Data/client/KXRecreateIndexProxy.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXLogger.h"
#include "Data/DataClientFixture.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXMyshareHooks.h"
#include "Data/client/KXStoreState.h"
#include "platform/FileSystem.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSLucene.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::Put;

constexpr int kAnalysis = KXSIndexProxy::kAnalysisVersion;

class RecreateIndexTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    ASSERT_NE(client_->indexing().ftsIndexer(), nullptr);
    proxy_ = std::make_unique<KXRecreateIndexProxy>(*client_, files());
    KXMyshareHooks::install([this](const kx::Dictionary& info) {
      std::lock_guard<std::mutex> lock(handedMu_);
      handed_.push_back(info);
    });
  }
  void TearDown() override {
    WaitForRun();
    proxy_.reset();
    KXMyshareHooks::resetForTesting();
    DataClientFixture::TearDown();
  }

  static KXFileManager& files() { return KXFileManager::defaultManauger(); }

  // A live Markdown file of the user's own, with its content file unless
  // content is nullopt.
  void PutOwn(KXManagedObjectContext& c, const std::string& fileId, const std::string& title,
              const std::optional<std::string>& content, kx::Dictionary more = {}) {
    kx::Dictionary fields{{"fileId", kx::Value(fileId)},
                          {"parentId", kx::Value("ROOT")},
                          {"title", kx::Value(title)},
                          {"domain", kx::Value(1)}};
    for (const auto& [key, value] : more) fields.set(key, value);
    Put(c, "NormalFile", fields);
    if (content) {
      EXPECT_TRUE(kx::FileSystem::Default().writeFile(files().URLForContentFile(fileId, false),
                                                      *content, nullptr));
    }
  }
  static void PutState(KXManagedObjectContext& c, const char* key, kx::Value value) {
    Put(c, "DbState", {{"stateKey", kx::Value(key)}, {"stateValue", std::move(value)}});
  }

  // Waits until the run started before has read its selections, stepped
  // through them, and the flags of what it indexed are set; then saves.
  void WaitForRun() {
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    ASSERT_TRUE(kxtest::waitForQueue(proxy_->indexQueue()));
    std::promise<void> done;
    client_->indexing().indexNotes({}, [&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    Write([](KXManagedObjectContext&) {});
  }
  void Run() {
    proxy_->startRecreateIndex();
    WaitForRun();
  }

  bool Indexed(const std::string& fileId) {
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID(fileId);
    EXPECT_TRUE(entry) << fileId;
    return entry && entry->boolValue("hasIndex");
  }
  kx::Value State(const char* key) { return client_->state().dbStateValueWithKey(key); }

  std::vector<kx::Dictionary> Handed() {
    std::lock_guard<std::mutex> lock(handedMu_);
    return handed_;
  }

  std::unique_ptr<KXRecreateIndexProxy> proxy_;
  std::mutex handedMu_;
  std::vector<kx::Dictionary> handed_;
};

}  // namespace

TEST_F(RecreateIndexTest, NeedFollowsTheDoneKeyAndTheAnalysisVersion) {
  struct Case {
    const char* name;
    std::optional<bool> done;
    std::optional<int> analysis;
    bool need;
  };
  const Case cases[] = {
      {"new store", std::nullopt, std::nullopt, true},
      {"done, current analysis", true, kAnalysis, false},
      {"done, newer analysis", true, kAnalysis + 1, false},
      {"not done, current analysis", false, kAnalysis, true},
      {"done before the version was kept", true, std::nullopt, true},
      {"done under an older analysis", true, kAnalysis - 1, true},
  };
  for (const Case& c : cases) {
    Write([&](KXManagedObjectContext& context) {
      for (const KXManagedObjectPtr& row :
           context.fetch(*KXEntryReads::buildQuery({{kKXQueryEntityKey, kx::Value("DbState")}}))) {
        context.deleteObject(row);
      }
      if (c.done)
        PutState(context, KXRecreateIndexProxy::kRecreateIndexDoneKey, kx::Value(*c.done));
      if (c.analysis) {
        PutState(context, KXRecreateIndexProxy::kRecreateIndexAnalysisVersionKey,
                 kx::Value(*c.analysis));
      }
    });
    EXPECT_EQ(proxy_->isNeedRecreateIndex(), c.need) << c.name;
  }
}

TEST_F(RecreateIndexTest, ADoneStoreReadsNothing) {
  Write([&](KXManagedObjectContext& c) {
    PutState(c, KXRecreateIndexProxy::kRecreateIndexDoneKey, kx::Value(true));
    PutState(c, KXRecreateIndexProxy::kRecreateIndexAnalysisVersionKey, kx::Value(kAnalysis));
    PutOwn(c, "F_a", "alpha.md", "aardvark");
    PutOwn(c, "F_s", "shared.md", std::nullopt, {{"public_key", kx::Value("k")}});
  });
  Run();
  EXPECT_FALSE(Indexed("F_a"));
  EXPECT_TRUE(Search("aardvark").empty());
  EXPECT_TRUE(Handed().empty());
}

TEST_F(RecreateIndexTest, RunsUntilOneFindsNothingAndNeverTakesTheTrash) {
  Write([&](KXManagedObjectContext& c) {
    PutOwn(c, "F_a", "alpha.md", "aardvark");
    PutOwn(c, "F_b", "bravo.md", "buffalo \u9a86\u9a7c");
    PutOwn(c, "F_t", "trashed.md", "tapir",
           {{"del", kx::Value(true)}, {"parentId", kx::Value("1")}});
    PutOwn(c, "F_p", "photo.png", "pelican");
    Put(c, "Note",
        {{"fileId", kx::Value("N_a")},
         {"parentId", kx::Value("ROOT")},
         {"title", kx::Value("memo")}});
  });
  ASSERT_TRUE(proxy_->isNeedRecreateIndex());

  Run();
  EXPECT_TRUE(Indexed("F_a"));
  EXPECT_TRUE(Indexed("F_b"));
  EXPECT_FALSE(Indexed("F_t")) << "an entry in the trash is never selected";
  EXPECT_FALSE(Indexed("F_p"));
  EXPECT_FALSE(Indexed("N_a"));
  EXPECT_EQ(Search("aardvark"), std::vector<std::string>{"F_a"});
  EXPECT_EQ(Search("bravo.md"), std::vector<std::string>{"F_b"}) << "the title is indexed too";
  EXPECT_EQ(Search("\u9a86\u9a7c"), std::vector<std::string>{"F_b"});
  EXPECT_TRUE(Search("tapir").empty());
  EXPECT_TRUE(Search("pelican").empty());
  EXPECT_FALSE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).boolValue())
      << "this run still found entries";
  EXPECT_TRUE(proxy_->isNeedRecreateIndex());

  Run();
  EXPECT_TRUE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).boolValue());
  EXPECT_EQ(State(KXRecreateIndexProxy::kRecreateIndexAnalysisVersionKey).intValue(), kAnalysis);
  EXPECT_FALSE(proxy_->isNeedRecreateIndex());
  EXPECT_FALSE(Indexed("F_t"));
  EXPECT_TRUE(Handed().empty());
}

TEST_F(RecreateIndexTest, SharedEntriesWaitForTheNetworkThenGoToTheMyshareHook) {
  Write([&](KXManagedObjectContext& c) {
    PutOwn(c, "F_a", "alpha.md", "aardvark");
    PutOwn(c, "S_md", "shared.md", std::nullopt,
           {{"public_key", kx::Value("k1")}, {"version", kx::Value(7)}});
    // A shared note (domain 0) without a version: the hand-off ends there.
    Put(c, "Note",
        {{"fileId", kx::Value("S_note")},
         {"parentId", kx::Value("ROOT")},
         {"title", kx::Value("memo")},
         {"domain", kx::Value(0)},
         {"public_key", kx::Value("k2")}});
    // Neither Markdown nor a note: not selected.
    PutOwn(c, "S_png", "photo.png", std::nullopt, {{"public_key", kx::Value("k3")}});
    PutOwn(c, "S_del", "gone.md", std::nullopt,
           {{"public_key", kx::Value("k4")}, {"del", kx::Value(true)}});
  });

  proxy_->changeNetWorkStatus(false);
  Run();
  EXPECT_TRUE(Indexed("F_a"));
  EXPECT_TRUE(Handed().empty()) << "no network: only own entries";

  proxy_->changeNetWorkStatus(true);
  Run();
  std::vector<kx::Dictionary> handed = Handed();
  ASSERT_EQ(handed.size(), 2u);
  std::vector<std::string> ids;
  for (const kx::Dictionary& info : handed) ids.push_back(info.find("fileId")->stringValue());
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"S_md", "S_note"}));
  for (const kx::Dictionary& info : handed) {
    if (info.find("fileId")->stringValue() == "S_md") {
      EXPECT_EQ(kx::Value(info), kx::Value::dict({{"fileId", kx::Value("S_md")},
                                                  {"title", kx::Value("shared.md")},
                                                  {"domain", kx::Value(1)},
                                                  {"version", kx::Value(7)}}));
    } else {
      EXPECT_EQ(kx::Value(info), kx::Value::dict({{"fileId", kx::Value("S_note")},
                                                  {"title", kx::Value("memo")},
                                                  {"domain", kx::Value(0)}}));
    }
  }
  // The hook indexed nothing: the shared entries are offered again, and the
  // store is not done.
  EXPECT_FALSE(Indexed("S_md"));
  EXPECT_FALSE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).boolValue());

  // Without a my-share proxy installed the entries stay as they are.
  KXMyshareHooks::resetForTesting();
  Run();
  EXPECT_EQ(Handed().size(), 2u);
  EXPECT_FALSE(Indexed("S_md"));
  EXPECT_NE(LogText().find("no my-share proxy is installed"), std::string::npos);
  EXPECT_FALSE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).boolValue());
}

TEST_F(RecreateIndexTest, AMissingContentFileIsIndexedByItsTitleOnly) {
  Write([&](KXManagedObjectContext& c) { PutOwn(c, "F_g", "ghost.md", std::nullopt); });
  Run();
  EXPECT_TRUE(Indexed("F_g"));
  EXPECT_EQ(Search("ghost.md"), std::vector<std::string>{"F_g"});
  const std::string placeholder = KXFileManager::missingContentText();
  ASSERT_FALSE(placeholder.empty());
  EXPECT_TRUE(Search(placeholder).empty()) << "the placeholder text is not indexed";
}

TEST_F(RecreateIndexTest, AnUnreadableContentFileIsLeftForALaterRun) {
  Write([&](KXManagedObjectContext& c) {
    PutOwn(c, "F_u", "unread.md", "wombat");
    PutOwn(c, "F_r", "read.md", "koala");
  });
  {
    // The file is there but fails to open (EIO): not indexed as empty.
    // The log file is opened before the faults.
    KXLOG("%s", "unreadable content test");
    KXLogger::sharedLogger().drain();
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = kxtest::FaultInjectingFileSystem::Op::OpenRead,
               .pathContains = "F_u",
               .times = -1,
               .error = EIO});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    Run();
  }
  EXPECT_FALSE(Indexed("F_u"));
  EXPECT_TRUE(Search("unread.md").empty());
  EXPECT_TRUE(Indexed("F_r")) << "the other entry of the run goes in";
  EXPECT_FALSE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).boolValue());

  // Readable again: the next run indexes the body.
  Run();
  EXPECT_TRUE(Indexed("F_u"));
  EXPECT_EQ(Search("wombat"), std::vector<std::string>{"F_u"});
}

TEST_F(RecreateIndexTest, ADocumentTheIndexRefusesStaysUnmarkedAndKeepsTheStoreUndone) {
  // The index refuses an identifier that is not UTF-8; the other entry of
  // the run goes in.
  const std::string badId = std::string("F_bad\xff");
  Write([&](KXManagedObjectContext& c) {
    PutOwn(c, "F_a", "alpha.md", "aardvark");
    PutOwn(c, badId, "bad.md", std::nullopt);
  });
  Run();
  EXPECT_TRUE(Indexed("F_a"));
  EXPECT_FALSE(Indexed(badId));
  Run();
  EXPECT_FALSE(Indexed(badId));
  EXPECT_FALSE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).boolValue())
      << "the refused entry is offered again";
}

TEST_F(RecreateIndexTest, AFailedSelectionReadIsNotAnEmptyList) {
  Write([&](KXManagedObjectContext& c) {
    PutState(c, KXRecreateIndexProxy::kRecreateIndexAnalysisVersionKey, kx::Value(kAnalysis));
  });
  // The entries' table goes away under the store: both selections fail.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(data_->storePath().c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  const int rc = sqlite3_exec(db, "ALTER TABLE \"FileMeta\" RENAME TO \"FileMetaAway\"", nullptr,
                              nullptr, &message);
  EXPECT_EQ(rc, SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);

  Run();
  EXPECT_TRUE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).isNull());
  EXPECT_TRUE(proxy_->isNeedRecreateIndex());
  EXPECT_NE(LogText().find("own entries not read"), std::string::npos);
}

TEST_F(RecreateIndexTest, AnOlderAnalysisIndexesTheSelectedEntriesAgain) {
  Write([&](KXManagedObjectContext& c) {
    PutState(c, KXRecreateIndexProxy::kRecreateIndexDoneKey, kx::Value(true));
    PutState(c, KXRecreateIndexProxy::kRecreateIndexAnalysisVersionKey, kx::Value(kAnalysis - 1));
    const kx::Dictionary indexed{{"hasIndex", kx::Value(true)}};
    PutOwn(c, "F_a", "alpha.md", "aardvark", indexed);
    PutOwn(c, "F_t", "trashed.md", "tapir",
           {{"hasIndex", kx::Value(true)}, {"del", kx::Value(true)}, {"parentId", kx::Value("1")}});
    PutOwn(c, "S_md", "shared.md", std::nullopt,
           {{"hasIndex", kx::Value(true)}, {"public_key", kx::Value("k")}});
    Put(c, "Note",
        {{"fileId", kx::Value("N_a")},
         {"parentId", kx::Value("ROOT")},
         {"title", kx::Value("memo")},
         {"hasIndex", kx::Value(true)}});
  });
  ASSERT_TRUE(proxy_->isNeedRecreateIndex());

  Run();
  EXPECT_EQ(State(KXRecreateIndexProxy::kRecreateIndexAnalysisVersionKey).intValue(), kAnalysis);
  EXPECT_TRUE(Indexed("F_a"));
  EXPECT_EQ(Search("aardvark"), std::vector<std::string>{"F_a"});
  EXPECT_FALSE(Indexed("S_md")) << "offered to the my-share proxy again";
  ASSERT_EQ(Handed().size(), 1u);
  EXPECT_EQ(Handed()[0].find("fileId")->stringValue(), "S_md");
  EXPECT_TRUE(Indexed("F_t")) << "entries no selection covers keep their flag";
  EXPECT_TRUE(Indexed("N_a"));
  EXPECT_FALSE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).boolValue());

  // The shared entry gets indexed (as its proxy would); the next run only
  // finds nothing left and does not clear anything again.
  client_->indexing().indexNotes(
      {kx::Value::dict({{"docID", kx::Value("S_md")}, {"docContent", kx::Value("sable")}})});
  WaitForRun();
  Run();
  EXPECT_TRUE(Indexed("F_a"));
  EXPECT_TRUE(Indexed("S_md"));
  EXPECT_TRUE(State(KXRecreateIndexProxy::kRecreateIndexDoneKey).boolValue());
  EXPECT_FALSE(proxy_->isNeedRecreateIndex());
}
