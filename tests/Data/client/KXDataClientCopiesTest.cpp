// Copies, moves and restores of file entries: what the copies take from
// their sources, moves that would put a folder inside itself, restores out
// of the trash into folders that are gone (made once, also for two restores
// in a row), and the ancestry walks.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/LocalizedStrings.h"

namespace {

using kxtest::Put;

// The (info, error) pairs a completion received, in order; waits for a
// number of them.
class Calls {
 public:
  KXDataCallback callback() {
    return [this](const KXResultInfo& info, const kx::Error& error) {
      std::lock_guard<std::mutex> lock(mu_);
      infos_.push_back(info);
      errors_.push_back(error);
      cv_.notify_all();
    };
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return errors_.size() >= count; });
  }
  std::vector<kx::Error> errors() {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
  }
  std::vector<KXResultInfo> infos() {
    std::lock_guard<std::mutex> lock(mu_);
    return infos_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<KXResultInfo> infos_;
  std::vector<kx::Error> errors_;
};

class CopiesTest : public kxtest::DataClientFixture {
 protected:
  //   ROOT (version 3)
  //     NB_A "Travel" > NB_B "Rome" > N_b "rome.note", F_b "map.pdf"
  //     NB_C "Work"
  //     N_a "plan.note"
  void BuildTree() {
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root",
          {{"fileId", kx::Value("ROOT")},
           {"title", kx::Value("My Notes")},
           {"version", kx::Value(3)}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_A")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Travel")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_B")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("Rome")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_C")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Work")},
           {"namePath", kx::Value("")}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_b")},
           {"parentId", kx::Value("NB_B")},
           {"title", kx::Value("rome.note")}});
      Put(c, "NormalFile",
          {{"fileId", kx::Value("F_b")},
           {"parentId", kx::Value("NB_B")},
           {"title", kx::Value("map.pdf")},
           {"domain", kx::Value(1)},
           {"size", kx::Value(1234)},
           {"author", kx::Value("ann")}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_a")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("plan.note")}});
    });
  }

  // Sets fields of stored entries and saves.
  void Change(const std::string& fileId, const kx::Dictionary& fields) {
    Write([&](KXManagedObjectContext& c) {
      KXFileMetaPtr entry = client_->readsIn(&c).objectForFileMetaID(fileId);
      ASSERT_TRUE(entry) << fileId;
      EXPECT_TRUE(entry->setValuesForKeys(fields));
    });
  }

  // Waits for every block queued on the write queue before, then saves.
  void Save() {
    Write([](KXManagedObjectContext&) {});
  }

  KXFileMetaPtr Entry(const std::string& fileId) {
    return client_->reads().objectForFileMetaID(fileId);
  }

  // Live folders with that title under the parent.
  KXFileMetaArray Folders(const std::string& title, const std::string& parentId) {
    std::optional<std::vector<KXManagedObjectPtr>> found =
        client_->reads().readFileMetasSyncForQuery(
            "del = NO AND dir = YES AND title = %@ AND parentId = %@", {title, parentId},
            "FileMeta", nullptr);
    KXFileMetaArray out;
    for (const auto& object : found.value_or(std::vector<KXManagedObjectPtr>{})) {
      out.push_back(KXCast<FileMeta>(object));
    }
    return out;
  }

  static std::string S() { return kx::LocalizedStrings::localized("Sync Conflicted"); }
};

