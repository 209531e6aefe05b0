#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPathUtil.h"
#include "Data/DataClientFixture.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXDataConversion.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Notebook.h"
#include "Data/entities/Resource.h"
#include "Data/entities/Root.h"
#include "Data/entities/Tag.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "Data/store/KXStoreError.h"
#include "platform/FileSystem.h"
#include "platform/GlobalQueue.h"
#include "platform/MainQueue.h"
#include "search/KXSContext.h"
#include "search/KXSSearchProxy.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"

namespace {

using kxtest::Ids;
using kxtest::Put;
using kxtest::TestStoreEnvironment;

class DataClientTest : public kxtest::DataClientFixture {
 protected:
  // The tree most tests list. Rows are inserted deepest first in places, so
  // that store order and level order differ:
  //   ROOT "My Notes" (version 42)
  //     NB_A "A": N_a1, NB_A1 "A1" > NB_A11 "A11" > N_deep, F_doc, N_gone (removed)
  //     NB_E "E" (encrypted) > NB_E1 "E1" > N_secret (tags "12")
  //     N_tagged (tags "123,7")
  //   trash ("1"): NB_T "Old" > N_t1, N_trashed
  //   hidden ("-2"): N_hidden
  void BuildTree() {
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root",
          {{"fileId", kx::Value("ROOT")},
           {"title", kx::Value("My Notes")},
           {"version", kx::Value(42)}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_deep")},
           {"parentId", kx::Value("NB_A11")},
           {"title", kx::Value("deep.note")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_A11")},
           {"parentId", kx::Value("NB_A1")},
           {"title", kx::Value("A11")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_A")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("A")}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_a1")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("a1.note")},
           {"transactionTime", kx::Value(100)},
           {"transactionId", kx::Value("N_a1")},
           {"shareType", kx::Value(1)}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_A1")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("A1")}});
      Put(c, "NormalFile",
          {{"fileId", kx::Value("F_doc")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("doc.pdf")},
           {"domain", kx::Value(1)}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_gone")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("gone.note")},
           {"remoteRemoved", kx::Value(true)}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_E")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("E")},
           {"encrypted", kx::Value(true)}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_E1")},
           {"parentId", kx::Value("NB_E")},
           {"title", kx::Value("E1")}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_secret")},
           {"parentId", kx::Value("NB_E1")},
           {"title", kx::Value("secret.note")},
           {"tags", kx::Value("12")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_T")},
           {"parentId", kx::Value("1")},
           {"title", kx::Value("Old")},
           {"del", kx::Value(true)}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_t1")},
           {"parentId", kx::Value("NB_T")},
           {"title", kx::Value("t1.note")},
           {"del", kx::Value(true)},
           {"shareType", kx::Value(1)}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_trashed")},
           {"parentId", kx::Value("1")},
           {"title", kx::Value("trashed.note")},
           {"del", kx::Value(true)}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_hidden")},
           {"parentId", kx::Value("-2")},
           {"title", kx::Value("hidden.note")}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_tagged")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("tagged.note")},
           {"tags", kx::Value("123,7")}});
    });
  }
};

// ---------------------------------------------------------------------------
// Frame
// ---------------------------------------------------------------------------

class RecordingReporter : public KXCrashReporter {
 public:
  void setUserId(const std::string& userId) override {
    std::lock_guard<std::mutex> lock(mu_);
    ids_.push_back(userId);
  }
  std::vector<std::string> ids() {
    std::lock_guard<std::mutex> lock(mu_);
    return ids_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> ids_;
};

TEST_F(DataClientTest, ConfiguresSearchAndKeepsTheSyncState) {
  KXSContext& search = KXSContext::sharedContext();
  EXPECT_TRUE(search.isInitialized());
  EXPECT_EQ(search.pathOfIndexDirectory(), client_->indexing().indexDirectory());
  EXPECT_TRUE(search.pathOfIndexDirectory().ends_with("/Index"));
  EXPECT_EQ(search.pathOfStopWords(), client_->indexing().indexStopWordsFile());
  EXPECT_TRUE(kx::FileSystem::Default().exists(client_->indexing().indexStopWordsFile()));
  EXPECT_EQ(search.workerCountOfIndexQueue(), 1);
  EXPECT_NE(client_->indexing().ftsIndexer(), nullptr);
  EXPECT_EQ(&client_->indexing().ftsSearcher(), &KXSSearchProxy::sharedProxy());

  EXPECT_TRUE(client_->conversion().dataConvert());
}

TEST_F(DataClientTest, HooksAnswerFromTheStoreUntilItIsClosed) {
  EXPECT_EQ(KXHooks::rootEntryId(), "") << "no root entry yet";
  Write([](KXManagedObjectContext& c) {
    Put(c, "Root", {{"fileId", kx::Value("ROOT")}});
    Put(c, "User", {{"userId", kx::Value("u-1")}, {"nickname", kx::Value("Ann")}});
  });
  EXPECT_EQ(KXHooks::rootEntryId(), "ROOT");
  EXPECT_EQ(KXPathUtil::basename("/"), "ROOT");

  auto reporter = std::make_shared<RecordingReporter>();
  KXCrashLogger::setReporter(reporter);
  KXCrashLogger::configUserInfo();
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get(kx::QueuePriority::Background)));
  EXPECT_EQ(reporter->ids(), std::vector<std::string>{"u-1"});

  // Once nothing holds the store any more, the hooks answer nothing.
  data_.reset();
  client_->closeDB();
  EXPECT_EQ(KXHooks::rootEntryId(), "");
  KXCrashLogger::configUserInfo();
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get(kx::QueuePriority::Background)));
  EXPECT_EQ(reporter->ids().size(), 1u);
  KXCrashLogger::setReporter(nullptr);
}

TEST_F(DataClientTest, AfterCloseDBReadsAnswerNothing) {
  BuildTree();
  client_->closeDB();
  EXPECT_EQ(client_->dataContext(), nullptr);
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_A"), nullptr);
  EXPECT_EQ(client_->reads().baseVersion(), -1);
  EXPECT_TRUE(client_->reads().objectsUnderFileId("ROOT").empty());
  kx::Error error;
  EXPECT_FALSE(client_->reads().readFileMetasSyncForQuery(std::nullopt, {}, "Note", &error));
  EXPECT_EQ(error.code(), kKXStoreUnavailableError);
  bool ran = false;
  client_->reads().performSyncReadBlock([&] { ran = true; });
  EXPECT_FALSE(ran);
  kx::MainQueue::shared().drain();
}

// ---------------------------------------------------------------------------
// Query core
// ---------------------------------------------------------------------------

TEST_F(DataClientTest, NotebookParamsUseTheServicesEntryNames) {
  BuildTree();
  auto notebook = std::dynamic_pointer_cast<Notebook>(client_->reads().objectForFileMetaID("NB_A"));
  ASSERT_TRUE(notebook);
  kx::Dictionary params = notebook->paramsForNetworkRequest();
  EXPECT_EQ(params["name"].stringValue(), "A") << "the title under the service's name";
  EXPECT_TRUE(params.contains("version"));
  EXPECT_TRUE(params.contains("createTime"));
  EXPECT_TRUE(params.contains("modifyTime"));
  EXPECT_FALSE(params.contains("title"));
  EXPECT_FALSE(params.contains("entryPath")) << "not an attribute of notebooks";
  EXPECT_EQ(params.size(), 4u);
}

