// How the data client's changes reach its full-text index through the
// feed: in the order they were made (a purge is never overtaken by a
// document handed over before it), the latest text of a burst winning, and
// nothing lost when the client goes while a batch is still with the
// indexer: it is in the index once the client is gone.
#include "Data/client/KXIndexHandOver.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "search/KXSIndexProxy.h"
#include "search/KXSLucene.h"

namespace {

using kxtest::Put;

kx::Value Document(const std::string& id, const std::string& text) {
  return kx::Value::dict({{"docID", kx::Value(id)}, {"docContent", kx::Value(text)}});
}

// Holds the process's index queue until opened, so that what is handed to
// the indexer meanwhile waits; opened at the latest when it goes.
class IndexQueueGate {
 public:
  IndexQueueGate() {
    KXSIndexProxy::indexQueue().async([opened = opened_] { opened->get_future().wait(); });
  }
  ~IndexQueueGate() { open(); }
  void open() {
    if (!isOpen_) opened_->set_value();
    isOpen_ = true;
  }

 private:
  std::shared_ptr<std::promise<void>> opened_ = std::make_shared<std::promise<void>>();
  bool isOpen_ = false;
};

class IndexHandOverTest : public kxtest::DataClientFixture {
 protected:
  void AddNotes(const std::vector<std::string>& ids) {
    Write([&](KXManagedObjectContext& context) {
      for (const std::string& id : ids) {
        Put(context, "Note",
            {{"fileId", kx::Value(id)},
             {"parentId", kx::Value("ROOT")},
             {"title", kx::Value(id + ".note")}});
      }
    });
  }
  bool Marked(const std::string& id) {
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID(id);
    return entry && entry->boolValue("hasIndex");
  }
};

TEST_F(IndexHandOverTest, APurgeIsNeverOvertakenByADocumentHandedOverBeforeIt) {
  AddNotes({"N_p"});
  // In the trash first; then, in one unit, an edit indexes a new text and
  // the purge removes the note: the index must end without it.
  Write([&](KXManagedObjectContext& context) {
    client_->writes().deleteManagedObjectSync(
        "Note", &context, {client_->reads().objectForFileMetaID("N_p")->objectID()}, nullptr);
  });
  data_->performSyncWriteBlock([&](KXManagedObjectContext& context) {
    KXManagedObjectPtr entry = client_->readsIn(&context).objectForFileMetaID("N_p");
    ASSERT_TRUE(entry);
    ASSERT_TRUE(entry->setValue("summary", kx::Value("pelican")));
    client_->indexing().indexNotes({Document("N_p", "pelican")});
    client_->writes().deleteManagedObjectSync("Note", &context, {entry->objectID()}, nullptr);
    kx::Error error;
    EXPECT_TRUE(context.save(&error)) << error.localizedDescription();
  });
  WaitForIndex();
  EXPECT_TRUE(client_->reads().objectForFileMetaID("N_p")->boolValue("remoteRemoved"));
  EXPECT_TRUE(Search("pelican").empty()) << "the purged note came back into the index";
}

TEST_F(IndexHandOverTest, ABurstIsIndexedWithTheLatestTextOfEachNoteAndEveryCallAnswered) {
  AddNotes({"N_a", "N_b"});
  std::vector<int> answered;
  {
    IndexQueueGate gate;
    // The first call goes to the indexer (and waits there); the rest of the
    // burst waits in the feed behind it and goes as one batch.
    client_->indexing().indexNotes({Document("N_a", "amber")}, [&] { answered.push_back(0); });
    client_->indexing().indexNotes({Document("N_b", "basil")}, [&] { answered.push_back(1); });
    client_->indexing().indexNotes({Document("N_b", "birch"), Document("N_a", "alder")},
                                   [&] { answered.push_back(2); });
    client_->indexing().indexNotes({Document("N_b", "")}, [&] { answered.push_back(3); });
    client_->indexing().indexNotes({}, [&] { answered.push_back(4); });
    gate.open();
    WaitForIndex();
  }
  EXPECT_EQ(answered, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(Search("alder"), std::vector<std::string>{"N_a"});
  EXPECT_EQ(Search("birch"), std::vector<std::string>{"N_b"});
  EXPECT_TRUE(Search("amber").empty());
  EXPECT_TRUE(Search("basil").empty());
  EXPECT_TRUE(Marked("N_a"));
  EXPECT_TRUE(Marked("N_b"));
}

TEST_F(IndexHandOverTest, WhatWaitsBehindABatchIsInTheIndexOnceTheClientIsGone) {
  AddNotes({"N_a", "N_b", "N_c"});
  const std::string index = client_->indexing().indexDirectory();
  const std::string stopWords = client_->indexing().indexStopWordsFile();
  // The first batch is still with the indexer when the client goes; the
  // rest waits in the feed behind it.
  client_->indexing().indexNotes({Document("N_a", "amber")});
  client_->indexing().indexNotes({Document("N_b", "birch")});
  client_->indexing().indexNotes({Document("N_c", "cedar")});
  client_.reset();
  kx::Error error;
  for (const auto& [word, id] :
       {std::pair{"amber", "N_a"}, std::pair{"birch", "N_b"}, std::pair{"cedar", "N_c"}}) {
    EXPECT_EQ(KXSLucene::search(index, KXSLucene::loadStopWords(stopWords), word, &error),
              std::vector<std::string>{id})
        << word;
    EXPECT_FALSE(error) << error.localizedDescription();
  }
}

}  // namespace