TEST_F(CopiesTest, ConflictTitlesPutTheMarkBeforeTheExtension) {
  struct Case {
    const char* title;
    bool keepExtension;
    std::string expected;
  };
  const Case cases[] = {
      {"plan.docx", true, "plan(" + S() + ").docx"},
      {"Plan", true, "Plan(" + S() + ")"},
      {"a.b.c", true, "a.b(" + S() + ").c"},
      {"notes", true, "notes(" + S() + ")"},
      {".hidden", true, ".hidden(" + S() + ")"},
      {"dir.v2/", true, "dir.v2/(" + S() + ")"},
      {"a.b", false, "a.b(" + S() + ")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXEntryWrites::conflictTitle(c.title, c.keepExtension), c.expected) << c.title;
  }
}

TEST_F(CopiesTest, CopiesFromFilePartsStartFreshAndKeepOnlyTheEditorType) {
  BuildTree();
  Change("N_a", {{"version", kx::Value(5)},
                 {"stick", kx::Value(true)},
                 {"stickTime", kx::Value(99)},
                 {"tags", kx::Value("7,12")},
                 {"hasIndex", kx::Value(true)},
                 {"entryProps", kx::Value(JSONData(kx::Dictionary{{"orgEditorType", kx::Value(2)},
                                                                  {"other", kx::Value(1)}}))}});
  const kx::Dictionary parts{
      {"N_a", kx::Value::dict({{"fileId", kx::Value("N_copy")}})},
      // A copy id that is stored already makes no entry.
      {"F_b", kx::Value::dict({{"fileId", kx::Value("N_b")}})},
      {"nope", kx::Value::dict({{"fileId", kx::Value("X")}})},
  };
  Calls calls;
  client_->writes().copyFileParts(parts, "NB_C", calls.callback(), /*isConflicted=*/true);
  ASSERT_TRUE(calls.WaitFor(1));
  Save();

  const KXResultInfo info = calls.infos()[0];
  EXPECT_FALSE(calls.errors()[0]);
  ASSERT_TRUE(info.value.isDictionary());
  EXPECT_EQ(info.value.dict().keys().size(), 2u) << "unknown sources are skipped";
  EXPECT_EQ(info.value["F_b"]["fileId"].stringValue(), "N_b") << "in the map, though not made";
  EXPECT_EQ(info.value["N_a"]["entity"].stringValue(), "Note");
  EXPECT_EQ(kxtest::Ids(info.fetch.objects), std::vector<std::string>{"N_copy"});

  KXFileMetaPtr copy = Entry("N_copy");
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->parentId(), "NB_C");
  EXPECT_EQ(copy->title(), "plan(" + S() + ").note");
  EXPECT_EQ(copy->version(), 0);
  EXPECT_EQ(copy->localModified(), 1);
  EXPECT_TRUE(copy->contentChanged());
  EXPECT_EQ(copy->transactionId(), "N_copy");
  EXPECT_FALSE(copy->stick());
  EXPECT_EQ(copy->stickTime(), 0);
  EXPECT_EQ(copy->tags(), "");
  EXPECT_FALSE(copy->boolValue("hasIndex")) << "the copy is not in the index yet";
  EXPECT_EQ(objectFromJSONData(copy->value("entryProps").bytes()),
            kx::Value::dict({{"orgEditorType", kx::Value(2)}}));
  EXPECT_EQ(Entry("N_b")->parentId(), "NB_B") << "the stored entry is left alone";
}

TEST_F(CopiesTest, CopiesFromPairsTakeTheRootVersionAndTheFolderPath) {
  BuildTree();
  client_->writes().copyNormalFiles({{"F_b", "F_new"}, {"gone", "F_none"}}, "NB_B", false);
  client_->writes().copyNotebooks({{"NB_B", "NB_new"}}, "ROOT", true);
  client_->writes().copyNotebooks({{"NB_A", "NB_lost"}}, "no-such-folder", false);
  Save();

  KXFileMetaPtr file = Entry("F_new");
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->isKindOfEntity("NormalFile"));
  EXPECT_EQ(file->parentId(), "NB_B");
  EXPECT_EQ(file->namePath(), "/Rome");
  // Copied into the folder of its source: the title is numbered.
  EXPECT_EQ(file->title(), "map(1).pdf");
  EXPECT_EQ(file->version(), 3);
  EXPECT_EQ(file->size(), 1234);
  EXPECT_EQ(file->stringValue("author"), "ann");
  EXPECT_EQ(file->domain(), 1);
  EXPECT_EQ(file->transactionId(), "F_new");
  EXPECT_FALSE(Entry("F_none"));

  KXFileMetaPtr folder = Entry("NB_new");
  ASSERT_TRUE(folder);
  EXPECT_TRUE(folder->isKindOfEntity("Notebook"));
  EXPECT_EQ(folder->parentId(), "ROOT");
  EXPECT_EQ(folder->title(), "Rome(" + S() + ")");
  EXPECT_EQ(folder->version(), 3);
  EXPECT_TRUE(folder->isNil("namePath"));
  EXPECT_TRUE(client_->reads().objectsForParentId("NB_new", "FileMeta").empty()) << "children stay";
  EXPECT_FALSE(Entry("NB_lost"));
}