TEST_F(DataClientTest, QueryRecordsBecomeFetches) {
  BuildTree();
  Write([](KXManagedObjectContext& c) {
    // Two tags that differ only in their key: as dictionaries of their
    // other attributes they are one row.
    Put(c, "Tag", {{"name", kx::Value("red")}});
    Put(c, "Tag", {{"name", kx::Value("red")}});
    Put(c, "Tag", {{"name", kx::Value("blue")}});
  });
  struct Case {
    const char* name;
    std::string entity;
    kx::Dictionary query;
    std::vector<std::string> ids;  // ManagedObject fetches
    std::int64_t count;            // results of any kind
  };
  const std::vector<Case> cases = {
      {"limit 1, no condition: the first in store order",
       "Note",
       {{"limit", kx::Value(1)}},
       {"N_deep"},
       1},
      {"the argument names the entity, not the record (Root is a notebook)",
       "Notebook",
       {{"entity", kx::Value("Note")}, {"limit", kx::Value(2)}},
       {"ROOT", "NB_A11"},
       2},
      {"offset and limit",
       "Note",
       {{"offset", kx::Value(1)}, {"limit", kx::Value(2)}},
       {"N_a1", "N_gone"},
       2},
      {"condition with arguments",
       "FileMeta",
       {{"condition", kx::Value("parentId = %@ AND dir = %@")},
        {"arguments", kx::Value::array({kx::Value("NB_A"), kx::Value(true)})}},
       {"NB_A1"},
       1},
      {"object IDs", "Notebook", {{"retType", kx::Value(1)}}, {}, 7},
      {"count", "Note", {{"retType", kx::Value(4)}, {"condition", kx::Value("del = YES")}}, {}, 2},
      {"distinct dictionaries",
       "Tag",
       {{"retType", kx::Value(2)}, {"distinct", kx::Value(true)}},
       {},
       2},
      {"dictionaries without distinct", "Tag", {{"retType", kx::Value(2)}}, {}, 3},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    kx::Error error;
    std::optional<KXFetchResult> result;
    client_->reads().performSyncReadBlock(
        [&] { result = client_->reads().executeSyncQuery(test.entity, test.query, &error); });
    ASSERT_TRUE(result) << error.localizedDescription();
    if (!test.ids.empty()) {
      EXPECT_EQ(Ids(result->objects), test.ids);
    }
    EXPECT_EQ(result->count, test.count);
  }
  std::optional<KXFetchResult> ids;
  client_->reads().performSyncReadBlock([&] {
    ids = client_->reads().executeSyncQuery("Notebook", {{"retType", kx::Value(1)}}, nullptr);
  });
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->objectIDs.size(), 7u);
  EXPECT_TRUE(ids->objects.empty());
}

