// The editor's save of a note or stored file, and the writes with which a
// push records its outcome.
#include <gtest/gtest.h>

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
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXShareLinkHooks.h"
#include "Data/client/KXShellStateHooks.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXStoreError.h"
#include "platform/FileSystem.h"
#include "platform/LocalizedStrings.h"
#include "platform/URL.h"
#include "search/KXSLucene.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::Put;

struct Outcome {
  bool called = false;
  KXResultInfo info;
  kx::Error error;
  bool onWriteQueue = false;
};

kx::Value Dict(std::initializer_list<kx::Dictionary::Entry> entries) {
  return kx::Value(kx::Dictionary(entries));
}

class SaveTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    ASSERT_NE(client_->indexing().ftsIndexer(), nullptr);
    // ROOT (version 7) > NB "Work" > N_a "plan.note"
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", kx::Value("ROOT")}, {"version", kx::Value(7)}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Work")}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_a")},
           {"parentId", kx::Value("NB")},
           {"title", kx::Value("plan.note")},
           {"size", kx::Value(5)},
           {"summary", kx::Value("old")},
           {"modifyTime", kx::Value(100)},
           {"contentChanged", kx::Value(false)}});
    });
  }
  void TearDown() override {
    Drain();
    KXShareLinkHooks::resetForTesting();
    KXShellStateHooks::resetForTesting();
    DataClientFixture::TearDown();
  }

  void Drain() {
    if (data_) {
      ASSERT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
    }
    KXFileManager& files = KXFileManager::defaultManauger();
    ASSERT_TRUE(kxtest::waitForQueue(files.queueForWriteResource()));
    ASSERT_TRUE(kxtest::waitForQueue(files.queueForContent()));
  }

  // Saves through the editor's save and waits for its completion.
  Outcome Save(const kx::Dictionary& params, bool older = false) {
    std::promise<Outcome> promise;
    auto done = [&](const KXResultInfo& info, const kx::Error& error) {
      promise.set_value({true, info, error, data_->isOnWriteQueue()});
    };
    if (older) {
      client_->editorSave().saveNote(params, done);
    } else {
      client_->editorSave().saveNoteOrMd(params, done);
    }
    std::future<Outcome> future = promise.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return future.get();
  }

  // The caller's save of the write context, queued behind earlier writes.
  void Commit() {
    Write([](KXManagedObjectContext&) {});
  }

  // A file outside the store, as the editor leaves a dropped file.
  std::string OutsideFile(const std::string& name, const std::string& bytes) {
    const std::string dir = root_.path() + "/outside";
    kx::ignoreError(kx::FileSystem::Default().createDirectory(dir, nullptr));
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(kx::FileSystem::Default().writeFile(path, bytes, nullptr));
    return path;
  }

  static kx::Value NewResource(const std::string& id, const std::string& path,
                               const std::string& title, long long size, long long type = 1) {
    return Dict({{"id", kx::Value(id)},
                 {"filePath", kx::Value(kx::URL::fileURLWithPath(path).absoluteString())},
                 {"title", kx::Value(title)},
                 {"createTime", kx::Value(1700000000LL)},
                 {"type", kx::Value(type)},
                 {"size", kx::Value(size)},
                 {"imageSize", kx::Value(type == 1 ? "640x480" : "")}});
  }

  struct ResourceView {
    std::string title, meidaType, imageSize, file, dataHash;
    std::int64_t size = 0;
    bool localModified = false;
    KXObjectID entry;
  };
  std::optional<ResourceView> ViewResource(const std::string& id) {
    std::optional<ResourceView> view;
    data_->performSyncReadBlock([&](KXManagedObjectContext& context) {
      auto resource = client_->readsIn(&context).objectForResourceID(id);
      if (!resource) return;
      view.emplace();
      view->title = resource->title();
      view->meidaType = resource->meidaType();
      view->imageSize = resource->imageSize();
      view->size = resource->size();
      view->localModified = resource->localModified();
      if (auto entry = resource->entry()) {
        view->file = entry->file();
        view->dataHash = entry->dataHash();
        view->entry = entry->objectID();
      }
    });
    return view;
  }

  std::vector<std::string> ResourceIdsOf(const std::string& fileId) {
    std::vector<std::string> ids;
    data_->performSyncReadBlock([&](KXManagedObjectContext& context) {
      if (auto entry = client_->readsIn(&context).objectForFileMetaID(fileId)) {
        for (const auto& resource : entry->resources()) ids.push_back(resource->fileId());
      }
    });
    std::sort(ids.begin(), ids.end());
    return ids;
  }
};