TEST_F(CopiesTest, MovesReparentAndBringTrashedFoldersBackWhole) {
  BuildTree();
  Change("N_a", {{"modifyTime", kx::Value(100)}, {"transactionTime", kx::Value(100)}});
  // NB_A with its subtree lies in the trash.
  Change("NB_A", {{"del", kx::Value(true)}, {"parentId", kx::Value("1")}});
  for (const char* id : {"NB_B", "N_b", "F_b"}) Change(id, {{"del", kx::Value(true)}});
  Write([&](KXManagedObjectContext& c) {
    Put(c, "Note",
        {{"fileId", kx::Value("N_c")},
         {"parentId", kx::Value("ROOT")},
         {"title", kx::Value("plan.note")}});
  });

  client_->writes().moveNotes({"N_a", "unknown"}, "NB_C");
  client_->writes().moveNotebooks({"NB_A"}, "NB_C");
  // Where it lies already, but its title is taken there now.
  client_->writes().moveFileMetas({"N_c"}, "ROOT");
  Save();

  KXFileMetaPtr note = Entry("N_a");
  EXPECT_EQ(note->parentId(), "NB_C");
  EXPECT_EQ(note->localModified(), 1);
  EXPECT_EQ(note->modifyTime(), 100) << "a move keeps the times";
  EXPECT_EQ(note->transactionTime(), 100);
  EXPECT_FALSE(note->localTrashOp());

  KXFileMetaPtr folder = Entry("NB_A");
  EXPECT_EQ(folder->parentId(), "NB_C");
  EXPECT_FALSE(folder->del());
  EXPECT_EQ(folder->trashModifyData(), "recovery");
  EXPECT_TRUE(folder->localTrashOp());
  for (const char* id : {"NB_B", "N_b", "F_b"}) {
    KXFileMetaPtr below = Entry(id);
    EXPECT_FALSE(below->del()) << id;
    EXPECT_EQ(below->localModified(), 1) << id;
  }
  EXPECT_EQ(Entry("NB_B")->parentId(), "NB_A");

  KXFileMetaPtr renamed = Entry("N_c");
  EXPECT_EQ(renamed->parentId(), "ROOT");
  EXPECT_EQ(renamed->title(), "plan(1).note");
}

TEST_F(CopiesTest, AMoveIntoTheFolderItselfOrBelowItIsSkipped) {
  BuildTree();
  // Two folders whose parent ids form a cycle (bad service data).
  Write([&](KXManagedObjectContext& c) {
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_X")},
         {"parentId", kx::Value("NB_Y")},
         {"title", kx::Value("X")}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_Y")},
         {"parentId", kx::Value("NB_X")},
         {"title", kx::Value("Y")}});
  });
  client_->writes().moveNotebooks({"NB_A"}, "NB_B");  // its own child
  client_->writes().moveNotebooks({"NB_A"}, "NB_A");  // itself
  client_->writes().moveFileMetas({"NB_B", "N_a"}, "NB_B");
  Save();
  EXPECT_EQ(Entry("NB_A")->parentId(), "ROOT");
  EXPECT_EQ(Entry("NB_A")->localModified(), 0);
  EXPECT_EQ(Entry("NB_B")->parentId(), "NB_A");
  EXPECT_EQ(Entry("N_a")->parentId(), "NB_B") << "the rest of the list still moves";
  const std::string log = LogText();
  EXPECT_NE(log.find("move of NB_A into NB_B skipped"), std::string::npos) << log;
  EXPECT_NE(log.find("move of NB_A into NB_A skipped"), std::string::npos) << log;
  EXPECT_NE(log.find("move of NB_B into NB_B skipped"), std::string::npos) << log;

  // The walk up from a folder on a cycle ends; the move goes ahead.
  client_->writes().moveNotebooks({"NB_C"}, "NB_X");
  Save();
  EXPECT_EQ(Entry("NB_C")->parentId(), "NB_X");
  EXPECT_NE(LogText().find("lies in a cycle of parent ids"), std::string::npos);
}