TEST_F(DataClientTest, FailedQueriesAnswerNothingAndPresentOnlyWithAnErrorParameter) {
  kx::MainQueue::shared().drain();
  auto presenter = std::make_shared<KXHeadlessErrorPresenter>();
  KXErrorPresenter::install(presenter);
  struct Case {
    const char* name;
    std::string entity;
    kx::Dictionary query;
  };
  const std::vector<Case> cases = {
      {"condition that does not parse", "Note", {{"condition", kx::Value("title ==")}}},
      {"key the entity lacks", "Note", {{"condition", kx::Value("colour = 1")}}},
      {"unknown entity", "Nothing", {}},
      {"unknown result type", "Note", {{"retType", kx::Value(3)}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    kx::Error error;
    EXPECT_FALSE(client_->reads().executeSyncQuery(test.entity, test.query, &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(client_->reads().executeSyncQuery(test.entity, test.query, nullptr));
  }
  EXPECT_FALSE(KXEntryReads::buildQuery({{"condition", kx::Value("del = NO")}}))
      << "no entity, no request";
  kx::MainQueue::shared().drain();
  const auto presented = presenter->presentedErrors();
  ASSERT_EQ(presented.size(), cases.size()) << "once per failure with an error parameter";
  EXPECT_EQ(presented[0].localizedDescription(), "Query Database Fail");
  KXErrorPresenter::install(nullptr);
}

TEST_F(DataClientTest, WithoutAContextQueriesSeeOnlySavedData) {
  BuildTree();
  data_->performSyncWriteBlock([&](KXManagedObjectContext& writer) {
    Put(writer, "Note", {{"fileId", kx::Value("N_unsaved")}});
    const kx::Dictionary query{{"condition", kx::Value("fileId = 'N_unsaved'")}};
    auto inReader = client_->reads().executeSyncQuery("Note", query, nullptr);
    auto inWriter = client_->readsIn(&writer).executeSyncQuery("Note", query, nullptr);
    ASSERT_TRUE(inReader && inWriter);
    EXPECT_TRUE(inReader->objects.empty());
    EXPECT_EQ(inWriter->objects.size(), 1u);
    // The sync getters read on the read queue, from the write queue too.
    EXPECT_EQ(client_->reads().objectForFileMetaID("N_unsaved"), nullptr);
    EXPECT_NE(client_->readsIn(&writer).objectForFileMetaID("N_unsaved"), nullptr);
  });
}

TEST_F(DataClientTest, SyncReadsRunInlineOnTheReadQueue) {
  BuildTree();
  bool inner = false;
  KXFileMetaPtr found;
  data_->performSyncReadBlock([&](KXManagedObjectContext&) {
    client_->reads().performSyncReadBlock([&] {
      inner = data_->isOnReadQueue();
      found = client_->reads().objectForFileMetaID("NB_A");
    });
  });
  EXPECT_TRUE(inner);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->managedObjectContext(), data_->readContext());
}

TEST_F(DataClientTest, AsyncReadsCallBackOnTheReadQueue) {
  BuildTree();
  struct Answer {
    bool onReadQueue = false;
    KXResultInfo info;
    kx::Error error;
  };
  Answer good, bad;
  client_->reads().readNotebookForCondition({{"condition", kx::Value("encrypted = YES")}},
                                            [&](const KXResultInfo& info, const kx::Error& error) {
                                              good = {data_->isOnReadQueue(), info, error};
                                            });
  client_->reads().readNoteForCondition({{"condition", kx::Value("colour = 1")}},
                                        [&](const KXResultInfo& info, const kx::Error& error) {
                                          bad = {data_->isOnReadQueue(), info, error};
                                        });
  ASSERT_TRUE(kxtest::waitForQueue(data_->readQueue()));
  EXPECT_TRUE(good.onReadQueue);
  ASSERT_TRUE(good.info.hasResult);
  EXPECT_EQ(Ids(good.info.fetch.objects), std::vector<std::string>{"NB_E"});
  EXPECT_FALSE(good.error);
  EXPECT_TRUE(bad.onReadQueue);
  EXPECT_FALSE(bad.info.hasResult);
  EXPECT_EQ(bad.error.code(), kKXStoreUnknownKeyError);
  kx::MainQueue::shared().drain();
}

TEST_F(DataClientTest, ReadWrappersFetchTheirEntity) {
  BuildTree();
  kx::Error error;
  auto notes = client_->reads().readFileMetasSyncForQuery(std::string("parentId = %@"),
                                                          {kx::Value("NB_A")}, "Note", &error);
  ASSERT_TRUE(notes);
  EXPECT_EQ(Ids(*notes), (std::vector<std::string>{"N_a1", "N_gone"}));
  auto all = client_->reads().readFileMetasSyncForQuery(std::nullopt, {}, "NormalFile", &error);
  ASSERT_TRUE(all);
  EXPECT_EQ(Ids(*all), std::vector<std::string>{"F_doc"});
  auto books = client_->reads().readNotebookSyncForCondition(
      {{"condition", kx::Value("del = YES")}}, &error);
  ASSERT_TRUE(books);
  EXPECT_EQ(Ids(books->objects), std::vector<std::string>{"NB_T"});
  EXPECT_THROW(client_->reads().readGroupSyncForCondiction({}, nullptr), kx::Exception);
  EXPECT_THROW(client_->reads().titleOfDuplicateNoteGroupTitle("x"), kx::Exception);
}

// ---------------------------------------------------------------------------
// Relation lookup and the generic insert
// ---------------------------------------------------------------------------

TEST_F(DataClientTest, RelationLookupFindsFallsBackOrCreates) {
  BuildTree();
  Write([](KXManagedObjectContext& c) { Put(c, "Tag", {{"tagId", kx::Value("T1")}}); });
  const kx::Dictionary createTag{{"tagId", kx::Value("T_new")}, {"name", kx::Value("made")}};
  struct Case {
    const char* name;
    kx::Dictionary info;
    std::string expectTagId;  // "" for nothing
  };
  const std::vector<Case> cases = {
      {"value matches",
       {{"relationObject", kx::Value("Tag")},
        {"relationName", kx::Value("tagId")},
        {"relationValue", kx::Value("T1")}},
       "T1"},
      {"no match, the default matches",
       {{"relationObject", kx::Value("Tag")},
        {"relationName", kx::Value("tagId")},
        {"relationValue", kx::Value("none")},
        {"default", kx::Value("T1")}},
       "T1"},
      {"creation forbidden",
       {{"relationObject", kx::Value("Tag")},
        {"relationName", kx::Value("tagId")},
        {"relationValue", kx::Value("none")},
        {"relationAutoCreate", kx::Value(false)},
        {"relationAutoCreateInfo", kx::Value(createTag)}},
       ""},
      {"nothing to create from",
       {{"relationObject", kx::Value("Tag")},
        {"relationName", kx::Value("tagId")},
        {"relationValue", kx::Value("none")}},
       ""},
      {"a missing value compares with nothing",
       {{"relationObject", kx::Value("Tag")}, {"relationName", kx::Value("name")}},
       ""},
      {"a name that is not an attribute is refused",
       {{"relationObject", kx::Value("Tag")},
        {"relationName", kx::Value("tagId = 'T1' OR tagId")},
        {"relationValue", kx::Value("x")}},
       ""},
      {"a relationship is not an attribute",
       {{"relationObject", kx::Value("Resource")},
        {"relationName", kx::Value("entry")},
        {"relationValue", kx::Value("x")}},
       ""},
      {"unknown entity",
       {{"relationObject", kx::Value("Nothing")},
        {"relationName", kx::Value("tagId")},
        {"relationValue", kx::Value("T1")}},
       ""},
      {"absent flag: created",
       {{"relationObject", kx::Value("Tag")},
        {"relationName", kx::Value("tagId")},
        {"relationValue", kx::Value("none")},
        {"relationAutoCreateInfo", kx::Value(createTag)}},
       "T_new"},
  };
  data_->performSyncWriteBlock([&](KXManagedObjectContext& writer) {
    for (const Case& test : cases) {
      SCOPED_TRACE(test.name);
      KXManagedObjectPtr found = client_->writes().relationObjectSync(test.info, &writer);
      EXPECT_EQ(found ? found->stringValue("tagId") : "", test.expectTagId);
    }
    auto made = KXCast<Tag>(client_->readsIn(&writer).objectForTagID("T_new"));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->name(), "made");
  });
}

// A lookup that failed has not shown that the object is missing: nothing is
// created in its place.
TEST_F(DataClientTest, RelationLookupThatFailsCreatesNothing) {
  Write([](KXManagedObjectContext& c) { Put(c, "Tag", {{"tagId", kx::Value("T1")}}); });
  {
    auto connection = data_->writeContext()->persistentStore()->writeConnection();
    kx::MutexLock guard(connection->mutex());
    ASSERT_TRUE(connection->exec(
        "CREATE TRIGGER refuse BEFORE UPDATE OF name ON Tag WHEN NEW.name = 'boom' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END",
        nullptr));
  }
  const kx::Dictionary info{
      {"relationObject", kx::Value("Tag")},
      {"relationName", kx::Value("tagId")},
      {"relationValue", kx::Value("T_new")},
      {"relationAutoCreateInfo", kx::Value(kx::Dictionary{{"tagId", kx::Value("T_new")}})}};
  data_->performSyncWriteBlock([&](KXManagedObjectContext& writer) {
    auto tag = client_->readsIn(&writer).objectForTagID("T1");
    ASSERT_TRUE(tag);
    ASSERT_TRUE(tag->setValue("name", kx::Value("boom")));
    // The lookup writes the refused change first and fails.
    EXPECT_EQ(client_->writes().relationObjectSync(info, &writer), nullptr);
    EXPECT_FALSE(writer.save());
    EXPECT_EQ(client_->readsIn(&writer).objectForTagID("T_new"), nullptr);
  });
}

TEST_F(DataClientTest, GenericInsertChoosesKindsSkipsStoredIdsAndRenames) {
  BuildTree();
  const kx::Array items{
      kx::Value::dict({{"fileId", kx::Value("X_book")},
                       {"dir", kx::Value(true)},
                       {"domain", kx::Value(1)},
                       {"parentId", kx::Value("ROOT")},
                       {"title", kx::Value("A")}}),
      kx::Value::dict({{"fileId", kx::Value("X_file")},
                       {"dir", kx::Value(false)},
                       {"domain", kx::Value(1)},
                       {"title", kx::Value("x.pdf")}}),
      kx::Value::dict({{"fileId", kx::Value("X_note")},
                       {"title", kx::Value("x.note")},
                       {"colour", kx::Value("ignored")}}),
      kx::Value::dict({{"fileId", kx::Value("NB_A")},
                       {"dir", kx::Value(true)},
                       {"title", kx::Value("replaced?")}}),
  };
  std::vector<KXManagedObjectPtr> called;
  data_->performSyncWriteBlock([&](KXManagedObjectContext& writer) {
    auto inserted = client_->writes().addManagedObjectsSync(
        "FileMeta", &writer, items,
        [&](const KXResultInfo& info, const kx::Error&) { called = info.fetch.objects; });
    ASSERT_EQ(inserted.size(), 3u) << "the stored id is skipped";
    EXPECT_EQ(called, inserted);
    EXPECT_TRUE(inserted[0]->isKindOfEntity("Notebook"));
    EXPECT_EQ(inserted[0]->stringValue("title"), "A(1)") << "A is a sibling notebook's title";
    EXPECT_EQ(inserted[0]->integerValue("localModified"), 1);
    EXPECT_EQ(inserted[1]->entity().name(), "NormalFile");
    EXPECT_EQ(inserted[2]->entity().name(), "Note");
    EXPECT_TRUE(inserted[2]->isNil("localModified")) << "no folder given, no title check";
    ASSERT_TRUE(writer.save());
  });
  EXPECT_EQ(client_->reads().objectForFileMetaID("NB_A")->title(), "A");

  // A relation record links the object it names under its key.
  data_->performSyncWriteBlock([&](KXManagedObjectContext& writer) {
    auto resources = client_->writes().addManagedObjectsSync(
        "Resource", &writer,
        {kx::Value::dict({{"fileId", kx::Value("R_new")},
                          {"relationObject", kx::Value("Notebook")},
                          {"relationName", kx::Value("fileId")},
                          {"relationValue", kx::Value("NB_A")},
                          {"relationKey", kx::Value("notes")}})},
        nullptr);
    ASSERT_EQ(resources.size(), 1u);
    EXPECT_EQ(Ids(resources[0]->objects("notes")), std::vector<std::string>{"NB_A"});
  });

  // Tags are stamped with the time of insertion, whatever the item says.
  data_->performSyncWriteBlock([&](KXManagedObjectContext& writer) {
    auto tags = client_->writes().addManagedObjectsSync(
        "Tag", &writer,
        {kx::Value::dict({{"tagId", kx::Value("T9")},
                          {"dateCreated", kx::Value(5)},
                          {"isLocalCreated", kx::Value(false)}})},
        nullptr);
    ASSERT_EQ(tags.size(), 1u);
    auto tag = KXCast<Tag>(tags[0]);
    EXPECT_GT(tag->dateCreated(), 1600000000);
    EXPECT_EQ(tag->dateCreated(), tag->dateUpdated());
    EXPECT_TRUE(tag->isLocalCreated());
    EXPECT_FALSE(tag->isLocalModified());
    EXPECT_FALSE(tag->isLocalRemoved());
  });
}

// ---------------------------------------------------------------------------
// Single entries and values
// ---------------------------------------------------------------------------

TEST_F(DataClientTest, SingleEntryLookups) {
  BuildTree();
  Write([](KXManagedObjectContext& c) {
    Put(c, "Tag", {{"tagId", kx::Value("12")}});
    Put(c, "Resource", {{"fileId", kx::Value("R1")}});
    Put(c, "Resource", {{"title", kx::Value("no id")}});
  });
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_a1")->title(), "a1.note");
  EXPECT_EQ(client_->reads().objectForFileMetaID("missing"), nullptr);
  EXPECT_EQ(client_->reads().objectForFileMetaID(""), nullptr);
  EXPECT_EQ(client_->reads().objectForTagID("12")->tagId(), "12");
  EXPECT_EQ(client_->reads().objectForTagID(""), nullptr);
  EXPECT_EQ(client_->reads().objectForBookName("A1")->fileId(), "NB_A1");
  EXPECT_EQ(client_->reads().objectForBookName(""), nullptr);
  EXPECT_EQ(client_->reads().objectForResourceID("R1")->fileId(), "R1");
  EXPECT_EQ(client_->reads().objectForResourceID(""), nullptr) << "not the resource without an id";
  EXPECT_EQ(client_->reads().rootEntry()->title(), "My Notes");
  EXPECT_EQ(client_->reads().baseVersion(), 42);
  EXPECT_EQ(client_->reads().countOfTrash(), 2)
      << "trashed notes; the trashed notebook is not counted";
}

TEST_F(DataClientTest, RootIsFoundByItsKindNotByItsId) {
  EXPECT_EQ(client_->reads().baseVersion(), -1) << "empty store";
  EXPECT_EQ(client_->reads().objectForFileMetaID("ROOT"), nullptr);
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note", {{"fileId", kx::Value("ROOT")}, {"title", kx::Value("impostor")}});
    Put(c, "Root",
        {{"fileId", kx::Value("ROOT")}, {"title", kx::Value("root")}, {"version", kx::Value(3)}});
  });
  KXFileMetaPtr root = client_->reads().objectForFileMetaID("ROOT");
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->isKindOfEntity("Root"));
  EXPECT_EQ(root->title(), "root");
  EXPECT_EQ(client_->reads().baseVersion(), 3);
}

