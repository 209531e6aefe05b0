// The data client's entry writes: inserts through the wrappers, two-stage
// deletes, modifies through the store's coercion, erases, and the index
// feeding they start.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/entities/Tag.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXStoreError.h"
#include "search/KXFTSDocument.h"
#include "search/KXSFolderLock.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSLucene.h"

namespace {

using kxtest::Ids;
using kxtest::Put;

// What a wrapper's callback received.
struct Outcome {
  KXResultInfo info;
  kx::Error error;
  bool onWriteQueue = false;
};

class WritesTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    ASSERT_NE(client_->indexing().ftsIndexer(), nullptr);
  }

  // Waits until the wrapper queued before has called back (on the write
  // queue), then answers what it received.
  template <class Start>
  Outcome Run(Start start) {
    std::promise<Outcome> promise;
    start([&](const KXResultInfo& info, const kx::Error& error) {
      promise.set_value({info, error, data_->isOnWriteQueue()});
    });
    std::future<Outcome> future = promise.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  }

  void Save() {
    Write([](KXManagedObjectContext&) {});
  }

  KXObjectID IdOf(const std::string& fileId) {
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID(fileId);
    EXPECT_TRUE(entry) << fileId;
    return entry ? entry->objectID() : KXObjectID();
  }

  //   ROOT
  //     NB_A "Travel" > NB_B "Rome" > N_b "rome.note", F_b "map.pdf"
  //     N_a "plan.note" (tags "7,12,123")
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
      Put(c, "Note",
          {{"fileId", kx::Value("N_b")},
           {"parentId", kx::Value("NB_B")},
           {"title", kx::Value("rome.note")}});
      Put(c, "NormalFile",
          {{"fileId", kx::Value("F_b")},
           {"parentId", kx::Value("NB_B")},
           {"title", kx::Value("map.pdf")},
           {"domain", kx::Value(1)}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_a")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("plan.note")},
           {"tags", kx::Value("7,12,123")}});
    });
  }
};

kx::Value Item(std::initializer_list<kx::Dictionary::Entry> entries) {
  return kx::Value::dict(entries);
}

// ---------------------------------------------------------------------------
// Inserts
// ---------------------------------------------------------------------------

TEST_F(WritesTest, FileMetaItemsChooseTheirKindAndTheLocalFlagChangesNothing) {
  struct Case {
    kx::Value dir, domain;
    const char* entity;
  };
  const Case cases[] = {
      {kx::Value(true), kx::Value(1), "Notebook"},    {kx::Value(true), kx::Value(), "Notebook"},
      {kx::Value(false), kx::Value(1), "NormalFile"}, {kx::Value(), kx::Value(2), "NormalFile"},
      {kx::Value(false), kx::Value(0), "Note"},       {kx::Value(), kx::Value(), "Note"},
  };
  for (bool local : {false, true}) {
    kx::Array items;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      kx::Dictionary item{{"fileId", kx::Value("K" + std::to_string(local) + std::to_string(i))}};
      if (!cases[i].dir.isNull()) item.set("dir", cases[i].dir);
      if (!cases[i].domain.isNull()) item.set("domain", cases[i].domain);
      items.push_back(kx::Value(item));
    }
    Outcome outcome = Run([&](KXDataCallback done) {
      client_->writes().addFileMetas(items, local, std::move(done));
    });
    EXPECT_FALSE(outcome.error);
    EXPECT_TRUE(outcome.onWriteQueue);
    ASSERT_EQ(outcome.info.fetch.objects.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      EXPECT_EQ(outcome.info.fetch.objects[i]->entity().name(), cases[i].entity)
          << "case " << i << " local " << local;
    }
  }
  // Nothing was saved: the read side sees none of them.
  EXPECT_EQ(client_->reads().objectForFileMetaID("K00"), nullptr);
}

TEST_F(WritesTest, InsertedEntriesAreLiveUnlessTheItemSaysOtherwise) {
  BuildTree();
  kx::Array items{
      Item({{"fileId", kx::Value("NEW_NOTE")},
            {"parentId", kx::Value("NB_A")},
            {"title", kx::Value("fresh.note")}}),
      Item({{"fileId", kx::Value("NEW_DIR")},
            {"parentId", kx::Value("NB_A")},
            {"title", kx::Value("Fresh")},
            {"dir", kx::Value(true)}}),
      Item({{"fileId", kx::Value("GONE")},
            {"parentId", kx::Value("NB_A")},
            {"title", kx::Value("gone.note")},
            {"remoteRemoved", kx::Value(true)}}),
  };
  Outcome outcome = Run(
      [&](KXDataCallback done) { client_->writes().addFileMetas(items, true, std::move(done)); });
  ASSERT_FALSE(outcome.error);
  Save();
  // The children listing selects "remoteRemoved = NO": the new entries are in
  // it, the one the item marked removed is not.
  std::vector<std::string> listed = Ids(client_->reads().objectsForParentId("NB_A", "FileMeta"));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"NB_B", "NEW_DIR", "NEW_NOTE"}));
  KXFileMetaPtr note = client_->reads().objectForFileMetaID("NEW_NOTE");
  ASSERT_TRUE(note);
  EXPECT_FALSE(note->isNil("del"));
  EXPECT_FALSE(note->del());
}