// ---- New entries and edits -----------------------------------------------------

TEST_F(SaveTest, ANewNoteTakesItsFieldsAndIsMarkedAndIndexed) {
  Outcome saved = Save({{"note", Dict({{"fileId", kx::Value("N_new")},
                                       {"parentId", kx::Value("NB")},
                                       {"title", kx::Value("Budget.note")},
                                       {"text", kx::Value("quarterly numbers")},
                                       {"summary", kx::Value("quarterly")},
                                       {"size", kx::Value(17)},
                                       {"favorited", kx::Value(true)},
                                       {"notAProperty", kx::Value(1)}})}});
  ASSERT_TRUE(saved.called);
  EXPECT_FALSE(saved.error) << saved.error.localizedDescription();
  EXPECT_TRUE(saved.onWriteQueue);
  EXPECT_TRUE(saved.info.value.isDictionary());
  EXPECT_TRUE(saved.info.value.dict().empty());
  WaitForIndex();

  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_new");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->entity().name(), "Note");
  EXPECT_EQ(entry->title(), "Budget.note");
  EXPECT_EQ(entry->parentId(), "NB");
  EXPECT_EQ(entry->version(), 7) << "the root's version";
  EXPECT_EQ(entry->transactionId(), "N_new");
  EXPECT_EQ(entry->localModified(), 1);
  EXPECT_TRUE(entry->contentChanged());
  EXPECT_EQ(entry->summary(), "quarterly");
  EXPECT_EQ(entry->size(), 17);
  EXPECT_TRUE(entry->favorited());
  EXPECT_FALSE(entry->del());
  EXPECT_GT(entry->createTime(), 0);
  EXPECT_GT(entry->modifyTime(), 0);
  EXPECT_EQ(Search("quarterly"), std::vector<std::string>{"N_new"});
  EXPECT_EQ(Search("Budget"), std::vector<std::string>{"N_new"}) << "the title without .note";
}

TEST_F(SaveTest, ANonZeroDomainMakesAStoredFile) {
  Outcome saved = Save({{"note", Dict({{"fileId", kx::Value("F_md")},
                                       {"parentId", kx::Value("NB")},
                                       {"title", kx::Value("readme.md")},
                                       {"domain", kx::Value(1)},
                                       {"text", kx::Value("# hello")}})}});
  EXPECT_FALSE(saved.error);
  Commit();
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("F_md");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->entity().name(), "NormalFile");
  EXPECT_EQ(entry->domain(), 1) << "the property copy runs over the new entry's fields";
}

TEST_F(SaveTest, UntitledNotesTakeTheEmptyTitleAndThenANumberedOne) {
  const std::string empty = kx::LocalizedStrings::localized(KXEditorSave::kEmptyTitleKey);
  EXPECT_FALSE(
      Save({{"note", Dict({{"fileId", kx::Value("N_1")}, {"parentId", kx::Value("NB")}})}}).error);
  Commit();
  // An empty title is no title: it does not blank the entry's title either.
  EXPECT_FALSE(Save({{"note", Dict({{"fileId", kx::Value("N_2")},
                                    {"parentId", kx::Value("NB")},
                                    {"title", kx::Value("")}})}})
                   .error);
  Commit();
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_1")->title(), empty);
  const std::string second = client_->reads().objectForFileMetaID("N_2")->title();
  EXPECT_NE(second, empty);
  EXPECT_EQ(
      second,
      client_->reads().titleOfDuplicateTitle(empty, "NB", "N_2", "Note")["newTitle"].string());
}