TEST_F(DataClientTest, MaxTimeIsTheLaterTimeInSeconds) {
  struct Case {
    long long modifyTime, stickTime, expected;
  };
  const Case cases[] = {
      {1600000500, 1600000000, 1600000500},
      {1600000000, 1600000500, 1600000500},
      {1600000000123, 1600000000, 1600000000},     // milliseconds
      {1600000000, 1600000900123456, 1600000900},  // microseconds
  };
  Write([&](KXManagedObjectContext& c) {
    int i = 0;
    for (const Case& test : cases) {
      Put(c, "Note",
          {{"fileId", kx::Value("M" + std::to_string(i++))},
           {"modifyTime", kx::Value(test.modifyTime)},
           {"stickTime", kx::Value(test.stickTime)}});
    }
  });
  int i = 0;
  for (const Case& test : cases) {
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID("M" + std::to_string(i++));
    ASSERT_TRUE(entry);
    EXPECT_EQ(KXEntryReads::getMaxTime(*entry), test.expected) << test.modifyTime;
  }
}

TEST_F(DataClientTest, UnpushedLists) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Root", {{"fileId", kx::Value("ROOT")}, {"localModified", kx::Value(1)}});
    Put(c, "Note",
        {{"fileId", kx::Value("U_changed")},
         {"parentId", kx::Value("ROOT")},
         {"localModified", kx::Value(1)}});
    Put(c, "Note",
        {{"fileId", kx::Value("U_failed")},
         {"parentId", kx::Value("1")},
         {"localModified", kx::Value(2)},
         {"localTrashOp", kx::Value(true)}});
    Put(c, "Note",
        {{"fileId", kx::Value("U_hidden")},
         {"parentId", kx::Value("-2")},
         {"localModified", kx::Value(1)}});
    Put(c, "Note", {{"fileId", kx::Value("U_clean")}, {"parentId", kx::Value("ROOT")}});
    auto held =
        Put(c, "Resource", {{"fileId", kx::Value("R_held")}, {"localModified", kx::Value(true)}});
    Put(c, "Resource", {{"fileId", kx::Value("R_loose")}, {"localModified", kx::Value(true)}});
    auto note = KXCast<FileMeta>(Put(c, "Note", {{"fileId", kx::Value("U_holder")}}));
    ASSERT_TRUE(note->addObject("resources", held));
  });
  EXPECT_EQ(Ids(client_->reads().readForUnpushedFilemeta()),
            (std::vector<std::string>{"U_changed", "U_failed"}));
  auto resources = client_->reads().readForUnpushedResources();
  ASSERT_EQ(resources.size(), 1u);
  EXPECT_EQ(resources[0]->fileId(), "R_held");
  EXPECT_EQ(Ids(client_->reads().readForUnpushedTrashOperation()),
            std::vector<std::string>{"U_failed"});
}

// ---------------------------------------------------------------------------
// Folders and subtrees
// ---------------------------------------------------------------------------