TEST_F(WritesTest, StoredIdsAreSkippedAndTakenTitlesRenamedAndIndexed) {
  BuildTree();
  Outcome outcome = Run([&](KXDataCallback done) {
    client_->writes().addNotebooks({Item({{"fileId", kx::Value("NB_A")},
                                          {"parentId", kx::Value("ROOT")},
                                          {"title", kx::Value("Changed")}}),
                                    Item({{"fileId", kx::Value("NB_new")},
                                          {"parentId", kx::Value("ROOT")},
                                          {"title", kx::Value("Travel")}}),
                                    // Two new ones alike: only saved siblings count.
                                    Item({{"fileId", kx::Value("NB_x1")},
                                          {"parentId", kx::Value("ROOT")},
                                          {"title", kx::Value("Kyoto")}}),
                                    Item({{"fileId", kx::Value("NB_x2")},
                                          {"parentId", kx::Value("ROOT")},
                                          {"title", kx::Value("Kyoto")}})},
                                   false, std::move(done));
  });
  ASSERT_EQ(Ids(outcome.info.fetch.objects),
            (std::vector<std::string>{"NB_new", "NB_x1", "NB_x2"}));
  WaitForIndex();

  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_A")->title(), "Travel")
      << "stored entry unchanged";
  KXFileMetaPtr renamed = client_->reads().objectForFileMetaID("NB_new");
  EXPECT_EQ(renamed->title(), "Travel(1)");
  EXPECT_EQ(renamed->integerValue("localModified"), 1);
  EXPECT_TRUE(renamed->boolValue("hasIndex"));
  EXPECT_EQ(Search("Travel(1)"), std::vector<std::string>{"NB_new"});
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_x1")->title(), "Kyoto");
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_x2")->title(), "Kyoto");
  EXPECT_TRUE(client_->reads().objectForFileMetaID("NB_x2")->isNil("localModified"));

  // A note's title waits for its content: no document, no mark.
  Run([&](KXDataCallback done) {
    client_->writes().addNotes({Item({{"fileId", kx::Value("N_new")},
                                      {"parentId", kx::Value("ROOT")},
                                      {"title", kx::Value("zanzibar.note")}})},
                               false, std::move(done));
  });
  WaitForIndex();
  EXPECT_FALSE(client_->reads().objectForFileMetaID("N_new")->boolValue("hasIndex"));
  EXPECT_TRUE(Search("zanzibar").empty());
}

