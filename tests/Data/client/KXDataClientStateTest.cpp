// The data client's store state rows, saves, user row and resource records.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXErrorPresenter.h"
#include "CommonUtils/KXHeadlessErrorPresenter.h"
#include "CommonUtils/KXLogger.h"
#include "Data/DataClientFixture.h"
#include "Data/client/KXDataConversion.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/DbState.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/entities/User.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"
#include "platform/MainQueue.h"
#include "platform/Semaphore.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::Put;
using Op = kxtest::FaultInjectingFileSystem::Op;

kx::FileSystem& posix() { return kx::FileSystem::Posix(); }

class DataClientStateTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    kx::MainQueue::shared().drain();
    presenter_ = std::make_shared<KXHeadlessErrorPresenter>();
    KXErrorPresenter::install(presenter_);
  }
  void TearDown() override {
    Drain();
    kx::MainQueue::shared().drain();
    KXErrorPresenter::install(nullptr);
    DataClientFixture::TearDown();
  }

  // Waits for the write queue and the file manager's queues.
  void Drain() {
    if (data_) {
      ASSERT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
    }
    KXFileManager& files = KXFileManager::defaultManauger();
    ASSERT_TRUE(kxtest::waitForQueue(files.queueForWriteResource()));
    ASSERT_TRUE(kxtest::waitForQueue(files.queueForContent()));
  }

  std::vector<std::string> Presented() {
    kx::MainQueue::shared().drain();
    std::vector<std::string> keys;
    for (const kx::Error& e : presenter_->presentedErrors()) {
      keys.push_back(e.localizedDescription());
    }
    presenter_->clear();
    return keys;
  }

  // Closes the client and its data context, then opens both again over the
  // same folder, as a restart of the program does.
  void Reopen() {
    client_.reset();
    data_.reset();
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
  }

  // Every row of the entities, as attribute values, read from the store.
  std::map<std::string, std::vector<kx::Dictionary>> Snapshot(
      const std::vector<std::string>& entities) {
    std::map<std::string, std::vector<kx::Dictionary>> rows;
    data_->performSyncReadBlock([&](KXManagedObjectContext& context) {
      for (const std::string& entity : entities) {
        KXFetchRequest request;
        request.entityName = entity;
        kx::Error error;
        for (const KXManagedObjectPtr& object : context.fetch(request, &error)) {
          rows[entity].push_back(object->attributeValues());
        }
        EXPECT_FALSE(error) << entity;
      }
    });
    return rows;
  }

  // The resource, read on the read queue after a save queued behind every
  // earlier write.
  struct ResourceView {
    bool found = false;
    std::string title;
    bool hasEntry = false;
    KXObjectID entryID;
    std::string file;
    bool fileIsNil = true;
    std::string dataHash;
    bool hashIsNil = true;
    std::string imageSize;
  };
  ResourceView ViewResource(const std::string& resourceId) {
    SaveNow();
    ResourceView view;
    data_->performSyncReadBlock([&](KXManagedObjectContext& context) {
      auto resource = client_->readsIn(&context).objectForResourceID(resourceId);
      if (!resource) return;
      view.found = true;
      view.title = resource->title();
      view.imageSize = resource->imageSize();
      auto entry = resource->entry();
      if (!entry) return;
      view.hasEntry = true;
      view.entryID = entry->objectID();
      view.fileIsNil = entry->isNil("file");
      view.file = entry->file();
      view.hashIsNil = entry->isNil("dataHash");
      view.dataHash = entry->dataHash();
    });
    return view;
  }

  void SaveNow() {
    bool saved = false;
    client_->state().performSyncSave(
        [&](const KXResultInfo& info, const kx::Error&) { saved = info.value.boolValue(); });
    EXPECT_TRUE(saved);
  }

  // Runs a resource writer and waits for its completion.
  struct Completion {
    std::string resourceId;
    kx::Error error;
    bool called = false;
  };
  template <class Start>
  Completion RunResourceWriter(Start start) {
    Completion outcome;
    // Shared: the completion may still be inside signal() when we go on.
    auto done = std::make_shared<kx::Semaphore>();
    start([&outcome, done](const KXResultInfo& info, const kx::Error& error) {
      outcome.called = true;
      if (!info.fetch.objects.empty()) {
        outcome.resourceId = info.fetch.objects.front()->stringValue("fileId");
      }
      outcome.error = error;
      done->signal();
    });
    done->wait();
    return outcome;
  }
  Completion WriteResource(const kx::Dictionary& info) {
    return RunResourceWriter([&](KXDataCallback callback) {
      client_->editorSave().createOrUpdateResource(info, callback);
    });
  }

  static kx::Dictionary ResourceInfo(const std::string& id, const std::string& title,
                                     const std::string& hash, const std::string& bytes) {
    kx::Dictionary info{{"resourceID", kx::Value(id)},
                        {"title", kx::Value(title)},
                        {"dataHash", kx::Value(hash)},
                        {"imageSize", kx::Value("10x20")}};
    if (!bytes.empty()) info.set("data", kx::Value(kx::Bytes(bytes.begin(), bytes.end())));
    return info;
  }

  static std::string ReadFile(const std::string& path) {
    std::string text;
    EXPECT_TRUE(posix().readFile(path, &text, nullptr)) << path;
    return text;
  }

  std::shared_ptr<KXHeadlessErrorPresenter> presenter_;
};