TEST_F(DataClientTest, ChildrenAndSubtrees) {
  BuildTree();
  using Ids_ = std::vector<std::string>;
  struct Case {
    const char* name;
    std::function<KXFileMetaArray()> run;
    Ids_ expected;
  };
  KXDataClient& client = *client_;
  auto under = [&](const std::string& id, const std::string& entity,
                   const std::optional<std::string>& predicate, const kx::Array& options) {
    KXFileMetaArray out;
    client.reads().performSyncReadBlock([&] {
      out = client.reads().objectsUnderParent(client.reads().objectForFileMetaID(id), entity,
                                              predicate, options);
    });
    return out;
  };
  const std::vector<Case> cases = {
      {"children without the removed ones, in store order",
       [&] { return client.reads().objectsForParentId("NB_A", "FileMeta"); },
       {"N_a1", "NB_A1", "F_doc"}},
      {"children of one kind",
       [&] { return client.reads().objectsForParentId("NB_A", "Notebook"); },
       {"NB_A1"}},
      {"children with a predicate",
       [&] {
         return client.reads().objectsForParentId("NB_A", "FileMeta", std::string("dir = %@"),
                                                  {kx::Value(false)});
       },
       {"N_a1", "F_doc"}},
      {"an OR in the predicate stays inside the folder",
       [&] {
         return client.reads().objectsForParentId("NB_A", "FileMeta",
                                                  std::string("title = %@ OR title = %@"),
                                                  {kx::Value("a1.note"), kx::Value("deep.note")});
       },
       {"N_a1"}},
      {"children of several folders, in store order",
       [&] {
         return client.reads().objectsForParentIds({"NB_E1", "NB_A"}, "FileMeta", std::nullopt, {});
       },
       {"N_a1", "NB_A1", "F_doc", "N_secret"}},
      {"no parent id", [&] { return client.reads().objectsForParentId("", "FileMeta"); }, {}},
      {"the trash lists trashed children",
       [&] { return client.reads().objectsForParentId("1", "FileMeta"); },
       {"NB_T", "N_trashed"}},
      {"the root's subtree: one fetch, without trash and hidden entries",
       [&] { return client.reads().objectsUnderFileId("ROOT"); },
       {"ROOT", "N_deep", "NB_A11", "NB_A", "N_a1", "NB_A1", "F_doc", "NB_E", "NB_E1", "N_secret",
        "N_tagged"}},
      {"a notebook's subtree, level by level",
       [&] { return client.reads().objectsUnderFileId("NB_A"); },
       {"N_a1", "NB_A1", "F_doc", "NB_A11", "N_deep"}},
      {"a trashed notebook keeps its trashed children",
       [&] { return client.reads().objectsUnderFileId("NB_T"); },
       {"N_t1"}},
      {"not a notebook", [&] { return client.reads().objectsUnderFileId("N_a1"); }, {}},
      {"not stored", [&] { return client.reads().objectsUnderFileId("missing"); }, {}},
      {"an entity without notebooks stops at the first level",
       [&] { return under("NB_A", "Note", std::nullopt, {}); },
       {"N_a1"}},
      {"a predicate with options below a notebook",
       [&] { return under("NB_A", "FileMeta", std::string("title <> %@"), {kx::Value("A11")}); },
       {"N_a1", "NB_A1", "F_doc"}},
      {"the root's subtree with a predicate",
       [&] { return under("ROOT", "Note", std::string("tags CONTAINS %@"), {kx::Value("7")}); },
       {"N_tagged"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(Ids(test.run()), test.expected);
  }
}

TEST_F(DataClientTest, ParentIdsThatFormACycleEndTheWalk) {
  BuildTree();
  // NB_C1 and NB_C2 are each other's parent; N_c lies in NB_C2.
  Write([](KXManagedObjectContext& c) {
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_C1")},
         {"parentId", kx::Value("NB_C2")},
         {"title", kx::Value("C1")}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_C2")},
         {"parentId", kx::Value("NB_C1")},
         {"title", kx::Value("C2")}});
    Put(c, "Note",
        {{"fileId", kx::Value("N_c")},
         {"parentId", kx::Value("NB_C2")},
         {"title", kx::Value("c.note")}});
  });
  EXPECT_EQ(Ids(client_->reads().objectsUnderFileId("NB_C1")),
            (std::vector<std::string>{"NB_C2", "N_c"}));
  EXPECT_EQ(Ids(client_->reads().objectsUnderFileId("NB_C2")),
            (std::vector<std::string>{"NB_C1", "N_c"}));
  EXPECT_NE(LogText().find("NB_C1 is reached again"), std::string::npos);

  // A notebook that is its own parent.
  Write([](KXManagedObjectContext& c) {
    Put(c, "Notebook", {{"fileId", kx::Value("NB_self")}, {"parentId", kx::Value("NB_self")}});
  });
  EXPECT_TRUE(client_->reads().objectsUnderFileId("NB_self").empty());
}

TEST_F(DataClientTest, WideLevelsAreFetchedInPartsAndStayInStoreOrder) {
  // More folders on one level than one fetch takes, their children
  // inserted in the reverse order of the folders.
  const int folders = 10050;
  Write([&](KXManagedObjectContext& c) {
    Put(c, "Notebook", {{"fileId", kx::Value("NB_W")}, {"parentId", kx::Value("ROOT")}});
    for (int i = 0; i < folders; ++i) {
      Put(c, "Notebook",
          {{"fileId", kx::Value("W" + std::to_string(i))}, {"parentId", kx::Value("NB_W")}});
    }
    for (int i = folders - 1; i >= 0; i -= 1000) {
      Put(c, "Note",
          {{"fileId", kx::Value("C" + std::to_string(i))},
           {"parentId", kx::Value("W" + std::to_string(i))}});
    }
  });
  KXFileMetaArray subtree = client_->reads().objectsUnderFileId("NB_W");
  ASSERT_EQ(subtree.size(), static_cast<std::size_t>(folders + 11));
  std::vector<std::string> notes;
  for (std::size_t i = folders; i < subtree.size(); ++i) notes.push_back(subtree[i]->fileId());
  EXPECT_EQ(notes.front(), "C10049");
  EXPECT_EQ(notes.back(), "C49");
  for (std::size_t i = 1; i < subtree.size(); ++i) {
    EXPECT_LT(subtree[i - 1]->objectID().primaryKey(), subtree[i]->objectID().primaryKey())
        << "store order at " << i;
  }
}

// ---------------------------------------------------------------------------
// Tags, shares, encrypted folders, names
// ---------------------------------------------------------------------------