TEST_F(SaveTest, AnEditChangesContentFieldsAndAPinLeavesTheMarkAlone) {
  Outcome saved = Save({{"note", Dict({{"fileId", kx::Value("N_a")},
                                       {"text", kx::Value("fresh words")},
                                       {"summary", kx::Value("fresh")},
                                       {"size", kx::Value(11)}})}});
  EXPECT_FALSE(saved.error);
  WaitForIndex();
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_a");
  EXPECT_EQ(entry->title(), "plan.note") << "no title: unchanged";
  EXPECT_EQ(entry->summary(), "fresh");
  EXPECT_EQ(entry->size(), 11);
  EXPECT_TRUE(entry->contentChanged());
  EXPECT_EQ(entry->localModified(), 1);
  EXPECT_GT(entry->modifyTime(), 100);
  EXPECT_EQ(Search("fresh"), std::vector<std::string>{"N_a"});

  // A pin from the list: no text, "stick" present.
  Write([&](KXManagedObjectContext& c) {
    auto note = client_->readsIn(&c).objectForFileMetaID("N_a");
    note->setValue("localModified", kx::Value(0));
    note->setValue("contentChanged", kx::Value(false));
    note->setValue("modifyTime", kx::Value(100));
  });
  EXPECT_FALSE(
      Save({{"note", Dict({{"fileId", kx::Value("N_a")}, {"stick", kx::Value(true)}})}}).error);
  Commit();
  entry = client_->reads().objectForFileMetaID("N_a");
  EXPECT_TRUE(entry->stick());
  EXPECT_EQ(entry->localModified(), 0);
  EXPECT_FALSE(entry->contentChanged());
  EXPECT_EQ(entry->modifyTime(), 100);
}

// A title change alone indexes the stored content again; content that
// cannot be read counts as no text, never as the placeholder shown for it.
TEST_F(SaveTest, ARenameIndexesTheStoredTextAndNeverThePlaceholder) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note",
        {{"fileId", kx::Value("N_c")},
         {"parentId", kx::Value("NB")},
         {"title", kx::Value("c.note")}});
  });
  ASSERT_TRUE(KXFileManager::defaultManauger().writeContentFileSync(
      kx::ByteView(std::string_view("<p>stored meadow</p>")), "N_c"));

  EXPECT_FALSE(
      Save({{"note", Dict({{"fileId", kx::Value("N_c")}, {"title", kx::Value("pasture.note")}})}})
          .error);
  EXPECT_FALSE(
      Save({{"note", Dict({{"fileId", kx::Value("N_a")}, {"title", kx::Value("orchard.note")}})}})
          .error);
  WaitForIndex();
  EXPECT_EQ(Search("meadow"), std::vector<std::string>{"N_c"});
  EXPECT_EQ(Search("pasture"), std::vector<std::string>{"N_c"});
  EXPECT_EQ(Search("orchard"), std::vector<std::string>{"N_a"});
  EXPECT_TRUE(Search("missing").empty()) << KXFileManager::missingContentText();
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_a")->modifyTime() > 100, true);
}