// ---------------------------------------------------------------------------
// Store state
// ---------------------------------------------------------------------------

TEST_F(DataClientStateTest, EmptyStoreAnswersZeroNilZero) {
  // A new store holds only the data version that the client's conversion
  // stored; without that row the version reads as 0.
  EXPECT_EQ(client_->state().dbVersion().intValue(), KXDataConversion::kCurrentDbVersion);
  Write([](KXManagedObjectContext& context) {
    KXFetchRequest request("DbState");
    for (const KXManagedObjectPtr& row : context.fetch(request, nullptr)) {
      context.deleteObject(row);
    }
  });
  EXPECT_EQ(client_->state().dbVersion().intValue(), 0);
  EXPECT_TRUE(client_->state().dbVersion().isNumber());
  EXPECT_TRUE(client_->state().dbContentVersion().isNull());
  EXPECT_EQ(client_->state().dbTagVersion().intValue(), 0);
  EXPECT_TRUE(client_->state().dbTagVersion().isNumber());
  EXPECT_TRUE(client_->state().dbStateValueWithKey("myShareLastTime").isNull());
  EXPECT_TRUE(client_->state().dbStateValueWithKey(std::nullopt).isNull());
  EXPECT_EQ(client_->reads().dbStateObjectWithKey(std::nullopt), nullptr);
}