TEST_F(CopiesTest, TwoRestoresIntoAVanishedFolderMakeItOnce) {
  BuildTree();
  for (const char* id : {"N_a", "N_b"}) {
    Change(id, {{"del", kx::Value(true)},
                {"parentId", kx::Value("1")},
                {"namePath", kx::Value("/Gone/Deeper")},
                {"remoteRemoved", kx::Value(true)}});
  }
  // Both restores are queued before either runs, so the second resolves
  // the path before the first has made its folders.
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  data_->performWriteBlock([opened](KXManagedObjectContext&) { opened.wait(); });
  Calls calls;
  client_->writes().recoverFileMetas({"N_a"}, calls.callback());
  client_->writes().recoverFileMetas({"N_b"}, calls.callback());
  gate.set_value();
  ASSERT_TRUE(calls.WaitFor(2));
  Save();
  for (const kx::Error& error : calls.errors()) EXPECT_FALSE(error) << error.localizedDescription();

  KXFileMetaArray gone = Folders("Gone", "ROOT");
  ASSERT_EQ(gone.size(), 1u);
  KXFileMetaArray deeper = Folders("Deeper", gone[0]->fileId());
  ASSERT_EQ(deeper.size(), 1u);
  EXPECT_EQ(deeper[0]->domain(), 1);
  EXPECT_EQ(deeper[0]->localModified(), 1);
  for (const char* id : {"N_a", "N_b"}) {
    KXFileMetaPtr note = Entry(id);
    EXPECT_EQ(note->parentId(), deeper[0]->fileId()) << id;
    EXPECT_FALSE(note->del()) << id;
    EXPECT_FALSE(note->remoteRemoved()) << id;
    EXPECT_EQ(note->trashModifyData(), "recovery") << id;
    EXPECT_TRUE(note->localTrashOp()) << id;
    EXPECT_EQ(note->namePath(), "") << id;
    EXPECT_EQ(note->transactionId(), id);
  }
}

TEST_F(CopiesTest, ARestoreStopsAtTheFirstIdThatIsNotInTheTrash) {
  BuildTree();
  for (const char* id : {"N_a", "N_b"}) {
    Change(id,
           {{"del", kx::Value(true)}, {"parentId", kx::Value("1")}, {"namePath", kx::Value("/")}});
  }
  Calls calls;
  client_->writes().recoverFileMetas({"N_a", "unknown", "N_b"}, calls.callback());
  ASSERT_TRUE(calls.WaitFor(2));
  Save();
  const std::vector<kx::Error> errors = calls.errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_FALSE(errors[0]);
  EXPECT_EQ(errors[1].domain(), kx::kURLErrorDomain);
  EXPECT_EQ(errors[1].code(), -1100);
  EXPECT_EQ(Entry("N_a")->parentId(), "ROOT");
  EXPECT_FALSE(Entry("N_a")->del());
  EXPECT_TRUE(Entry("N_b")->del());

  // A live entry stops it the same way.
  Calls again;
  client_->writes().recoverFileMetas({"N_a"}, again.callback());
  ASSERT_TRUE(again.WaitFor(1));
  EXPECT_EQ(again.errors()[0].code(), -1100);
}

TEST_F(CopiesTest, ARestoreInsideADeletedFolderBringsBackTheFoldersAbove) {
  BuildTree();
  Change("NB_A", {{"del", kx::Value(true)}, {"parentId", kx::Value("1")}});
  for (const char* id : {"NB_B", "N_b", "F_b"}) Change(id, {{"del", kx::Value(true)}});
  Calls calls;
  client_->writes().recoverFileMetas({"N_b"}, calls.callback());
  ASSERT_TRUE(calls.WaitFor(1));
  Save();
  EXPECT_FALSE(calls.errors()[0]);
  for (const char* id : {"N_b", "NB_B", "NB_A"}) {
    EXPECT_FALSE(Entry(id)->del()) << id;
    EXPECT_EQ(Entry(id)->localModified(), 1) << id;
  }
  EXPECT_EQ(Entry("NB_A")->parentId(), "1") << "the outermost keeps its parent id";
  EXPECT_TRUE(Entry("F_b")->del()) << "siblings stay in the trash";
}