TEST_F(SaveTest, ARenameWhileTheContentCannotBeReadKeepsTheIndexedTextAndUnmarks) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note",
        {{"fileId", kx::Value("N_e")},
         {"parentId", kx::Value("NB")},
         {"title", kx::Value("e.note")}});
  });
  ASSERT_TRUE(KXFileManager::defaultManauger().writeContentFileSync(
      kx::ByteView(std::string_view("<p>hidden heron</p>")), "N_e"));
  client_->indexing().indexNotes(
      {Dict({{"docID", kx::Value("N_e")}, {"docContent", kx::Value("e heron")}})});
  WaitForIndex();
  ASSERT_TRUE(client_->reads().objectForFileMetaID("N_e")->boolValue("hasIndex"));

  // The content file is there but fails to open: the title-only edit is
  // saved, the index keeps the body's word, and the entry is left unmarked.
  {
    // The log file is opened before the faults.
    KXLOG("%s", "unreadable content test");
    KXLogger::sharedLogger().drain();
    kxtest::FaultInjectingFileSystem fs;
    fs.inject({.op = kxtest::FaultInjectingFileSystem::Op::OpenRead,
               .pathContains = "N_e",
               .times = -1,
               .error = EIO});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    EXPECT_FALSE(
        Save({{"note", Dict({{"fileId", kx::Value("N_e")}, {"title", kx::Value("egret.note")}})}})
            .error);
    WaitForIndex();
    Drain();
  }
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_e");
  EXPECT_EQ(entry->title(), "egret.note");
  EXPECT_TRUE(entry->value("hasIndex").isNull());
  EXPECT_EQ(Search("heron"), std::vector<std::string>{"N_e"}) << "indexed by its title alone";
}

// ---- Titles ---------------------------------------------------------------------

TEST_F(SaveTest, ATakenTitleIsRefusedWithItsAnswerAndNothingIsWritten) {
  Outcome refused = Save({{"note", Dict({{"fileId", kx::Value("N_b")},
                                         {"parentId", kx::Value("NB")},
                                         {"title", kx::Value("plan.note")},
                                         {"text", kx::Value("x")}})}});
  ASSERT_TRUE(refused.called);
  EXPECT_EQ(refused.error.domain(), kx::kCocoaErrorDomain);
  EXPECT_EQ(refused.error.code(), 1024);
  const kx::Value expected = Dict({{"isDup", kx::Value(true)},
                                   {"newTitle", kx::Value("plan(1).note")},
                                   {"dupFileId", kx::Value("N_a")}});
  EXPECT_EQ(refused.error.userInfo(), expected) << refused.error.userInfo().description();
  EXPECT_EQ(refused.info.value, expected);
  Commit();
  EXPECT_FALSE(client_->reads().objectForFileMetaID("N_b"));

  // The entry's own title is no clash.
  EXPECT_FALSE(
      Save({{"note", Dict({{"fileId", kx::Value("N_a")}, {"title", kx::Value("plan.note")}})}})
          .error);
}

TEST_F(SaveTest, WithoutACompletionATakenTitleIsNumbered) {
  client_->editorSave().saveNoteOrMd({{"note", Dict({{"fileId", kx::Value("N_b")},
                                                     {"parentId", kx::Value("NB")},
                                                     {"title", kx::Value("plan.note")}})}},
                                     nullptr);
  Commit();
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_b");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->title(), "plan(1).note");
}

// Saves queued one after the other reach the store in one commit: a title
// the first took is taken for the second, though neither is committed yet.
TEST_F(SaveTest, ATitleTakenEarlierInTheSameUnitIsTaken) {
  EXPECT_FALSE(Save({{"note", Dict({{"fileId", kx::Value("N_b")},
                                    {"parentId", kx::Value("NB")},
                                    {"title", kx::Value("idea.note")}})}})
                   .error);
  Outcome refused = Save({{"note", Dict({{"fileId", kx::Value("N_c")},
                                         {"parentId", kx::Value("NB")},
                                         {"title", kx::Value("idea.note")}})}});
  EXPECT_EQ(refused.error.code(), 1024);
  EXPECT_EQ(refused.info.value["dupFileId"], kx::Value("N_b"));
  client_->editorSave().saveNoteOrMd({{"note", Dict({{"fileId", kx::Value("N_d")},
                                                     {"parentId", kx::Value("NB")},
                                                     {"title", kx::Value("idea.note")}})}},
                                     nullptr);
  Commit();
  ASSERT_TRUE(client_->reads().objectForFileMetaID("N_d"));
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_b")->title(), "idea.note");
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_d")->title(), "idea(1).note");
  EXPECT_FALSE(client_->reads().objectForFileMetaID("N_c"));
}