TEST_F(WritesTest, TagStampsRelationLinksAndUnknownKeys) {
  BuildTree();
  Outcome tags = Run([&](KXDataCallback done) {
    client_->writes().addTags({Item({{"tagId", kx::Value("T1")},
                                     {"name", kx::Value("work")},
                                     {"dateCreated", kx::Value(5)},
                                     {"dateUpdated", kx::Value(6)},
                                     {"isLocalCreated", kx::Value(false)},
                                     {"isLocalModified", kx::Value(true)},
                                     {"isLocalRemoved", kx::Value(true)},
                                     {"noSuchKey", kx::Value("ignored")}})},
                              std::move(done));
  });
  EXPECT_FALSE(tags.error);
  ASSERT_EQ(tags.info.fetch.objects.size(), 1u);
  auto tag = KXCast<Tag>(tags.info.fetch.objects[0]);
  EXPECT_GT(tag->dateCreated(), 1600000000);
  EXPECT_EQ(tag->dateCreated(), tag->dateUpdated());
  EXPECT_TRUE(tag->isLocalCreated());
  EXPECT_FALSE(tag->isLocalModified());
  EXPECT_FALSE(tag->isLocalRemoved());
  EXPECT_EQ(tag->name(), "work");

  // A resource linked to a stored notebook; the relation keys stay out of
  // the object, and a relation that finds nothing links nothing.
  data_->performSyncWriteBlock([&](KXManagedObjectContext& writer) {
    auto resources =
        client_->writes().addManagedObjectsSync("Resource", &writer,
                                                {Item({{"fileId", kx::Value("R1")},
                                                       {"title", kx::Value("photo")},
                                                       {"relationObject", kx::Value("Notebook")},
                                                       {"relationName", kx::Value("fileId")},
                                                       {"relationValue", kx::Value("NB_B")},
                                                       {"relationKey", kx::Value("notes")}}),
                                                 Item({{"fileId", kx::Value("R2")},
                                                       {"relationObject", kx::Value("Notebook")},
                                                       {"relationName", kx::Value("fileId")},
                                                       {"relationValue", kx::Value("NB_missing")},
                                                       {"relationAutoCreate", kx::Value(false)},
                                                       {"relationKey", kx::Value("notes")}})},
                                                nullptr);
    ASSERT_EQ(resources.size(), 2u);
    EXPECT_EQ(Ids(resources[0]->objects("notes")), std::vector<std::string>{"NB_B"});
    EXPECT_EQ(resources[0]->stringValue("title"), "photo");
    EXPECT_TRUE(resources[1]->objects("notes").empty());
    // A value the store cannot coerce is refused and reported, not stored.
    kx::Error error;
    auto refused = client_->writes().addManagedObjectsSync(
        "Note", &writer, {Item({{"fileId", kx::Value("N_bad")}, {"size", kx::Value("big")}})},
        [&](const KXResultInfo&, const kx::Error& e) { error = e; });
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_TRUE(refused[0]->isNil("size"));
    EXPECT_EQ(error.code(), kKXStoreTypeError);
    ASSERT_TRUE(writer.save());
  });
}

TEST_F(WritesTest, RootVersionAndEmptyResourceEntryWrites) {
  client_->writes().updateRootVersion(9);  // no Root stored: nothing happens
  BuildTree();
  client_->writes().updateRootVersion(11);
  client_->writes().updateResourceEntry(nullptr);
  client_->writes().addResourceEntry(nullptr);
  Save();
  EXPECT_EQ(client_->reads().baseVersion(), 11);
}

TEST_F(WritesTest, OnlyDocumentsTheIndexTookAreMarked) {
  BuildTree();
  // Another writer holds the index folder: the batch fails and no entry is
  // marked indexed.
  {
    KXSFolderLock other;
    kx::Error error;
    ASSERT_TRUE(other.acquire(client_->indexing().indexDirectory(), 0, &error))
        << error.localizedDescription();
    client_->indexing().ftsIndexer()->setLockTimeout(0);
    client_->indexing().indexNotes(
        {Item({{"docID", kx::Value("NB_B")}, {"docContent", kx::Value("roma")}})});
    WaitForIndex();
  }
  EXPECT_FALSE(client_->reads().objectForFileMetaID("NB_B")->boolValue("hasIndex"));

  // Items without an id or text are left out; wide characters after Latin
  // letters are searchable on their own.
  client_->indexing().indexNotes(
      {Item({{"docID", kx::Value("NB_B")}, {"docContent", kx::Value("roma\u8def")}}),
       Item({{"docID", kx::Value("NB_A")}, {"docContent", kx::Value("")}}),
       Item({{"docContent", kx::Value("orphan")}})});
  WaitForIndex();
  EXPECT_TRUE(client_->reads().objectForFileMetaID("NB_B")->boolValue("hasIndex"));
  EXPECT_FALSE(client_->reads().objectForFileMetaID("NB_A")->boolValue("hasIndex"));
  EXPECT_EQ(Search("roma"), std::vector<std::string>{"NB_B"});
  EXPECT_EQ(Search("\u8def"), std::vector<std::string>{"NB_B"});
  EXPECT_TRUE(Search("orphan").empty());
}

TEST_F(WritesTest, AnEntryIsMarkedOnlyWhenTheIndexTookItsOwnDocument) {
  BuildTree();
  // The index refuses an identifier that is not UTF-8; the documents beside
  // it in the same batch go in. A document of an entry not stored is
  // indexed but marks nothing.
  const std::string badId = std::string("N_bad\xff");
  Write([&](KXManagedObjectContext& c) {
    Put(c, "Note",
        {{"fileId", kx::Value(badId)},
         {"parentId", kx::Value("ROOT")},
         {"title", kx::Value("bad.note")}});
  });
  ASSERT_TRUE(client_->reads().objectForFileMetaID(badId));
  client_->indexing().indexNotes(
      {Item({{"docID", kx::Value("N_a")}, {"docContent", kx::Value("alpha")}}),
       Item({{"docID", kx::Value(badId)}, {"docContent", kx::Value("beta")}}),
       Item({{"docID", kx::Value("N_missing")}, {"docContent", kx::Value("gamma")}}),
       Item({{"docID", kx::Value("N_b")}, {"docContent", kx::Value("delta")}})});
  WaitForIndex();
  EXPECT_TRUE(client_->reads().objectForFileMetaID("N_a")->boolValue("hasIndex"));
  EXPECT_TRUE(client_->reads().objectForFileMetaID("N_b")->boolValue("hasIndex"));
  EXPECT_FALSE(client_->reads().objectForFileMetaID(badId)->boolValue("hasIndex"));
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_missing"), nullptr);
  EXPECT_EQ(Search("alpha"), std::vector<std::string>{"N_a"});
  EXPECT_TRUE(Search("beta").empty());
}