TEST_F(DataClientStateTest, StateSurvivesReopenWithOneRowPerKeyAndItsType) {
  // Two sets of one key before any save still make one row.
  client_->state().setDbStateValue(kx::Value("first"), std::string("closeNewFeatureTips"));
  client_->state().setDbStateValue(kx::Value("3.2.1"), std::string("closeNewFeatureTips"));
  client_->state().setDbStateValue(kx::Value(1700000000.5), std::string("myShareLastTime"));
  client_->state().setDbStateValue(kx::Value(true), std::string("recreateIndexDone"));
  // Ignored: no value, no key.
  client_->state().setDbStateValue(kx::Value(), std::string("nothing"));
  client_->state().setDbStateValue(kx::Value("x"), std::nullopt);

  std::vector<kx::Value> results;
  const KXDataCallback record = [&](const KXResultInfo& info, const kx::Error& error) {
    EXPECT_FALSE(error);
    results.push_back(info.value);
  };
  client_->state().setDbVersion(kx::Value(10), record);
  client_->state().setDbContentVersion(kx::Value(4711), record);
  client_->state().setDbTagVersion(kx::Value(7), record);
  client_->state().setDbVersion(kx::Value(11), record);
  Drain();
  ASSERT_EQ(results.size(), 4u) << "each setter saves and calls back";
  for (const kx::Value& result : results) EXPECT_TRUE(result.isBool() && result.boolValue());

  auto check = [&](const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(client_->state().dbVersion().intValue(), 11);
    EXPECT_EQ(client_->state().dbContentVersion().intValue(), 4711);
    EXPECT_EQ(client_->state().dbTagVersion().intValue(), 7);
    const kx::Value tips = client_->state().dbStateValueWithKey("closeNewFeatureTips");
    EXPECT_TRUE(tips.isString());
    EXPECT_EQ(tips.stringValue(), "3.2.1");
    const kx::Value last = client_->state().dbStateValueWithKey("myShareLastTime");
    EXPECT_TRUE(last.isNumber());
    EXPECT_DOUBLE_EQ(last.doubleValue(), 1700000000.5);
    EXPECT_TRUE(client_->state().dbStateValueWithKey("recreateIndexDone").boolValue());
    EXPECT_TRUE(client_->state().dbStateValueWithKey("nothing").isNull());

    std::map<std::string, int> rowsPerKey;
    const auto rows = Snapshot({"DbState"});
    for (const kx::Dictionary& row : rows.at("DbState")) {
      ++rowsPerKey[row["stateKey"].stringValue()];
    }
    const std::map<std::string, int> expected{{"closeNewFeatureTips", 1}, {"dbContentVersion", 1},
                                              {"dbTagVersion", 1},        {"dbVersion", 1},
                                              {"myShareLastTime", 1},     {"recreateIndexDone", 1}};
    EXPECT_EQ(rowsPerKey, expected);
  };
  check("before reopening");
  Reopen();
  check("after reopening");
}

// The write context's work reaches the file only through a save: a plain
// set is lost when the program stops before one.
TEST_F(DataClientStateTest, UnsavedStateIsGoneAfterReopen) {
  client_->state().setDbStateValue(kx::Value(5), std::string("saved"));
  SaveNow();
  client_->state().setDbStateValue(kx::Value(6), std::string("unsaved"));
  Drain();
  Reopen();
  EXPECT_EQ(client_->state().dbStateValueWithKey("saved").intValue(), 5);
  EXPECT_TRUE(client_->state().dbStateValueWithKey("unsaved").isNull());
}

// ---------------------------------------------------------------------------
// Saves
// ---------------------------------------------------------------------------

// A synchronous save asked for by a task of the write queue runs inline:
// the queue cannot wait for itself.
TEST_F(DataClientStateTest, SyncSaveFromTheWriteQueueRunsInline) {
  bool savedInline = false;
  data_->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    Put(context, "DbState", {{"stateKey", kx::Value("a")}, {"stateValue", kx::Value(1)}});
    client_->state().performSyncSave([&](const KXResultInfo& info, const kx::Error& error) {
      EXPECT_FALSE(error);
      savedInline = info.value.boolValue();
    });
    EXPECT_TRUE(savedInline) << "the callback ran before performSyncSave returned";
    EXPECT_FALSE(context.hasChanges());
  });

  // The same from a task queued on the write queue (a worker thread).
  bool queuedTaskSaved = false;
  data_->performWriteBlock([&](KXManagedObjectContext& context) {
    Put(context, "DbState", {{"stateKey", kx::Value("b")}, {"stateValue", kx::Value(2)}});
    client_->state().performSyncSave([&](const KXResultInfo& info, const kx::Error&) {
      queuedTaskSaved = info.value.boolValue();
    });
  });
  ASSERT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
  EXPECT_TRUE(queuedTaskSaved);
  EXPECT_EQ(client_->state().dbStateValueWithKey("a").intValue(), 1);
  EXPECT_EQ(client_->state().dbStateValueWithKey("b").intValue(), 2);
  EXPECT_TRUE(Presented().empty());
}