// ---- Resources ------------------------------------------------------------------

TEST_F(SaveTest, ResourcesNewMissingKnownAndUnknown) {
  Write([](KXManagedObjectContext& c) {
    auto entry = Put(c, "ResourceEntry", {{"uuid", kx::Value("U_old")}});
    auto old = Put(c, "Resource",
                   {{"fileId", kx::Value("R_old")},
                    {"title", kx::Value("old.png")},
                    {"size", kx::Value(300)}});
    old->setObject("entry", entry);
  });
  const std::string photo = OutsideFile("photo.png", "same bytes");
  const std::string twin = OutsideFile("twin.png", "same bytes");
  const std::string doc = OutsideFile("doc.pdf", "pdf bytes");
  const kx::Array added{
      NewResource("R_photo", photo, "photo.png", 1000),
      NewResource("R_twin", twin, "twin.png", 10),
      NewResource("R_doc", doc, "doc.pdf", 9, 2),
      NewResource("R_gone", root_.path() + "/outside/gone.png", "gone.png", 50),
  };
  const kx::Array held{
      Dict({{"id", kx::Value("R_old")}, {"size", kx::Value(0)}}),
      Dict({{"id", kx::Value("R_unknown")}, {"size", kx::Value(70)}}),
  };
  // A third element (the removed list the web service sends) is not read.
  const kx::Array removed{Dict({{"id", kx::Value("R_old")}})};
  Outcome saved = Save(
      {{"note", Dict({{"fileId", kx::Value("N_a")},
                      {"text", kx::Value("with pictures")},
                      {"size", kx::Value(13)}})},
       {"resource", kx::Value(kx::Array{kx::Value(added), kx::Value(held), kx::Value(removed)})}});
  EXPECT_FALSE(saved.error) << saved.error.localizedDescription();
  Commit();

  EXPECT_EQ(ResourceIdsOf("N_a"),
            (std::vector<std::string>{"R_doc", "R_old", "R_photo", "R_twin"}));
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_a")->size(), 13 + 300 + 1000 + 10 + 9);
  EXPECT_FALSE(ViewResource("R_gone"));
  EXPECT_FALSE(ViewResource("R_unknown"));

  std::optional<ResourceView> photoView = ViewResource("R_photo");
  ASSERT_TRUE(photoView);
  EXPECT_EQ(photoView->title, "photo.png");
  EXPECT_EQ(photoView->meidaType, "image");
  EXPECT_EQ(photoView->imageSize, "640x480");
  EXPECT_EQ(photoView->size, 1000);
  EXPECT_TRUE(photoView->localModified);
  EXPECT_EQ(photoView->dataHash,
            KXFileManager::dataHashForResourceData(kx::ByteView(std::string_view("same bytes"))));
  std::string stored;
  ASSERT_TRUE(kx::FileSystem::Default().readFile(photoView->file, &stored, nullptr));
  EXPECT_EQ(stored, "same bytes");
  EXPECT_NE(photoView->file, photo) << "copied into the store";
  EXPECT_EQ(ViewResource("R_twin")->entry, photoView->entry) << "equal content, one stored file";
  EXPECT_EQ(ViewResource("R_doc")->meidaType, "attachment");
  EXPECT_TRUE(ViewResource("R_doc")->imageSize.empty());
  EXPECT_FALSE(client_->editorSave().isSingleResource("R_photo"));
  EXPECT_TRUE(client_->editorSave().isSingleResource("R_doc"));
  EXPECT_FALSE(client_->editorSave().isSingleResource("R_unknown"));
}