TEST_F(DataClientTest, TaggedSharedAndEncrypted) {
  BuildTree();
  Write([](KXManagedObjectContext& c) {
    // An encrypted notebook inside an encrypted notebook is listed twice.
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_E2")},
         {"parentId", kx::Value("NB_E1")},
         {"title", kx::Value("E2")},
         {"encrypted", kx::Value(true)}});
    Put(c, "Note",
        {{"fileId", kx::Value("N_deeper")},
         {"parentId", kx::Value("NB_E2")},
         {"tags", kx::Value("7")}});
  });
  using V = std::vector<std::string>;
  EXPECT_EQ(Ids(client_->reads().objectsWithTagId("12", true)), V{"N_secret"})
      << "12 is an element of \"12\" only, not of \"123,7\"";
  EXPECT_TRUE(client_->reads().objectsWithTagId("12", false).empty()) << "N_secret is encrypted";
  EXPECT_EQ(Ids(client_->reads().objectsWithTagId("123", false)), V{"N_tagged"});
  EXPECT_TRUE(client_->reads().objectsWithTagId("23", true).empty()) << "no part of an element";
  EXPECT_TRUE(client_->reads().objectsWithTagId("3,7", true).empty()) << "no run across elements";
  EXPECT_EQ(Ids(client_->reads().objectsWithTagId("7", false)), V{"N_tagged"})
      << "N_deeper lies two encrypted folders deep";
  EXPECT_TRUE(client_->reads().objectsWithTagId("", true).empty());
  EXPECT_EQ(Ids(client_->reads().myshareFilemetas()), V{"N_a1"}) << "N_t1 is in the trash";

  KXFileMetaArray encrypted;
  client_->reads().performSyncReadBlock(
      [&] { encrypted = client_->reads().encryptedDirsInContext(nullptr); });
  EXPECT_EQ(Ids(encrypted), (V{"NB_E", "NB_E2", "NB_E1", "NB_E2"}));
}

TEST_F(DataClientTest, ParentNamesComeFromTheParentNotebooks) {
  BuildTree();
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note", {{"fileId", kx::Value("N_orphan")}, {"parentId", kx::Value("NB_missing")}});
  });
  KXFileMetaArray entries = Entries({"N_a1", "N_deep", "N_tagged", "N_trashed", "N_orphan"});
  client_->reads().setParentNameForResult(entries);
  EXPECT_EQ(entries[0]->getParentName(), "A");
  EXPECT_EQ(entries[1]->getParentName(), "A11");
  EXPECT_EQ(entries[2]->getParentName(), "My Notes");
  EXPECT_EQ(entries[3]->getParentName(), std::nullopt) << "reserved parent ids are skipped";
  EXPECT_EQ(entries[4]->getParentName(), std::nullopt);
  EXPECT_NE(LogText().find("meta N_orphan parent NB_missing not exist"), std::string::npos);
}

TEST_F(DataClientTest, SearchHitsAreFilteredByFolder) {
  BuildTree();
  using V = std::vector<std::string>;
  struct Case {
    std::string folder;
    V hits, kept, inEncrypted;
  };
  const std::vector<Case> cases = {
      {"ROOT",
       {"N_a1", "N_trashed", "N_hidden", "N_secret", "N_gone"},
       {"N_a1", "N_secret"},
       {"N_secret"}},
      {"NB_A", {"N_a1", "N_deep", "N_secret", "N_gone", "N_tagged"}, {"N_a1", "N_deep"}, {}},
      {"NB_E", {"N_secret", "N_a1"}, {"N_secret"}, {"N_secret"}},
      {"-2", {"N_hidden", "N_a1"}, {"N_hidden"}, {}},
      {"", {"N_a1"}, {}, {}},
      // A virtual folder: hits among the recent entries (only N_a1 has a
      // transaction).
      {"recent", {"N_a1", "N_tagged"}, {"N_a1"}, {}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.folder);
    auto [kept, inEncrypted] =
        client_->reads().objectsFilteredUnderFileId(test.folder, Entries(test.hits));
    EXPECT_EQ(Ids(kept), test.kept);
    EXPECT_EQ(Ids(inEncrypted), test.inEncrypted);
  }
}

// ---------------------------------------------------------------------------
// Recent list and trash list
// ---------------------------------------------------------------------------

class RecentListTest : public DataClientTest {
 protected:
  // R00..R29, transaction times descending with the index, in store order
  // R29..R00; the first `encryptedCount` of the sorted list lie in the
  // encrypted folder.
  void BuildCandidates(int count, int encryptedCount) {
    Write([&](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", kx::Value("ROOT")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_S")},
           {"parentId", kx::Value("ROOT")},
           {"encrypted", kx::Value(true)},
           {"title", kx::Value("Safe")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_P")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Plain")}});
      for (int i = count - 1; i >= 0; --i) {
        char id[16];
        std::snprintf(id, sizeof id, "R%02d", i);
        Put(c, "Note",
            {{"fileId", kx::Value(id)},
             {"parentId", kx::Value(i < encryptedCount ? "NB_S" : "NB_P")},
             {"transactionId", kx::Value(id)},
             {"transactionTime", kx::Value(1000 - i)}});
      }
    });
  }
  static std::vector<std::string> Range(int from, int to) {
    std::vector<std::string> ids;
    for (int i = from; i < to; ++i) {
      char id[16];
      std::snprintf(id, sizeof id, "R%02d", i);
      ids.emplace_back(id);
    }
    return ids;
  }
};

TEST_F(RecentListTest, TheWindowDoublesUntilEnoughEntriesRemain) {
  BuildCandidates(30, 25);
  struct Case {
    std::int64_t limit;
    std::vector<std::string> notDeletedList;  // before cutting
    std::vector<std::string> cut;
  };
  const std::vector<Case> cases = {
      // Window 20 keeps none, window 30 (the whole list) keeps 5.
      {10, Range(25, 30), Range(25, 30)},
      {2, Range(25, 30), Range(25, 27)},
      {-1, Range(25, 30), Range(25, 30)},
      {0, {}, {}},
      {std::numeric_limits<std::int64_t>::max(), Range(25, 30), Range(25, 30)},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.limit);
    KXFileMetaArray full;
    client_->reads().performSyncReadBlock(
        [&] { full = client_->reads().recentObjectsNotDeletedWithLimit(test.limit); });
    EXPECT_EQ(Ids(full), test.notDeletedList);
    EXPECT_EQ(Ids(client_->reads().recentObjectsWithLimit(test.limit, false)), test.cut);
  }
  KXFileMetaArray recent = client_->reads().recentObjectsWithLimit(1, false);
  ASSERT_EQ(recent.size(), 1u);
  EXPECT_EQ(recent[0]->getParentName(), "Plain") << "the recent list carries parent names";
}

TEST_F(RecentListTest, SecondWindowSufficesWhenItHoldsTheLimit) {
  BuildCandidates(30, 15);
  KXFileMetaArray full;
  client_->reads().performSyncReadBlock(
      [&] { full = client_->reads().recentObjectsNotDeletedWithLimit(5); });
  // Window 10 keeps none, window 20 keeps R15..R19, which is enough.
  EXPECT_EQ(Ids(full), Range(15, 20));
}