// ---------------------------------------------------------------------------
// Deletes
// ---------------------------------------------------------------------------

TEST_F(WritesTest, NoteGoesToTheTrashThenIsPurgedAndLeavesTheIndex) {
  BuildTree();
  client_->indexing().indexNotes(
      {Item({{"docID", kx::Value("N_b")}, {"docContent", kx::Value("colosseum")}}),
       Item({{"docID", kx::Value("F_b")}, {"docContent", kx::Value("colosseum")}})});
  WaitForIndex();
  ASSERT_EQ(Search("colosseum").size(), 2u);

  const std::vector<KXObjectID> ids{IdOf("N_b"), IdOf("F_b")};
  Outcome first =
      Run([&](KXDataCallback done) { client_->writes().deleteNotes({ids[0]}, std::move(done)); });
  EXPECT_EQ(first.info.value, kx::Value(kx::Array{ids[0].toValue()}));
  Run([&](KXDataCallback done) { client_->writes().deleteNormalFiles({ids[1]}, std::move(done)); });
  WaitForIndex();
  for (const char* fileId : {"N_b", "F_b"}) {
    KXFileMetaPtr trashed = client_->reads().objectForFileMetaID(fileId);
    EXPECT_EQ(trashed->parentId(), "1") << fileId;
    EXPECT_EQ(trashed->stringValue("namePath"), "/Travel/Rome") << fileId;
    EXPECT_TRUE(trashed->boolValue("del"));
    EXPECT_FALSE(trashed->boolValue("remoteRemoved"));
    EXPECT_EQ(trashed->integerValue("localModified"), 1);
    EXPECT_GT(trashed->integerValue("modifyTime"), 1600000000);
  }
  EXPECT_EQ(Search("colosseum").size(), 2u) << "the trash is still searchable";

  Run([&](KXDataCallback done) { client_->writes().deleteNotes({ids[0]}, std::move(done)); });
  Run([&](KXDataCallback done) { client_->writes().deleteNormalFiles({ids[1]}, std::move(done)); });
  WaitForIndex();
  for (const char* fileId : {"N_b", "F_b"}) {
    KXFileMetaPtr purged = client_->reads().objectForFileMetaID(fileId);
    EXPECT_TRUE(purged->boolValue("remoteRemoved")) << fileId;
    EXPECT_EQ(purged->stringValue("trashModifyData"), "trucate");
    EXPECT_TRUE(purged->boolValue("localTrashOp"));
    EXPECT_EQ(purged->stringValue("namePath"), "/Travel/Rome") << "kept from the first stage";
  }
  EXPECT_EQ(Search("colosseum"), std::vector<std::string>{"F_b"})
      << "only a purged note leaves the index";
}

// A store whose saves can be made to fail, for the index's side of a unit
// that is rolled back.
class WritesOverFaultyStoreTest : public WritesTest {
 protected:
  void SetUp() override {
    WritesTest::SetUp();
    client_.reset();
    data_.reset();
    env_->vfs = kxtest::FaultVfs::name();
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    ASSERT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
  }
  void TearDown() override {
    kxtest::FaultVfs::instance().failWalWrites = false;
    WritesTest::TearDown();
  }
  // Saves through the client with every write of the store failing.
  void FailingSave() {
    kxtest::FaultVfs::instance().failWalWrites = true;
    bool saved = true;
    client_->state().performSyncSave(
        [&](const KXResultInfo& info, const kx::Error&) { saved = info.value.boolValue(); });
    kxtest::FaultVfs::instance().failWalWrites = false;
    EXPECT_FALSE(saved);
  }
};