// A copy into the store that fails fails the save, and the note keeps the
// resources it had and its fields: the page still holds the edit and saves
// again, and the next commit of the write context carries no half of it.
TEST_F(SaveTest, AFailedResourceCopyIsReportedAndKeepsTheFormerSet) {
  Write([&](KXManagedObjectContext& c) {
    auto old = Put(c, "Resource", {{"fileId", kx::Value("R_old")}, {"size", kx::Value(3)}});
    client_->readsIn(&c).objectForFileMetaID("N_a")->addObject("resources", old);
  });
  const std::string photo = OutsideFile("photo.png", "picture");
  KXLOG("%s", "copy failure test");  // the log file is opened before faults
  KXLogger::sharedLogger().drain();
  Outcome saved;
  {
    kxtest::FaultInjectingFileSystem fs;
    // Every file the resource writer opens (its temporary) fails.
    fs.inject({.op = kxtest::FaultInjectingFileSystem::Op::OpenWrite,
               .pathContains = "/.writing/",
               .times = -1,
               .error = ENOSPC});
    kx::FileSystem::ScopedDefaultForTesting use(&fs);
    saved =
        Save({{"note", Dict({{"fileId", kx::Value("N_a")}, {"text", kx::Value("t")}})},
              {"resource",
               kx::Value(kx::Array{kx::Value(kx::Array{NewResource("R_new", photo, "p.png", 7)}),
                                   kx::Value(kx::Array{})})}});
    Drain();
    KXLogger::sharedLogger().drain();
    EXPECT_GE(fs.injectedFailures(), 1);
  }
  ASSERT_TRUE(saved.called);
  EXPECT_TRUE(saved.error) << "never reported as saved";
  Commit();
  EXPECT_EQ(ResourceIdsOf("N_a"), std::vector<std::string>{"R_old"});
  EXPECT_FALSE(ViewResource("R_new"));
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_a");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->summary(), "old");
  EXPECT_EQ(entry->modifyTime(), 100);
  EXPECT_FALSE(entry->contentChanged());
  EXPECT_EQ(entry->size(), 5);
}

// ---- Failures of the store ------------------------------------------------------

TEST_F(SaveTest, AClosedStoreReportsTheFailure) {
  client_->closeDB();
  Outcome saved;
  client_->editorSave().saveNoteOrMd({{"note", Dict({{"fileId", kx::Value("N_a")}})}},
                                     [&](const KXResultInfo& info, const kx::Error& error) {
                                       saved = {true, info, error, false};
                                     });
  ASSERT_TRUE(saved.called);
  EXPECT_EQ(saved.error.code(), kKXStoreUnavailableError);
}

TEST_F(SaveTest, AFailedStoreWriteIsReportedNotSaved) {
  client_.reset();
  data_.reset();
  env_->vfs = kxtest::FaultVfs::name();
  data_ = std::make_shared<KXDataContext>(env_);
  client_ = std::make_unique<KXDataClient>(data_);
  client_->openStore();
  // A summary far larger than the page cache: its pages spill into the
  // write-ahead log while the save writes them, and the disk is full.
  const std::string huge(6 * 1024 * 1024, 'w');
  kxtest::FaultVfs::instance().failWalWrites = true;
  Outcome saved = Save({{"note", Dict({{"fileId", kx::Value("N_full")},
                                       {"parentId", kx::Value("NB")},
                                       {"text", kx::Value("words")},
                                       {"summary", kx::Value(huge)}})}});
  kxtest::FaultVfs::instance().failWalWrites = false;
  ASSERT_TRUE(saved.called);
  EXPECT_TRUE(saved.error) << "a write the store refused is never reported as saved";
  EXPECT_FALSE(saved.info.hasResult);
}

TEST_F(SaveTest, ASaveWithoutAFileIdIsRefused) {
  Outcome saved = Save({{"note", Dict({{"title", kx::Value("x.note")}})}});
  EXPECT_TRUE(saved.error);
  Commit();
  EXPECT_FALSE(client_->reads().objectForFileMetaID(""));
}