TEST_F(RecentListTest, PinnedEntriesFirstThenByTransactionTime) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Root", {{"fileId", kx::Value("ROOT")}});
    auto note = [&](const char* id, long long transactionTime, bool stick, long long modifyTime,
                    long long stickTime) {
      Put(c, "Note",
          {{"fileId", kx::Value(id)},
           {"parentId", kx::Value("ROOT")},
           {"transactionId", kx::Value(id)},
           {"transactionTime", kx::Value(transactionTime)},
           {"stick", kx::Value(stick)},
           {"modifyTime", kx::Value(modifyTime)},
           {"stickTime", kx::Value(stickTime)}});
    };
    note("U_old", 10, false, 0, 0);
    note("U_newB", 30, false, 0, 0);
    note("U_newC", 30, false, 0, 0);
    note("P_early", 1, true, 100, 0);
    note("P_late", 1, true, 100, 200);
    note("U_newA", 30, false, 0, 0);
    Put(c, "Note",
        {{"fileId", kx::Value("X_notx")},
         {"parentId", kx::Value("ROOT")},
         {"transactionTime", kx::Value(50)}});  // no transaction id
    Put(c, "Note",
        {{"fileId", kx::Value("X_trash")},
         {"parentId", kx::Value("1")},
         {"transactionId", kx::Value("x")},
         {"transactionTime", kx::Value(60)},
         {"del", kx::Value(true)}});
  });
  EXPECT_EQ(Ids(client_->reads().recentObjectsWithLimit(-1, false)),
            (std::vector<std::string>{"P_late", "P_early", "U_newC", "U_newB", "U_newA", "U_old"}));
}

TEST_F(RecentListTest, TrashListIsCutToTheLimit) {
  Write([](KXManagedObjectContext& c) {
    for (int i = 0; i < 7; ++i) {
      Put(c, "Note",
          {{"fileId", kx::Value("D" + std::to_string(i))},
           {"parentId", kx::Value("1")},
           {"del", kx::Value(true)},
           {"remoteRemoved", kx::Value(i == 1)}});
    }
  });
  EXPECT_EQ(Ids(client_->reads().recentObjectsWithLimit(5, true)),
            (std::vector<std::string>{"D0", "D2", "D3", "D4", "D5"}));
  EXPECT_EQ(client_->reads().recentObjectsWithLimit(-1, true).size(), 6u);
  EXPECT_TRUE(client_->reads().recentObjectsWithLimit(0, true).empty());
}

// ---------------------------------------------------------------------------
// Duplicate titles
// ---------------------------------------------------------------------------

class DupTitleTest : public DataClientTest {
 protected:
  void SetUp() override {
    DataClientTest::SetUp();
    Write([](KXManagedObjectContext& c) {
      auto note = [&](const std::string& id, const std::string& title, const char* parent = "P",
                      bool del = false) {
        Put(c, "Note",
            {{"fileId", kx::Value(id)},
             {"parentId", kx::Value(parent)},
             {"title", kx::Value(title)},
             {"del", kx::Value(del)}});
      };
      note("n_plan", "Plan.note");
      note("n_plan1", "Plan(1).note");
      note("n_memo7", "Memo(7).note");
      note("n_readme", "README");
      note("n_gone", "Gone.note", "P", true);
      note("n_stem80", std::string(80, 'a') + ".note");
      // 77 units of text, then a character of two units: the number cannot
      // fit without dropping that character whole.
      note("n_emoji", std::string(77, 'b') + "\xF0\x9F\x98\x80.note");
      note("n_huge", "Big(99999999999999999999).note");
      note("n_hidden", "Plan.note", "-2");
      note("n_empty", "emptyTitle", "Q");
      Put(c, "Notebook",
          {{"fileId", kx::Value("b_travel")},
           {"parentId", kx::Value("P")},
           {"title", kx::Value("Travel")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("b_trip1")},
           {"parentId", kx::Value("P")},
           {"title", kx::Value("Trip(1)")}});
      Put(c, "NormalFile",
          {{"fileId", kx::Value("f_report")},
           {"parentId", kx::Value("P")},
           {"title", kx::Value("Report.pdf")}});
    });
  }
};

TEST_F(DupTitleTest, AnswersTheFirstFreeNumberedTitle) {
  struct Case {
    std::optional<std::string> title;
    std::optional<std::string> parent;
    std::optional<std::string> overlook;
    std::string className;
    bool isDup;
    std::string newTitle;
    std::string dupFileId;
  };
  const std::string a77(77, 'a'), b77(77, 'b');
  const std::vector<Case> cases = {
      {"Plan.note", "P", std::nullopt, "Note", true, "Plan(2).note", "n_plan"},
      {"Plan(1).note", "P", "", "Note", true, "Plan(2).note", "n_plan1"},
      {"Memo(7).note", "P", "", "Note", true, "Memo(8).note", "n_memo7"},
      {"README", "P", "", "Note", true, "README(1).", "n_readme"},
      {"Travel", "P", "", "Notebook", true, "Travel(1)", "b_travel"},
      {"Trip(1)", "P", "", "Notebook", true, "Trip(2)", "b_trip1"},
      {std::string(80, 'a') + ".note", "P", "", "Note", true, a77 + "(1).note", "n_stem80"},
      {b77 + "\xF0\x9F\x98\x80.note", "P", "", "Note", true, b77 + "(1).note", "n_emoji"},
      {"Big(99999999999999999999).note", "P", "", "Note", true, "Big(99999999999999999999)(1).note",
       "n_huge"},
      {std::nullopt, "Q", "", "Note", true, "emptyTitle(1).", "n_empty"},
      // Not taken.
      {"Plan.note", "P", "n_plan", "Note", false, "Plan.note", ""},
      {"plan.note", "P", "", "Note", false, "plan.note", ""},
      {"Gone.note", "P", "", "Note", false, "Gone.note", ""},
      {"Travel", "P", "", "Note", false, "Travel", ""},
      {"Report.pdf", "P", "", "Note", false, "Report.pdf", ""},
      {"Plan.note", "Q", "", "Note", false, "Plan.note", ""},
      {std::nullopt, "P", "", "Note", false, "emptyTitle", ""},
      {"Plan.note", "-2", "", "Note", false, "Plan.note", ""},
      {"Plan.note", std::nullopt, "", "Note", false, "Plan.note", ""},
      {"Plan.note", "P", "", "Nothing", false, "Plan.note", ""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.title.value_or("(none)") + " in " + test.parent.value_or("(none)") + " as " +
                 test.className);
    kx::Dictionary info = client_->reads().titleOfDuplicateTitle(test.title, test.parent,
                                                                 test.overlook, test.className);
    EXPECT_EQ(info["isDup"], kx::Value(test.isDup));
    EXPECT_EQ(info["newTitle"].stringValue(), test.newTitle);
    EXPECT_EQ(info["dupFileId"].stringValue(), test.dupFileId);
  }
}