TEST_F(CopiesTest, ARestoredFolderBringsItsSubtreeAlong) {
  BuildTree();
  Change("NB_A", {{"del", kx::Value(true)},
                  {"parentId", kx::Value("1")},
                  {"namePath", kx::Value("/Work")},
                  {"title", kx::Value("Travel")}});
  for (const char* id : {"NB_B", "N_b", "F_b"}) Change(id, {{"del", kx::Value(true)}});
  Calls calls;
  client_->writes().recoverFileMetas({"NB_A"}, calls.callback());
  ASSERT_TRUE(calls.WaitFor(1));
  Save();
  EXPECT_EQ(Entry("NB_A")->parentId(), "NB_C") << "the folder /Work is found by its title";
  for (const char* id : {"NB_B", "N_b", "F_b"}) {
    EXPECT_FALSE(Entry(id)->del()) << id;
    EXPECT_EQ(Entry(id)->localModified(), 0) << id;
  }
}

TEST_F(CopiesTest, AncestryAndEncryptionWalkLiveParents) {
  BuildTree();
  Change("NB_A", {{"encrypted", kx::Value(true)}});
  EXPECT_TRUE(client_->reads().fileMeta(Entry("N_b"), "NB_A"));
  EXPECT_TRUE(client_->reads().fileMeta(Entry("NB_B"), "NB_B"));
  EXPECT_TRUE(client_->reads().fileMeta(Entry("N_b"), "ROOT"));
  EXPECT_FALSE(client_->reads().fileMeta(Entry("N_a"), "NB_A"));
  EXPECT_TRUE(client_->reads().encryptedStateForMeta(Entry("N_b")));
  EXPECT_FALSE(client_->reads().encryptedStateForMeta(Entry("N_a")));

  Change("N_b", {{"del", kx::Value(true)}, {"parentId", kx::Value("1")}});
  EXPECT_FALSE(client_->reads().fileMeta(Entry("N_b"), "NB_B")) << "the trash lies in no folder";
  EXPECT_FALSE(client_->reads().encryptedStateForMeta(Entry("N_b")));
  EXPECT_THROW(client_->writes().addGroupSync(kx::Value(), {}, nullptr), kx::Exception);
}

TEST_F(CopiesTest, WalksUpACycleOfParentIdsEnd) {
  BuildTree();
  // Two deleted folders whose parent ids form a cycle, a note inside.
  Write([&](KXManagedObjectContext& c) {
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_X")},
         {"parentId", kx::Value("NB_Y")},
         {"title", kx::Value("X")},
         {"del", kx::Value(true)}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_Y")},
         {"parentId", kx::Value("NB_X")},
         {"title", kx::Value("Y")},
         {"del", kx::Value(true)}});
    Put(c, "Note",
        {{"fileId", kx::Value("N_x")},
         {"parentId", kx::Value("NB_X")},
         {"title", kx::Value("x.note")},
         {"del", kx::Value(true)}});
  });
  Calls calls;
  client_->writes().recoverFileMetas({"N_x"}, calls.callback());
  ASSERT_TRUE(calls.WaitFor(1));
  Save();
  for (const char* id : {"N_x", "NB_X", "NB_Y"}) EXPECT_FALSE(Entry(id)->del()) << id;

  // Live now, the cycle is walked until an id comes round again.
  EXPECT_FALSE(client_->reads().fileMeta(Entry("N_x"), "NB_A"));
  EXPECT_FALSE(client_->reads().encryptedStateForMeta(Entry("N_x")));
  EXPECT_NE(LogText().find("lies in a cycle of parent ids"), std::string::npos);
}

}  // namespace