TEST_F(WritesOverFaultyStoreTest, TheIndexFollowsOnlyTheChangesTheStoreKept) {
  BuildTree();
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note",
        {{"fileId", kx::Value("N_t")},
         {"parentId", kx::Value("1")},
         {"title", kx::Value("old.note")},
         {"del", kx::Value(true)}});
  });
  client_->indexing().indexNotes(
      {Item({{"docID", kx::Value("NB_B")}, {"docContent", kx::Value("Rome")}}),
       Item({{"docID", kx::Value("N_t")}, {"docContent", kx::Value("forum")}})});
  WaitForIndex();
  ASSERT_EQ(Search("forum"), std::vector<std::string>{"N_t"});
  ASSERT_TRUE(client_->reads().objectForFileMetaID("NB_B")->boolValue("hasIndex"));

  // A rename of a notebook and a purge of a trashed note, in one unit whose
  // save fails: the store keeps the old rows, and so does the index.
  const kx::Value rename =
      Item({{KXEntryWrites::kModifyIdentityKey, IdOf("NB_B").toValue()},
            {KXEntryWrites::kModifyFieldsKey,
             Item({{"title", kx::Value("Florence")}, {"parentId", kx::Value("NB_A")}})}});
  Run([&](KXDataCallback done) { client_->writes().modifyNotebooks({rename}, std::move(done)); });
  Run([&](KXDataCallback done) { client_->writes().deleteNotes({IdOf("N_t")}, std::move(done)); });
  FailingSave();
  WaitForIndex();
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_B")->title(), "Rome");
  EXPECT_FALSE(client_->reads().objectForFileMetaID("N_t")->boolValue("remoteRemoved"));
  EXPECT_TRUE(Search("Florence").empty()) << "the rolled-back title reached the index";
  EXPECT_EQ(Search("Rome"), std::vector<std::string>{"NB_B"});
  EXPECT_EQ(Search("forum"), std::vector<std::string>{"N_t"}) << "the rolled-back purge";
  EXPECT_TRUE(client_->reads().objectForFileMetaID("NB_B")->boolValue("hasIndex"));

  // The same changes saved: the index takes them with the store.
  Run([&](KXDataCallback done) { client_->writes().modifyNotebooks({rename}, std::move(done)); });
  Run([&](KXDataCallback done) { client_->writes().deleteNotes({IdOf("N_t")}, std::move(done)); });
  WaitForIndex();
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_B")->title(), "Florence");
  EXPECT_EQ(Search("Florence"), std::vector<std::string>{"NB_B"});
  EXPECT_TRUE(Search("forum").empty());
  EXPECT_TRUE(client_->reads().objectForFileMetaID("NB_B")->boolValue("hasIndex"));
}

TEST_F(WritesOverFaultyStoreTest, ARolledBackInsertIsNeitherIndexedNorMarked) {
  BuildTree();
  // The insert's document waits for the save; the save fails, so the entry
  // is not stored and its document never reaches the index.
  Run([&](KXDataCallback done) {
    client_->writes().addNotebooks({Item({{"fileId", kx::Value("NB_new")},
                                          {"parentId", kx::Value("ROOT")},
                                          {"title", kx::Value("Venice")}})},
                                   false, std::move(done));
  });
  FailingSave();
  WaitForIndex();
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_new"), nullptr);
  EXPECT_TRUE(Search("Venice").empty());
}

TEST_F(WritesTest, NotebookTakesItsSubtreeAlongAndUnknownIdsAreSkipped) {
  BuildTree();
  const KXObjectID travel = IdOf("NB_A");
  KXObjectID gone;
  Write([&](KXManagedObjectContext& c) {
    KXManagedObjectPtr row = Put(c, "Note", {{"fileId", kx::Value("N_gone")}});
    gone = row->objectID();
    c.deleteObject(row);
  });
  Outcome first = Run([&](KXDataCallback done) {
    client_->writes().deleteNotebooks({gone, KXObjectID(), travel}, std::move(done));
  });
  EXPECT_FALSE(first.error);
  EXPECT_EQ(first.info.value.array().size(), 3u) << "the IDs given";
  Save();
  KXFileMetaPtr notebook = client_->reads().objectForFileMetaID("NB_A");
  EXPECT_EQ(notebook->parentId(), "1");
  EXPECT_EQ(notebook->stringValue("namePath"), "/");
  const std::vector<std::pair<std::string, std::string>> children{
      {"NB_B", "NB_A"}, {"N_b", "NB_B"}, {"F_b", "NB_B"}};
  for (const auto& [fileId, parentId] : children) {
    KXFileMetaPtr child = client_->reads().objectForFileMetaID(fileId);
    EXPECT_TRUE(child->boolValue("del")) << fileId;
    EXPECT_EQ(child->parentId(), parentId) << "the tree stays whole";
    EXPECT_FALSE(child->boolValue("remoteRemoved")) << fileId;
  }
  EXPECT_FALSE(client_->reads().objectForFileMetaID("N_a")->boolValue("del"));

  Run([&](KXDataCallback done) { client_->writes().deleteNotebooks({travel}, std::move(done)); });
  Save();
  EXPECT_TRUE(client_->reads().objectForFileMetaID("NB_A")->boolValue("remoteRemoved"));
  for (const auto& [fileId, parentId] : children) {
    KXFileMetaPtr child = client_->reads().objectForFileMetaID(fileId);
    EXPECT_TRUE(child->boolValue("remoteRemoved")) << fileId;
    EXPECT_EQ(child->integerValue("localModified"), 1) << fileId;
  }
  EXPECT_NE(LogText().find("no such object"), std::string::npos);
}