// The numbered forms a folder holds are read together and tried in memory;
// the answers stay those of trying one numbered title after the other.
TEST_F(DupTitleTest, NumberedFormsAreTriedInOrder) {
  const std::string c76(76, 'c'), c77(77, 'c'), c80(80, 'c');
  Write([&](KXManagedObjectContext& c) {
    int n = 0;
    auto put = [&](const std::string& entity, const std::string& title, const char* parent = "T",
                   bool del = false) {
      Put(c, entity,
          {{"fileId", kx::Value("t" + std::to_string(n++))},
           {"parentId", kx::Value(parent)},
           {"title", kx::Value(title)},
           {"del", kx::Value(del)}});
    };
    auto note = [&](const std::string& title, const char* parent = "T", bool del = false) {
      put("Note", title, parent, del);
    };
    // Numbers past 9 sort before 2 as text.
    note("Deck.note");
    for (int i = 1; i <= 10; ++i) note("Deck(" + std::to_string(i) + ").note");
    // A gap.
    note("Gap.note");
    note("Gap(1).note");
    note("Gap(3).note");
    // Square brackets are text like any other.
    note("x[3].note");
    put("Notebook", "x[3]");
    put("Notebook", "x[3](1)");
    // Several bracketed numbers: the last one counts.
    note("Pair(2)(3).note");
    note("Pair(2)(4).note");
    // Titles that begin like a numbered form without being one.
    note("Pre.note");
    note("Pre(1)x.note");
    note("Pre(1).notes");
    note("Pre(1)");
    // Only live entries of the same kind in the same folder count.
    note("Del.note");
    note("Del(1).note", "T", true);
    note("Far.note");
    note("Far(1).note", "U");
    note("Mix.note");
    put("NormalFile", "Mix(1).note");
    put("Notebook", "Mix(1).note");
    note("Cap.note");
    note("cap(1).note");
    note("\xC3\x89t\xC3\xA9.note");
    note("\xC3\x89t\xC3\xA9(1).note");
    // A stem of 80: the number 10 cuts it one unit shorter than 1 to 9 do.
    note(c80 + ".note");
    for (int i = 1; i <= 9; ++i) note(c77 + "(" + std::to_string(i) + ").note");
    note(c76 + "(10).note");
  });
  struct Case {
    std::string title;
    std::string className;
    std::string overlook;
    bool isDup;
    std::string newTitle;
  };
  const std::vector<Case> cases = {
      {"Deck.note", "Note", "", true, "Deck(11).note"},
      {"Deck(9).note", "Note", "", true, "Deck(11).note"},
      {"Deck(10).note", "Note", "", true, "Deck(11).note"},
      {"Gap.note", "Note", "", true, "Gap(2).note"},
      {"Gap(1).note", "Note", "", true, "Gap(2).note"},
      {"Gap(3).note", "Note", "", true, "Gap(4).note"},
      {"x[3].note", "Note", "", true, "x[3](1).note"},
      {"x[3]", "Notebook", "", true, "x[3](2)"},
      {"x[3]", "Note", "", false, "x[3]"},
      {"Pair(2)(3).note", "Note", "", true, "Pair(2)(5).note"},
      {"Pre.note", "Note", "", true, "Pre(1).note"},
      {"Del.note", "Note", "", true, "Del(1).note"},
      {"Far.note", "Note", "", true, "Far(1).note"},
      {"Mix.note", "Note", "", true, "Mix(1).note"},
      {"Cap.note", "Note", "", true, "Cap(1).note"},
      {"\xC3\x89t\xC3\xA9.note", "Note", "", true, "\xC3\x89t\xC3\xA9(2).note"},
      {c80 + ".note", "Note", "", true, c76 + "(11).note"},
      // The entry asked about is left out of the numbered forms too.
      {"Gap.note", "Note", "t12", true, "Gap(1).note"},
      {"Gap(1).note", "Note", "t12", false, "Gap(1).note"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.title + " as " + test.className + " leaving out " + test.overlook);
    kx::Dictionary info =
        client_->reads().titleOfDuplicateTitle(test.title, "T", test.overlook, test.className);
    EXPECT_EQ(info["isDup"], kx::Value(test.isDup));
    EXPECT_EQ(info["newTitle"].stringValue(), test.newTitle);
  }
}

TEST_F(DupTitleTest, SeesOnlySavedEntriesAndRunsFromTheWriteQueue) {
  data_->performSyncWriteBlock([&](KXManagedObjectContext& writer) {
    Put(writer, "Note",
        {{"fileId", kx::Value("n_fresh")},
         {"parentId", kx::Value("P")},
         {"title", kx::Value("Fresh.note")},
         {"del", kx::Value(false)}});
    EXPECT_FALSE(
        client_->reads().titleOfDuplicateTitle("Fresh.note", "P", "", "Note")["isDup"].boolValue());
    EXPECT_EQ(client_->reads().titleOfDuplicateTitle("Plan.note", "P", "", "Note")["newTitle"],
              kx::Value("Plan(2).note"));
    ASSERT_TRUE(writer.save());
  });
  EXPECT_TRUE(
      client_->reads().titleOfDuplicateTitle("Fresh.note", "P", "", "Note")["isDup"].boolValue());
}

TEST_F(DupTitleTest, GivesUpAfterTheLastTry) {
  // Every numbered form up to the last try is taken.
  Write([](KXManagedObjectContext& c) {
    Put(c, "Notebook",
        {{"fileId", kx::Value("full")},
         {"parentId", kx::Value("F")},
         {"title", kx::Value("Full")}});
    for (int i = 1; i <= KXEntryReads::kMaxDupTitleTries; ++i) {
      Put(c, "Notebook",
          {{"fileId", kx::Value("full" + std::to_string(i))},
           {"parentId", kx::Value("F")},
           {"title", kx::Value("Full(" + std::to_string(i) + ")")}});
    }
  });
  kx::Dictionary info = client_->reads().titleOfDuplicateTitle("Full", "F", "", "Notebook");
  EXPECT_TRUE(info["isDup"].boolValue());
  EXPECT_EQ(info["newTitle"].stringValue(), "Full(20000)") << "the last one built, taken too";
  info = client_->reads().titleOfDuplicateTitle("Full(19990)", "F", "", "Notebook");
  EXPECT_EQ(info["newTitle"].stringValue(), "Full(20001)");
}

TEST(DataClientTitleTest, SquareBracketScheme) {
  struct Case {
    std::string title;
    std::vector<std::string> titles;
    std::string expected;
  };
  const Case cases[] = {
      {"X", {}, "X"},
      {"X", {"X"}, "X[1]"},
      {"X", {"X[2]", "X", "X[5]"}, "X[6]"},
      {"X", {"X[2]", "X[5]"}, "X"},
      {"Y[3]", {"Y[1]"}, "Y"},
      {"Z", {"Z]oops[4]", "Z"}, "Z[5]"},
      {"W", {"W[99999999999999999999]", "W"}, "W[9223372036854775807]"},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(KXEntryReads::title(test.title, test.titles), test.expected) << test.title;
  }
}

TEST_F(DupTitleTest, NotebookTitlesInTheSquareBracketScheme) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Notebook",
        {{"fileId", kx::Value("s1")}, {"parentId", kx::Value("A")}, {"title", kx::Value("Box")}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("s2")},
         {"parentId", kx::Value("B")},
         {"title", kx::Value("Box[2]")}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("s3")}, {"parentId", kx::Value("B")}, {"title", kx::Value("Boxes")}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("s4")},
         {"parentId", kx::Value("B")},
         {"title", kx::Value("Box[9]")},
         {"del", kx::Value(true)}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("s5")},
         {"parentId", kx::Value("B")},
         {"title", kx::Value("a.b[1]")}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("s6")}, {"parentId", kx::Value("B")}, {"title", kx::Value("axb")}});
  });
  EXPECT_EQ(client_->reads().titleOfDuplicateNotebookTitle("Box"), "Box[3]");
  EXPECT_EQ(client_->reads().titleOfDuplicateNotebookTitle("Crate"), "Crate");
  EXPECT_EQ(client_->reads().titleOfDuplicateNotebookTitle("a.b"), "a.b") << "\".\" is no wildcard";
}

}  // namespace