// ---- After a push ---------------------------------------------------------------

class PushOutcomeTest : public SaveTest {
 protected:
  void SetUp() override {
    SaveTest::SetUp();
    Write([&](KXManagedObjectContext& c) {
      auto note = client_->readsIn(&c).objectForFileMetaID("N_a");
      note->setValue("localModified", kx::Value(1));
      note->setValue("contentChanged", kx::Value(true));
      auto link = Put(c, "ShareLink",
                      {{"entryId", kx::Value("N_a")},
                       {"shareUrl", kx::Value("https://share/N_a")},
                       {"searchEngineEnable", kx::Value(false)}});
      note->setObject("shareLinkInfo", link);
    });
    KXShareLinkHooks::install([this](KXDataClient& client, const kx::Dictionary& answer,
                                     const std::shared_ptr<FileMeta>& entry) {
      std::lock_guard<std::mutex> lock(mu_);
      EXPECT_EQ(&client, client_.get());
      shareSteps_.push_back({answer, entry ? entry->fileId() : ""});
    });
  }

  struct ShareStep {
    kx::Dictionary answer;
    std::string fileId;
  };
  std::vector<ShareStep> ShareSteps() {
    std::lock_guard<std::mutex> lock(mu_);
    return shareSteps_;
  }

  std::mutex mu_;
  std::vector<ShareStep> shareSteps_;
};

TEST_F(PushOutcomeTest, TheAnswerClearsTheMarks) {
  client_->editorSave().updateStateForFileMeta("N_a", {{"modifyTime", kx::Value(100)},
                                                       {"version", kx::Value(9)},
                                                       {"parentId", kx::Value("")},
                                                       {"md5", kx::Value("abc")},
                                                       {"shared", kx::Value(true)},
                                                       {"searchEngineEnable", kx::Value(true)}});
  Commit();
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_a");
  EXPECT_EQ(entry->version(), 9);
  EXPECT_EQ(entry->localModified(), 0);
  EXPECT_FALSE(entry->contentChanged());
  EXPECT_EQ(entry->parentId(), "NB") << "an empty parent id is not taken";
  ASSERT_EQ(ShareSteps().size(), 1u);
  EXPECT_EQ(ShareSteps()[0].fileId, "N_a");
  EXPECT_TRUE(ShareSteps()[0].answer["shared"].boolValue());
  EXPECT_TRUE(ShareSteps()[0].answer["searchEngineEnable"].boolValue());
  const std::string log = LogText();
  EXPECT_NE(log.find("update file md5--abc"), std::string::npos);
  EXPECT_NE(log.find("update filemeta--9"), std::string::npos);
}

// The entry was edited while it was pushed: it keeps its edit and its mark,
// takes the new version, and the share step still sees the whole answer, so
// that a shared entry's link is not taken for removed.
TEST_F(PushOutcomeTest, AnEditDuringThePushKeepsTheEditTheMarkAndTheShareState) {
  client_->editorSave().updateStateForFileMeta("N_a", {{"modifyTime", kx::Value(50)},
                                                       {"version", kx::Value(10)},
                                                       {"title", kx::Value("server.note")},
                                                       {"shared", kx::Value(true)}});
  Commit();
  KXFileMetaPtr entry = client_->reads().objectForFileMetaID("N_a");
  EXPECT_EQ(entry->version(), 10);
  EXPECT_EQ(entry->localModified(), 1);
  EXPECT_TRUE(entry->contentChanged());
  EXPECT_EQ(entry->title(), "plan.note");
  EXPECT_EQ(entry->modifyTime(), 100);
  EXPECT_EQ(entry->shareUrl(), "https://share/N_a");
  ASSERT_EQ(ShareSteps().size(), 1u);
  EXPECT_TRUE(ShareSteps()[0].answer["shared"].boolValue());
  EXPECT_NE(LogText().find("modified while pushing file"), std::string::npos);
}