TEST_F(WritesTest, TagIsMarkedAndStrippedFirstAndDroppedSecond) {
  BuildTree();
  KXObjectID tagId;
  Write([&](KXManagedObjectContext& c) {
    tagId = Put(c, "Tag", {{"tagId", kx::Value("12")}, {"name", kx::Value("x")}})->objectID();
    Put(c, "Note",
        {{"fileId", kx::Value("N_only")},
         {"parentId", kx::Value("ROOT")},
         {"tags", kx::Value("12")}});
    Put(c, "Note",
        {{"fileId", kx::Value("N_first")},
         {"parentId", kx::Value("ROOT")},
         {"tags", kx::Value("12,5")}});
  });
  Outcome first =
      Run([&](KXDataCallback done) { client_->writes().deleteTags({tagId}, std::move(done)); });
  EXPECT_EQ(first.info.value, kx::Value(kx::Array{tagId.toValue()}));
  Save();  // the stripping is queued after the delete
  auto tag = client_->reads().objectForTagID("12");
  ASSERT_TRUE(tag);
  EXPECT_TRUE(tag->isLocalRemoved());
  EXPECT_GT(tag->dateUpdated(), 1600000000);
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_a")->stringValue("tags"), "7,123");
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_only")->stringValue("tags"), "");
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_first")->stringValue("tags"), "5");

  Outcome second =
      Run([&](KXDataCallback done) { client_->writes().deleteTags({tagId}, std::move(done)); });
  EXPECT_EQ(second.info.value, kx::Value(kx::Array{tagId.toValue()}));
  Save();
  EXPECT_EQ(client_->reads().objectForTagID("12"), nullptr);
}

// ---------------------------------------------------------------------------
// Modifies
// ---------------------------------------------------------------------------

TEST_F(WritesTest, FieldsPassTheStoresCoercionAndRefusedItemsAreReported) {
  BuildTree();
  const KXObjectID note = IdOf("N_a");
  struct Case {
    const char* key;
    kx::Value given;
    kx::Value stored;  // Null: refused
  };
  const Case cases[] = {
      {"title", kx::Value(42), kx::Value("42")},
      {"shareType", kx::Value("3"), kx::Value(3)},
      {"shareType", kx::Value(2.0), kx::Value(2)},
      {"stick", kx::Value("YES"), kx::Value(true)},
      {"stick", kx::Value(0), kx::Value(false)},
      {"stickTime", kx::Value("1700000000"), kx::Value(1700000000)},
      {"entryProps", kx::Value("props"), kx::Value(kx::Bytes{'p', 'r', 'o', 'p', 's'})},
      {"shareType", kx::Value("three"), kx::Value()},
      {"stick", kx::Value("maybe"), kx::Value()},
      {"stickTime", kx::Value(kx::Array{}), kx::Value()},
  };
  for (const Case& c : cases) {
    const kx::Value before = client_->reads().objectForFileMetaID("N_a")->value(c.key);
    Outcome outcome = Run([&](KXDataCallback done) {
      client_->writes().modifyNotes(
          {Item({{"identity", note.toValue()},
                 {"fields", kx::Value(kx::Dictionary{{c.key, c.given},
                                                     {"author", kx::Value("me")},
                                                     {"noSuchKey", kx::Value(1)}})}})},
          std::move(done));
    });
    Save();
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_a");
    if (c.stored.isNull()) {
      EXPECT_EQ(outcome.error.code(), kKXStoreTypeError) << c.key << " " << c.given.description();
      EXPECT_NE(outcome.error.localizedDescription().find(c.key), std::string::npos);
      EXPECT_TRUE(outcome.info.value.array().empty());
      EXPECT_EQ(entry->value(c.key), before) << "nothing of a refused item is set";
      EXPECT_TRUE(entry->isNil("author")) << c.key;
    } else {
      EXPECT_FALSE(outcome.error) << c.key << ": " << outcome.error.localizedDescription();
      EXPECT_EQ(outcome.info.value, kx::Value(kx::Array{note.toValue()}));
      EXPECT_EQ(entry->value(c.key), c.stored) << c.key << " " << c.given.description();
      EXPECT_EQ(entry->stringValue("author"), "me");
    }
    // Reset the author so that a refused item shows it set nothing.
    Write([&](KXManagedObjectContext& w) {
      ASSERT_TRUE(w.existingObject(note)->setValue("author", kx::Value()));
    });
  }
}

