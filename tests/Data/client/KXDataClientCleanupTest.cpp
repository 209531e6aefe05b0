// The data client's trash purge, the index configuration reload and the
// members kept only for their callers.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "search/KXSContext.h"

namespace {

using kxtest::Put;

class CleanupTest : public kxtest::DataClientFixture {
 protected:
  // ROOT; in the trash: notes T1, T2, notebook TB, note P (already purged);
  // live: note L.
  void BuildTrash(bool oneEncrypted) {
    Write([&](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", kx::Value("ROOT")}});
      auto trashed = [&](const char* entity, const char* id, bool purged, bool encrypted) {
        Put(c, entity,
            {{"fileId", kx::Value(id)},
             {"parentId", kx::Value(KXDataClient::kTrashParentId)},
             {"title", kx::Value(std::string(id) + ".note")},
             {"del", kx::Value(true)},
             {"remoteRemoved", kx::Value(purged)},
             {"encrypted", kx::Value(encrypted)}});
      };
      trashed("Note", "T1", false, false);
      trashed("Note", "T2", false, oneEncrypted);
      trashed("Notebook", "TB", false, false);
      trashed("Note", "P", true, false);
      Put(c, "Note",
          {{"fileId", kx::Value("L")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("live.note")}});
    });
  }

  // Runs clearTrash inside a block of the write queue and saves there; fails
  // instead of hanging when the purge waits for its own queue.
  void ClearTrashFromTheWriteQueue() {
    std::promise<void> ran;
    data_->performWriteBlock([&](KXManagedObjectContext& context) {
      client_->writes().clearTrash();
      kx::Error error;
      EXPECT_TRUE(context.save(&error)) << error.localizedDescription();
      ran.set_value();
    });
    ASSERT_EQ(ran.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }

  struct Purge {
    bool remoteRemoved;
    bool localTrashOp;
    std::string trashModifyData;
  };
  Purge PurgeOf(const std::string& id) {
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID(id);
    EXPECT_TRUE(entry) << id;
    if (!entry) return {};
    return {entry->boolValue("remoteRemoved"), entry->boolValue("localTrashOp"),
            entry->stringValue("trashModifyData")};
  }
};

TEST_F(CleanupTest, ClearTrashPurgesTrashedNotesInlineOnTheWriteQueue) {
  BuildTrash(/*oneEncrypted=*/false);
  ClearTrashFromTheWriteQueue();
  for (const char* id : {"T1", "T2"}) {
    Purge purge = PurgeOf(id);
    EXPECT_TRUE(purge.remoteRemoved) << id;
    EXPECT_TRUE(purge.localTrashOp) << id;
    EXPECT_EQ(purge.trashModifyData, "trucate") << id;
  }
  // Not a note, already purged, or not in the trash: untouched.
  for (const char* id : {"TB", "P", "L"}) {
    Purge purge = PurgeOf(id);
    EXPECT_FALSE(purge.localTrashOp) << id;
    EXPECT_EQ(purge.trashModifyData, "") << id;
  }
  EXPECT_FALSE(PurgeOf("TB").remoteRemoved);
  EXPECT_FALSE(PurgeOf("L").remoteRemoved);

  // From another thread it waits until the purge ran (nothing left to do).
  client_->writes().clearTrash();
  EXPECT_EQ(client_->reads().countOfTrash(), 0);
}

TEST_F(CleanupTest, OneEncryptedNoteLeavesTheWholeTrash) {
  BuildTrash(/*oneEncrypted=*/true);
  client_->writes().clearTrash();
  Write([](KXManagedObjectContext&) {});
  for (const char* id : {"T1", "T2"}) {
    Purge purge = PurgeOf(id);
    EXPECT_FALSE(purge.remoteRemoved) << id;
    EXPECT_FALSE(purge.localTrashOp) << id;
    EXPECT_EQ(purge.trashModifyData, "") << id;
  }
}

TEST_F(CleanupTest, IndexConfigReloadFlipsTheFlagWithTheClientsPaths) {
  KXSContext& context = KXSContext::sharedContext();
  context.setPathOfIndexDirectory(root_.path() + "/elsewhere");
  const bool before = context.isReload();
  int told = 0;
  auto token = context.addReloadObserver([&] { ++told; });
  client_->indexing().reloadIndexConfig();
  EXPECT_EQ(context.isReload(), !before);
  EXPECT_EQ(context.pathOfIndexDirectory(), client_->indexing().indexDirectory());
  EXPECT_EQ(context.pathOfStopWords(), client_->indexing().indexStopWordsFile());
  client_->indexing().reloadIndexConfig();
  EXPECT_EQ(context.isReload(), before);
  EXPECT_EQ(told, 2);
  context.removeReloadObserver(token);
}

TEST_F(CleanupTest, PlaceholdersAnswerEmptyOrRaise) {
  EXPECT_TRUE(client_->writes().notesForContentNotSynced().empty());
  EXPECT_TRUE(client_->writes().fetchAllEmptyResources().empty());
  const std::vector<std::function<void()>> raising = {
      [&] { client_->indexing().contentForIndexContent("text"); },
      [&] { client_->writes().updateFromVersion(kx::Value(3), nullptr); },
      [&] { client_->tags().readTagForCondition({}, nullptr); },
  };
  for (std::size_t i = 0; i < raising.size(); ++i) {
    try {
      raising[i]();
      ADD_FAILURE() << "no exception from member " << i;
    } catch (const kx::Exception& e) {
      EXPECT_EQ(e.name(), "KXMethodNotImplemented") << i;
      EXPECT_EQ(e.reason(), "Method not implementd") << i;
    }
  }
}

}  // namespace