TEST_F(PushOutcomeTest, AnUnknownFileIdIsSkippedWithALogLine) {
  client_->editorSave().updateStateForFileMeta("N_nowhere", {{"version", kx::Value(3)}});
  Commit();
  EXPECT_TRUE(ShareSteps().empty());
  EXPECT_NE(LogText().find("push outcome of N_nowhere skipped"), std::string::npos);
}

TEST_F(PushOutcomeTest, AnUploadIsRecordedOnItsResource) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "Resource", {{"fileId", kx::Value("R_up")}, {"localModified", kx::Value(true)}});
  });
  client_->editorSave().setRemoteURLForResource("R_up", "https://res/R_up", std::nullopt, 4);
  client_->editorSave().setRemoteURLForResource("R_none", "https://res/R_none", "src", 1);
  Commit();
  data_->performSyncReadBlock([&](KXManagedObjectContext& context) {
    auto resource = client_->readsIn(&context).objectForResourceID("R_up");
    ASSERT_TRUE(resource);
    EXPECT_EQ(resource->stringValue("remoteURL"), "https://res/R_up");
    EXPECT_TRUE(resource->isNil("remoteSrc"));
    EXPECT_EQ(resource->version(), 4);
    EXPECT_FALSE(resource->localModified());
    EXPECT_FALSE(client_->readsIn(&context).objectForResourceID("R_none"));
  });
}

// ---- The older save -------------------------------------------------------------

TEST_F(SaveTest, TheOlderSaveShowsThePaperOfTheOpenNote) {
  std::vector<std::string> shown;
  std::mutex mu;
  KXShellStateHooks::install([] { return std::optional<std::string>("N_a"); },
                             [&](const std::string& id) {
                               std::lock_guard<std::mutex> lock(mu);
                               shown.push_back(id);
                             });
  EXPECT_FALSE(
      Save({{"note", Dict({{"fileId", kx::Value("N_a")}, {"bgImageId", kx::Value("bg3")}})}},
           /*older=*/true)
          .error);
  EXPECT_FALSE(Save({{"note", Dict({{"fileId", kx::Value("N_z")},
                                    {"parentId", kx::Value("NB")},
                                    {"domain", kx::Value(1)},
                                    {"bgImageId", kx::Value("bg4")}})}},
                    /*older=*/true)
                   .error);
  Commit();
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(shown, std::vector<std::string>{"bg3"});
  }
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_a")->bgImageId(), "bg3");
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_z")->entity().name(), "Note")
      << "always a note";
}

TEST_F(SaveTest, TheOlderSaveCopiesDuplicatedResources) {
  Write([](KXManagedObjectContext& c) {
    auto entry = Put(c, "ResourceEntry", {{"uuid", kx::Value("U_1")}});
    auto origin = Put(c, "Resource",
                      {{"fileId", kx::Value("R_origin")},
                       {"title", kx::Value("o.png")},
                       {"size", kx::Value(40)}});
    origin->setObject("entry", entry);
  });
  const kx::Array info{kx::Value(kx::Array{}), kx::Value(kx::Array{}), kx::Value(kx::Array{}),
                       kx::Value(kx::Array{Dict(
                           {{"id", kx::Value("R_copy")}, {"originId", kx::Value("R_origin")}})})};
  EXPECT_FALSE(Save({{"note", Dict({{"fileId", kx::Value("N_a")}, {"text", kx::Value("t")}})},
                     {"resource", kx::Value(info)}},
                    /*older=*/true)
                   .error);
  Commit();
  EXPECT_EQ(ResourceIdsOf("N_a"), std::vector<std::string>{"R_copy"});
  EXPECT_EQ(ViewResource("R_copy")->entry, ViewResource("R_origin")->entry);
  EXPECT_EQ(ViewResource("R_copy")->size, 40);
  EXPECT_FALSE(client_->editorSave().isSingleResource("R_origin"));
}

}  // namespace