TEST_F(DataClientStateTest, FailedSaveIsPresentedAndReported) {
  {
    auto connection = data_->writeContext()->persistentStore()->writeConnection();
    kx::MutexLock guard(connection->mutex());
    ASSERT_TRUE(connection->exec(
        "CREATE TRIGGER refuse BEFORE INSERT ON DbState WHEN NEW.stateKey = 'boom' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END",
        nullptr));
  }
  struct Case {
    const char* name;
    std::function<void(KXDataCallback)> save;
  };
  const std::vector<Case> cases{
      {"async", [&](KXDataCallback cb) { client_->state().performSave(std::move(cb)); }},
      {"sync", [&](KXDataCallback cb) { client_->state().performSyncSave(cb); }},
      {"version setter",
       [&](KXDataCallback cb) { client_->state().setDbVersion(kx::Value(3), std::move(cb)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    client_->state().setDbStateValue(kx::Value(1), std::string("boom"));
    std::optional<KXResultInfo> result;
    kx::Error error;
    c.save([&](const KXResultInfo& info, const kx::Error& e) {
      result = info;
      error = e;
    });
    Drain();
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->hasResult);
    EXPECT_TRUE(result->value.isBool());
    EXPECT_FALSE(result->value.boolValue());
    EXPECT_TRUE(error) << "the save's error is handed on";
    EXPECT_EQ(Presented(), std::vector<std::string>{"Save Database Fail"});
    EXPECT_TRUE(client_->state().dbStateValueWithKey("boom").isNull());
  }
  EXPECT_EQ(client_->state().dbVersion().intValue(), KXDataConversion::kCurrentDbVersion)
      << "the failed unit is not in the file";
}

// ---------------------------------------------------------------------------
// The user
// ---------------------------------------------------------------------------

TEST_F(DataClientStateTest, UserMetaKeepsALocallyChangedDefaultFolder) {
  EXPECT_EQ(client_->reads().user(), nullptr);
  client_->state().updateUserMeta({{"userId", kx::Value("u1")},
                                   {"nickname", kx::Value("Ann")},
                                   {"defaultFolder", kx::Value("F_server")},
                                   {"colour", kx::Value("no such field")}});
  SaveNow();
  auto user = client_->reads().user();
  ASSERT_TRUE(user) << "made when missing, unknown keys skipped";
  EXPECT_EQ(user->userId(), "u1");
  EXPECT_EQ(user->defaultFolder(), "F_server");

  Write([&](KXManagedObjectContext& context) {
    auto stored = client_->readsIn(&context).user();
    ASSERT_TRUE(stored);
    ASSERT_TRUE(stored->setValuesForKeys(
        {{"defaultFolder", kx::Value("F_mine")}, {"localModified", kx::Value(true)}}));
  });
  client_->state().updateUserMeta(
      {{"nickname", kx::Value("Anna")}, {"defaultFolder", kx::Value("F_server2")}});
  SaveNow();
  user = client_->reads().user();
  ASSERT_TRUE(user);
  EXPECT_EQ(user->nickname(), "Anna");
  EXPECT_EQ(user->defaultFolder(), "F_mine");
  EXPECT_EQ(Snapshot({"User"})["User"].size(), 1u) << "one user row";
}

TEST_F(DataClientStateTest, RemovedPasswordOpensEncryptedEntries) {
  struct Case {
    const char* name;
    std::string storedPassword;
    std::optional<std::string> incomingPassword;
    bool opened;
  };
  const std::vector<Case> cases{
      {"password removed", "secret", std::string(""), true},
      {"no password key", "secret", std::nullopt, false},
      {"password changed", "secret", std::string("other"), false},
      {"none stored, none given", "", std::string(""), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write([&](KXManagedObjectContext& context) {
      KXFetchRequest all;
      all.entityName = "FileMeta";
      for (const auto& object : context.fetch(all)) context.deleteObject(object);
      all.entityName = "User";
      for (const auto& object : context.fetch(all)) context.deleteObject(object);
      Put(context, "Root", {{"fileId", kx::Value("ROOT")}, {"title", kx::Value("My Notes")}});
      Put(context, "Notebook",
          {{"fileId", kx::Value("NB_lock")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Locked")},
           {"encrypted", kx::Value(true)}});
      Put(context, "Note",
          {{"fileId", kx::Value("N_lock")},
           {"parentId", kx::Value("NB_lock")},
           {"title", kx::Value("in.note")},
           {"encrypted", kx::Value(true)}});
      // Trashed and hidden entries are not part of the user's tree.
      Put(context, "Note",
          {{"fileId", kx::Value("N_trash")},
           {"parentId", kx::Value("1")},
           {"del", kx::Value(true)},
           {"title", kx::Value("t.note")},
           {"encrypted", kx::Value(true)}});
      Put(context, "User",
          {{"userId", kx::Value("u1")}, {"password", kx::Value(c.storedPassword)}});
    });
    kx::Dictionary meta{{"nickname", kx::Value("Ann")}};
    if (c.incomingPassword) meta.set("password", kx::Value(*c.incomingPassword));
    client_->state().updateUserMeta(meta);
    SaveNow();
    for (const char* id : {"NB_lock", "N_lock"}) {
      auto entry = client_->reads().objectForFileMetaID(id);
      ASSERT_TRUE(entry) << id;
      EXPECT_EQ(entry->boolValue("encrypted"), !c.opened) << id;
    }
    EXPECT_TRUE(client_->reads().objectForFileMetaID("N_trash")->boolValue("encrypted"));
    auto user = client_->reads().user();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->password(), c.incomingPassword.value_or(c.storedPassword));
    EXPECT_EQ(user->nickname(), "Ann");
  }
}

// ---------------------------------------------------------------------------
// Resource records
// ---------------------------------------------------------------------------

TEST_F(DataClientStateTest, ResourceEntriesAreSharedOnlyWithinTheResourcesFolder) {
  // An office document keeps its file in a folder named by its resource id.
  Completion first = WriteResource(ResourceInfo("R_doc1", "plan.docx", "H_doc", "doc bytes"));
  EXPECT_TRUE(first.called);
  EXPECT_EQ(first.resourceId, "R_doc1");
  EXPECT_FALSE(first.error);
  ResourceView doc1 = ViewResource("R_doc1");
  ASSERT_TRUE(doc1.hasEntry);
  EXPECT_NE(doc1.file.find("R_doc1"), std::string::npos) << doc1.file;
  EXPECT_EQ(ReadFile(doc1.file), "doc bytes");
  EXPECT_EQ(doc1.dataHash, "H_doc");
  EXPECT_EQ(doc1.imageSize, "10x20");

  // Another resource of the same hash: the entry's path does not hold its
  // id, so it gets an entry and a file of its own.
  Completion second = WriteResource(ResourceInfo("R_doc2", "plan.docx", "H_doc", "doc bytes"));
  EXPECT_FALSE(second.error);
  ResourceView doc2 = ViewResource("R_doc2");
  ASSERT_TRUE(doc2.hasEntry);
  EXPECT_FALSE(doc2.entryID == doc1.entryID);
  EXPECT_NE(doc2.file, doc1.file);
  EXPECT_TRUE(posix().exists(doc2.file));

  // The first resource again: its own entry is found by the hash and kept;
  // the file on disk is not written again.
  ASSERT_TRUE(posix().writeFile(doc1.file, "marker", nullptr));
  kx::Dictionary again = ResourceInfo("R_doc1", "plan.docx", "H_doc", "doc bytes");
  again.remove("imageSize");
  EXPECT_FALSE(WriteResource(again).error);
  ResourceView doc1Again = ViewResource("R_doc1");
  EXPECT_TRUE(doc1Again.entryID == doc1.entryID);
  EXPECT_EQ(ReadFile(doc1.file), "marker");
  EXPECT_EQ(doc1Again.imageSize, "") << "an attached entry sets imageSize, also to nothing";

  // Other resources are stored under their entry's uuid: never shared.
  EXPECT_FALSE(WriteResource(ResourceInfo("R_img1", "a.png", "H_img", "png")).error);
  EXPECT_FALSE(WriteResource(ResourceInfo("R_img2", "a.png", "H_img", "png")).error);
  ResourceView img1 = ViewResource("R_img1");
  ResourceView img2 = ViewResource("R_img2");
  ASSERT_TRUE(img1.hasEntry && img2.hasEntry);
  EXPECT_FALSE(img1.entryID == img2.entryID);
  EXPECT_EQ(ReadFile(img2.file), "png");

  // An update without a data hash leaves the entry alone.
  Completion meta = RunResourceWriter([&](KXDataCallback cb) {
    client_->editorSave().createOrUpdateResourceMeta(
        {{"resourceID", kx::Value("R_img1")}, {"title", kx::Value("b.png")}}, cb);
  });
  EXPECT_EQ(meta.resourceId, "R_img1");
  ResourceView img1Renamed = ViewResource("R_img1");
  EXPECT_EQ(img1Renamed.title, "b.png");
  EXPECT_TRUE(img1Renamed.entryID == img1.entryID);
  EXPECT_EQ(img1Renamed.imageSize, "10x20");

  // Resources join the note named in the info, once.
  Write([](KXManagedObjectContext& context) {
    Put(context, "Note", {{"fileId", kx::Value("N1")}, {"title", kx::Value("n.note")}});
  });
  for (int i = 0; i < 2; ++i) {
    RunResourceWriter([&](KXDataCallback cb) {
      client_->editorSave().createOrUpdateResourceMeta({{"resourceID", kx::Value("R_img2")},
                                                        {"noteId", kx::Value("N1")},
                                                        {"modifiedInLocal", kx::Value(true)}},
                                                       cb);
    });
  }
  SaveNow();
  data_->performSyncReadBlock([&](KXManagedObjectContext& context) {
    auto note = client_->readsIn(&context).objectForFileMetaID("N1");
    ASSERT_TRUE(note);
    EXPECT_EQ(note->countOfObjects("resources"), 1u);
    EXPECT_TRUE(client_->readsIn(&context).objectForResourceID("R_img2")->localModified());
  });
}

// A write that fails leaves the entry without a file and without its hash:
// nothing names bytes that are not on disk, and no later resource of the
// hash can pick the entry up.
TEST_F(DataClientStateTest, FailedResourceWriteIsReportedAndNeverShared) {
  KXLOG("%s", "resource write test");  // the log file is opened before faults
  KXLogger::sharedLogger().drain();
  Completion failed;
  {
    kxtest::FaultInjectingFileSystem fs;
    // The bytes the writer appends to its temporary.
    fs.inject({.op = Op::Append,
               .pathContains = "/.writing/",
               .times = -1,
               .error = ENOSPC,
               .shortWrite = true});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    failed = WriteResource(ResourceInfo("R_fail", "report.pdf", "H_fail", "pdf bytes"));
    Drain();
    KXLogger::sharedLogger().drain();
    EXPECT_GE(fs.injectedFailures(), 1);
  }
  EXPECT_TRUE(failed.called);
  EXPECT_EQ(failed.resourceId, "R_fail") << "the completion still gets the resource";
  EXPECT_EQ(failed.error.code(), ENOSPC);
  ResourceView view = ViewResource("R_fail");
  ASSERT_TRUE(view.hasEntry);
  EXPECT_TRUE(view.fileIsNil);
  EXPECT_TRUE(view.hashIsNil);
  EXPECT_EQ(client_->reads().resourceEntryForHashCode(std::string("H_fail")), nullptr);

  // The same data again, now with room on disk: a new entry takes file and
  // hash, and the file is there.
  Completion retried = WriteResource(ResourceInfo("R_fail", "report.pdf", "H_fail", "pdf bytes"));
  EXPECT_FALSE(retried.error);
  ResourceView stored = ViewResource("R_fail");
  ASSERT_TRUE(stored.hasEntry);
  EXPECT_FALSE(stored.entryID == view.entryID);
  EXPECT_EQ(stored.dataHash, "H_fail");
  EXPECT_EQ(ReadFile(stored.file), "pdf bytes");
  auto byHash = client_->reads().resourceEntryForHashCode(std::string("H_fail"));
  ASSERT_TRUE(byHash);
  EXPECT_TRUE(byHash->objectID() == stored.entryID);

  // A recorded file that vanished from disk is written again.
  ASSERT_TRUE(posix().removeFile(stored.file, nullptr));
  EXPECT_FALSE(WriteResource(ResourceInfo("R_fail", "report.pdf", "H_fail", "pdf bytes")).error);
  ResourceView rewritten = ViewResource("R_fail");
  EXPECT_EQ(ReadFile(rewritten.file), "pdf bytes");
}

TEST_F(DataClientStateTest, TemporaryFileIsMovedIntoPlaceOnce) {
  const std::string tmp = root_.path() + "/download.part";
  ASSERT_TRUE(posix().writeFile(tmp, "pulled", nullptr));
  auto fromTmp = [&](const std::string& id, const std::optional<std::string>& path) {
    return RunResourceWriter([&](KXDataCallback cb) {
      client_->editorSave().createOrUpdateResource(ResourceInfo(id, "a.docx", "H_tmp_" + id, ""),
                                                   path, cb);
    });
  };
  Completion moved = fromTmp("R_tmp", tmp);
  EXPECT_FALSE(moved.error);
  EXPECT_EQ(moved.resourceId, "R_tmp");
  ResourceView view = ViewResource("R_tmp");
  EXPECT_EQ(ReadFile(view.file), "pulled");
  EXPECT_EQ(view.dataHash, "H_tmp_R_tmp");
  EXPECT_FALSE(posix().exists(tmp));

  // An entry with its file keeps it; the new temporary file stays.
  ASSERT_TRUE(posix().writeFile(tmp, "again", nullptr));
  EXPECT_FALSE(fromTmp("R_tmp", tmp).error);
  EXPECT_EQ(ReadFile(ViewResource("R_tmp").file), "pulled");
  EXPECT_TRUE(posix().exists(tmp));

  // A temporary file that is not there: reported, nothing recorded.
  Completion missing = fromTmp("R_gone", root_.path() + "/nothing.part");
  EXPECT_EQ(missing.resourceId, "R_gone");
  EXPECT_TRUE(missing.error);
  ResourceView gone = ViewResource("R_gone");
  EXPECT_TRUE(gone.fileIsNil);
  EXPECT_TRUE(gone.hashIsNil);
  Presented();  // the file manager may present the failed move
}

// Entries no resource holds go with their files, once the save that
// deletes their rows has succeeded.
TEST_F(DataClientStateTest, CleanUpRemovesUnheldEntriesAndTheirFiles) {
  EXPECT_FALSE(WriteResource(ResourceInfo("R_keep", "k.png", "H_keep", "keep")).error);
  EXPECT_FALSE(WriteResource(ResourceInfo("R_drop", "d.png", "H_drop", "drop")).error);
  const std::string kept = ViewResource("R_keep").file;
  const std::string dropped = ViewResource("R_drop").file;
  Write([&](KXManagedObjectContext& context) {
    context.deleteObject(client_->readsIn(&context).objectForResourceID("R_drop"));
  });

  // First with a save that fails: rows and files stay.
  {
    auto connection = data_->writeContext()->persistentStore()->writeConnection();
    kx::MutexLock guard(connection->mutex());
    ASSERT_TRUE(
        connection->exec("CREATE TRIGGER refuse BEFORE DELETE ON ResourceEntry "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                         nullptr));
  }
  bool called = false;
  client_->writes().cleanDeletedData([&](const KXResultInfo& info, const kx::Error& error) {
    called = true;
    EXPECT_FALSE(info.hasResult);
    EXPECT_FALSE(error);
  });
  Drain();
  EXPECT_TRUE(called);
  EXPECT_TRUE(posix().exists(dropped));
  EXPECT_EQ(Snapshot({"ResourceEntry"})["ResourceEntry"].size(), 2u);
  {
    auto connection = data_->writeContext()->persistentStore()->writeConnection();
    kx::MutexLock guard(connection->mutex());
    ASSERT_TRUE(connection->exec("DROP TRIGGER refuse", nullptr));
  }

  client_->writes().cleanDeletedData(nullptr);
  Drain();
  EXPECT_FALSE(posix().exists(dropped));
  EXPECT_TRUE(posix().exists(kept));
  auto entries = Snapshot({"ResourceEntry"})["ResourceEntry"];
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["dataHash"].stringValue(), "H_keep");
}

// A stored file that cannot be removed stops neither the clean-up of the
// other entries nor the deletion of its own row.
TEST_F(DataClientStateTest, CleanUpGoesOnPastAFileThatCannotBeRemoved) {
  EXPECT_FALSE(WriteResource(ResourceInfo("R_stuck", "s.png", "H_stuck", "stuck")).error);
  EXPECT_FALSE(WriteResource(ResourceInfo("R_gone", "g.png", "H_gone", "gone")).error);
  const std::string stuck = ViewResource("R_stuck").file;
  const std::string gone = ViewResource("R_gone").file;
  Write([&](KXManagedObjectContext& context) {
    context.deleteObject(client_->readsIn(&context).objectForResourceID("R_stuck"));
    context.deleteObject(client_->readsIn(&context).objectForResourceID("R_gone"));
  });

  kxtest::FaultInjectingFileSystem faulty;
  faulty.inject({.op = kxtest::FaultInjectingFileSystem::Op::RemoveFile,
                 .pathContains = stuck,
                 .times = -1,
                 .error = EACCES});
  {
    kx::FileSystem::ScopedDefaultForTesting use(&faulty);
    bool result = false;
    data_->performSyncWriteBlock([&](KXManagedObjectContext& context) {
      result = client_->writes().cleanDeleteDataSync(&context);
    });
    EXPECT_TRUE(result);
  }
  EXPECT_GE(faulty.injectedFailures(), 1);
  EXPECT_TRUE(posix().exists(stuck)) << stuck;
  EXPECT_FALSE(posix().exists(gone));
  EXPECT_TRUE(Snapshot({"ResourceEntry"})["ResourceEntry"].empty());
  EXPECT_NE(LogText().find("could not be removed"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Restart
// ---------------------------------------------------------------------------

// What was saved is found again, unchanged, by a new client over the same
// folder; what was not saved is gone as a whole.
TEST_F(DataClientStateTest, SavedWorkMatchesAfterCloseAndReopen) {
  client_->state().setDbStateValue(kx::Value("v"), std::string("k"));
  client_->state().updateUserMeta({{"userId", kx::Value("u1")}, {"nickname", kx::Value("Ann")}});
  EXPECT_FALSE(WriteResource(ResourceInfo("R1", "a.docx", "H1", "one")).error);
  client_->state().setDbVersion(kx::Value(10), nullptr);
  SaveNow();
  const std::vector<std::string> entities{"DbState", "User", "Resource", "ResourceEntry"};
  const auto before = Snapshot(entities);
  ASSERT_EQ(before.at("Resource").size(), 1u);

  // Unsaved work of every kind, then the program stops.
  client_->state().setDbStateValue(kx::Value("changed"), std::string("k"));
  client_->state().updateUserMeta({{"nickname", kx::Value("Bob")}});
  client_->editorSave().createOrUpdateResourceMeta({{"resourceID", kx::Value("R2")}}, nullptr);
  Drain();
  Reopen();

  EXPECT_EQ(Snapshot(entities), before);
  const std::string file = ViewResource("R1").file;
  EXPECT_EQ(ReadFile(file), "one");
}

}  // namespace