TEST_F(WritesTest, MissingOrUnknownItemsAreSkippedAndTheBatchGoesOn) {
  BuildTree();
  KXObjectID gone;
  Write([&](KXManagedObjectContext& c) {
    KXManagedObjectPtr row = Put(c, "Note", {{"fileId", kx::Value("N_gone")}});
    gone = row->objectID();
    c.deleteObject(row);
  });
  const KXObjectID note = IdOf("N_a");
  Outcome outcome = Run([&](KXDataCallback done) {
    client_->writes().modifyFileMetas(
        {Item({{"fields", kx::Value(kx::Dictionary{{"author", kx::Value("lost")}})}}),
         Item({{"identity", gone.toValue()},
               {"fields", kx::Value(kx::Dictionary{{"author", kx::Value("lost")}})}}),
         Item({{"identity", note.toValue()},
               {"version", kx::Value(8)},
               {"fields", kx::Value(kx::Dictionary{{"author", kx::Value("kept")}})}})},
        std::move(done));
  });
  EXPECT_EQ(outcome.info.value, kx::Value(kx::Array{note.toValue()}));
  EXPECT_EQ(outcome.error.code(), kKXStoreObjectNotFoundError);
  EXPECT_NE(outcome.error.localizedDescription().find("nil id"), std::string::npos);
  EXPECT_NE(outcome.error.localizedDescription().find(gone.uriRepresentation()), std::string::npos);
  Save();
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_a");
  EXPECT_EQ(entry->stringValue("author"), "kept");
  EXPECT_EQ(entry->integerValue("version"), 8) << "a top-level version is applied";
  EXPECT_NE(LogText().find("try to get object with nil id"), std::string::npos);
}

TEST_F(WritesTest, TitlesAreCheckedAndNotebookTitlesReindexed) {
  BuildTree();
  Write([](KXManagedObjectContext& c) {
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_C")},
         {"parentId", kx::Value("ROOT")},
         {"title", kx::Value("Paris")}});
  });
  const KXObjectID paris = IdOf("NB_C");
  Outcome outcome = Run([&](KXDataCallback done) {
    client_->writes().modifyNotebooks(
        {Item({{"identity", paris.toValue()},
               {"fields", kx::Value(kx::Dictionary{{"title", kx::Value("Travel")},
                                                   {"noteCount", kx::Value(4)}})}})},
        std::move(done));
  });
  EXPECT_FALSE(outcome.error);
  WaitForIndex();
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("NB_C");
  EXPECT_EQ(entry->title(), "Travel(1)");
  EXPECT_EQ(entry->integerValue("localModified"), 1);
  EXPECT_EQ(entry->integerValue("noteCount"), 4);
  EXPECT_EQ(Search("Travel"), std::vector<std::string>{"NB_C"}) << "the title as requested";
  EXPECT_TRUE(entry->boolValue("hasIndex"));

  // An entry's own title is not a clash, and an unchanged title is not
  // indexed again.
  Run([&](KXDataCallback done) {
    client_->writes().modifyNotebooks(
        {Item({{"identity", IdOf("NB_A").toValue()},
               {"fields", kx::Value(kx::Dictionary{{"title", kx::Value("Travel")}})}})},
        std::move(done));
  });
  WaitForIndex();
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_A")->title(), "Travel");
  EXPECT_TRUE(client_->reads().objectForFileMetaID("NB_A")->isNil("localModified") ||
              client_->reads().objectForFileMetaID("NB_A")->integerValue("localModified") == 0);
  EXPECT_FALSE(client_->reads().objectForFileMetaID("NB_A")->boolValue("hasIndex"));

  // Through the general wrapper only the general properties are copied;
  // content of a notebook is indexed with its title, a note's is not.
  const KXObjectID note = IdOf("N_a");
  Run([&](KXDataCallback done) {
    client_->writes().modifyFileMetas(
        {Item({{"identity", paris.toValue()},
               {"modifyContent", kx::Value("boulangerie")},
               {"fields", kx::Value(kx::Dictionary{{"noteCount", kx::Value(9)}})}}),
         Item({{"identity", note.toValue()}, {"modifyContent", kx::Value("croissant")}})},
        std::move(done));
  });
  WaitForIndex();
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_C")->integerValue("noteCount"), 4);
  EXPECT_EQ(Search("boulangerie"), std::vector<std::string>{"NB_C"});
  EXPECT_TRUE(Search("croissant").empty());
}

TEST_F(WritesTest, TagModifyIsStampedAndRelationsAreAdded) {
  BuildTree();
  KXObjectID tag, resource;
  Write([&](KXManagedObjectContext& c) {
    tag =
        Put(c, "Tag",
            {{"tagId", kx::Value("T1")}, {"name", kx::Value("old")}, {"dateUpdated", kx::Value(5)}})
            ->objectID();
    resource = Put(c, "Resource", {{"fileId", kx::Value("R1")}})->objectID();
  });
  Run([&](KXDataCallback done) {
    client_->writes().modifyTags(
        {Item({{"identity", tag.toValue()},
               {"fields", kx::Value(kx::Dictionary{{"name", kx::Value("new")}})}})},
        std::move(done));
  });
  Outcome linked = Run([&](KXDataCallback done) {
    client_->writes().modifyResources(
        {Item({{"identity", resource.toValue()},
               {"addRelation", Item({{"relationObject", kx::Value("Note")},
                                     {"relationName", kx::Value("fileId")},
                                     {"relationValue", kx::Value("N_a")},
                                     {"relationKey", kx::Value("notes")}})}})},
        std::move(done));
  });
  EXPECT_FALSE(linked.error);
  Save();
  auto stored = client_->reads().objectForTagID("T1");
  EXPECT_EQ(stored->name(), "new");
  EXPECT_TRUE(stored->isLocalModified());
  EXPECT_GT(stored->dateUpdated(), 1600000000);
  EXPECT_EQ(Ids(client_->reads().objectForResourceID("R1")->objects("notes")),
            std::vector<std::string>{"N_a"});
}

// ---------------------------------------------------------------------------
// Erases
// ---------------------------------------------------------------------------

TEST_F(WritesTest, ErasesRemoveRowsByKind) {
  BuildTree();
  client_->writes().eraseNotes(
      {Item({{"fileId", kx::Value("N_a")}}), Item({{"fileId", kx::Value("N_x")}})});
  // Beneath an id that is not stored everything still goes.
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note", {{"fileId", kx::Value("N_orphan")}, {"parentId", kx::Value("NB_missing")}});
    Put(c, "Note",
        {{"fileId", kx::Value("N_purged")},
         {"parentId", kx::Value("NB_B")},
         {"remoteRemoved", kx::Value(true)}});
  });
  client_->writes().eraseNotebooks({Item({{"fileId", kx::Value("NB_missing")}})});
  Save();
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_a"), nullptr);
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_orphan"), nullptr);

  KXObjectID tag;
  Write([&](KXManagedObjectContext& c) {
    tag = Put(c, "Tag", {{"tagId", kx::Value("T")}})->objectID();
  });
  std::vector<KXManagedObjectPtr> objects{client_->reads().objectForFileMetaID("NB_A"),
                                          client_->reads().objectForTagID("T")};
  client_->writes().eraseObjects(objects);
  Save();
  for (const char* fileId : {"NB_A", "NB_B", "N_b", "F_b", "N_purged"}) {
    EXPECT_EQ(client_->reads().objectForFileMetaID(fileId), nullptr) << fileId;
  }
  EXPECT_EQ(client_->reads().baseVersion(), 3) << "the root stays";
  EXPECT_TRUE(client_->reads().objectForTagID("T")) << "not a file entry: skipped";
}

TEST_F(WritesTest, NamePathsOfFolders) {
  BuildTree();
  data_->performSyncReadBlock([&](KXManagedObjectContext& reader) {
    EXPECT_EQ(client_->readsIn(&reader).namePathFromNotebookId(std::nullopt), "");
    EXPECT_EQ(client_->readsIn(&reader).namePathFromNotebookId(std::string()), "");
    EXPECT_EQ(client_->readsIn(&reader).namePathFromNotebookId(std::string("/")), "/");
    EXPECT_EQ(client_->readsIn(&reader).namePathFromNotebookId(std::string("ROOT")), "/");
    EXPECT_EQ(client_->readsIn(&reader).namePathFromNotebookId(std::string("nope")), "/");
    EXPECT_EQ(client_->readsIn(&reader).namePathFromNotebookId(std::string("NB_B")),
              "/Travel/Rome");
  });
}

}  // namespace
