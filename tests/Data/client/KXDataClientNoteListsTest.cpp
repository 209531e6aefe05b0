// Note lists, the keyword search and summaries of KXDataClient, and the
// entries read back for writers as web file entries.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <future>
#include <string>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/GlobalQueue.h"
#include "search/KXSContext.h"

namespace {

using kxtest::Ids;
using kxtest::Put;

// Seconds of noon on the day, local time (month groups are local).
std::int64_t LocalTime(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&tm));
}

class NoteListsTest : public kxtest::DataClientFixture {
 protected:
  void Tree() {
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", "ROOT"}});
      Put(c, "Notebook", {{"fileId", "NB_FRUIT"}, {"parentId", "ROOT"}, {"title", "Fruit"}});
      Put(c, "Notebook", {{"fileId", "NB_WORK"}, {"parentId", "ROOT"}, {"title", "Work"}});
      Put(c, "Notebook",
          {{"fileId", "NB_LOCK"}, {"parentId", "ROOT"}, {"title", "Lock"}, {"encrypted", true}});
    });
  }
};

TEST_F(NoteListsTest, SearchAnswersLiveEntriesInRelevanceOrderWithParentNames) {
  Tree();
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note", {{"fileId", "N_WEAK"}, {"parentId", "NB_WORK"}, {"title", "w.note"}});
    Put(c, "Note", {{"fileId", "N_STRONG"}, {"parentId", "NB_FRUIT"}, {"title", "s.note"}});
    Put(c, "Note", {{"fileId", "N_GONE"}, {"parentId", "1"}, {"del", true}});
  });
  ASSERT_NE(client_->indexing().ftsIndexer(), nullptr);
  // The process's searcher was made for an earlier test's client.
  KXSContext::sharedContext().setIsReload(true);
  auto doc = [](const char* id, const char* text) {
    return kx::Value::dict({{"docID", id}, {"docContent", text}});
  };
  std::promise<void> indexed;
  client_->indexing().indexNotes(
      {doc("N_WEAK", "apple pear plum fig kiwi lime melon"), doc("N_STRONG", "apple apple apple"),
       doc("N_GONE", "apple apple"), doc("N_NOT_STORED", "apple")},
      [&] { indexed.set_value(); });
  ASSERT_EQ(indexed.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

  auto search = [&](const std::string& keyword) {
    std::promise<KXFileMetaArray> answer;
    client_->reads().searchNotesWithKeyword(
        keyword, [&](const KXResultInfo& info, const kx::Error& e) {
          EXPECT_FALSE(e);
          EXPECT_FALSE(data_->isOnReadQueue());
          KXFileMetaArray entries;
          for (const auto& object : info.fetch.objects) {
            entries.push_back(std::dynamic_pointer_cast<FileMeta>(object));
          }
          answer.set_value(entries);
        });
    std::future<KXFileMetaArray> future = answer.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  };
  KXFileMetaArray hits = search("apple");
  ASSERT_EQ(Ids(hits), (std::vector<std::string>{"N_STRONG", "N_WEAK"}));
  EXPECT_EQ(hits[0]->getParentName(), "Fruit");
  EXPECT_EQ(hits[1]->getParentName(), "Work");
  EXPECT_TRUE(search("banana").empty());
}

TEST_F(NoteListsTest, MonthGroupsInOrderWithTheFilteredNotes) {
  Tree();
  const std::int64_t dec = LocalTime(2018, 12, 15);
  const std::int64_t jan = LocalTime(2019, 1, 15);
  Write([&](KXManagedObjectContext& c) {
    Put(c, "Note",
        {{"fileId", "JAN_A"}, {"parentId", "NB_WORK"}, {"title", "a"}, {"modifyTime", jan}});
    Put(c, "Note",
        {{"fileId", "DEC"}, {"parentId", "NB_WORK"}, {"title", ""}, {"modifyTime", dec}});
    Put(c, "Note", {{"fileId", "JAN_B"}, {"parentId", "NB_WORK"}, {"modifyTime", jan + 60}});
    Put(c, "Note", {{"fileId", "TRASHED"}, {"parentId", "1"}, {"del", true}, {"modifyTime", jan}});
    Put(c, "Note",
        {{"fileId", "GONE"}, {"parentId", "1"}, {"remoteRemoved", true}, {"modifyTime", dec}});
    KXManagedObjectPtr image =
        Put(c, "Resource", {{"fileId", "IMG_FLAT"}, {"meidaType", "image"}, {"imageSize", "0x50"}});
    KXManagedObjectPtr odd =
        Put(c, "Resource", {{"fileId", "IMG_ODD"}, {"meidaType", "image"}, {"imageSize", "wide"}});
    KXManagedObjectPtr note = Put(c, "Note", {{"fileId", "IMG"}, {"modifyTime", jan}});
    note->addObject("resources", image);
    note->addObject("resources", odd);
  });
  KXFileMetaArray notes = Entries({"JAN_A", "DEC", "JAN_B", "TRASHED", "GONE", "IMG"});

  kx::Array live = client_->reads().formatNoteList(notes, KXEntryReads::kFilterLive);
  ASSERT_EQ(live.size(), 2u);
  EXPECT_EQ(live[0]["content"], kx::Value::dict({{"title", "2018-12-1"}, {"sort", "2018-12"}}));
  EXPECT_EQ(live[1]["content"], kx::Value::dict({{"title", "2019-01-3"}, {"sort", "2019-01"}}));
  const kx::Value& december = live[0]["children"][0]["content"];
  EXPECT_EQ(december["entryPath"].stringValue(), "DEC");
  EXPECT_FALSE(december["title"].stringValue().empty());  // the empty-title text
  EXPECT_EQ(december["sort"].stringValue(), std::to_string(dec));
  EXPECT_EQ(december["image"], kx::Value(false));
  const kx::Value& january = live[1]["children"];
  EXPECT_EQ(january[0]["content"]["entryPath"].stringValue(), "JAN_A");  // input order
  EXPECT_EQ(january[1]["content"]["entryPath"].stringValue(), "JAN_B");
  const kx::Value& withImages = january[2]["content"];
  EXPECT_EQ(withImages["resourceCount"].intValue(), 2);
  EXPECT_EQ(withImages["image"], kx::Value(false));  // area 0 and an odd size never win

  kx::Array trash = client_->reads().formatNoteList(notes, KXEntryReads::kFilterDeleted);
  ASSERT_EQ(trash.size(), 1u);
  EXPECT_EQ(trash[0]["children"][0]["content"]["entryPath"].stringValue(), "TRASHED");
  EXPECT_EQ(client_->reads().formatNoteList(notes, KXEntryReads::kFilterAll).size(), 2u);
  EXPECT_TRUE(client_->reads().formatNoteList(notes, 7).empty());
}

TEST_F(NoteListsTest, EncryptedFoldersAndSummaries) {
  Tree();
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note", {{"fileId", "OPEN"}, {"parentId", "NB_WORK"}});
    Put(c, "Note", {{"fileId", "LOCKED"}, {"parentId", "NB_LOCK"}});
    Put(c, "Note", {{"fileId", "ORPHAN"}, {"parentId", "NB_NONE"}});
  });
  EXPECT_EQ(Ids(client_->reads().filterEncryptedNotebook(Entries({"ORPHAN", "LOCKED", "OPEN"}))),
            (std::vector<std::string>{"ORPHAN", "OPEN"}));

  client_->writes().updateNotesSummary("OPEN", " \r\n first\nsecond \n");
  client_->writes().updateNotesSummary("NOPE", "x");
  Write([](KXManagedObjectContext&) {});
  EXPECT_EQ(client_->reads().objectForFileMetaID("OPEN")->stringValue("summary"), "first\nsecond");
}

TEST_F(NoteListsTest, WrittenEntryIsReadInTheWriteContextAndDeliveredOffIt) {
  Tree();
  Write([](KXManagedObjectContext& c) {
    Put(c, "Note", {{"fileId", "N"}, {"parentId", "NB_WORK"}, {"title", "old.note"}});
  });
  // Changed, not saved: the read-back still sees it.
  data_->performWriteBlock([&](KXManagedObjectContext& c) {
    kx::ignoreError(
        client_->readsIn(&c).objectForFileMetaID("N")->setValue("title", kx::Value("new")));
  });
  struct Answer {
    KXResultInfo info;
    bool onHighQueue = false;
    bool onWriteQueue = false;
  };
  auto readBack = [&](const std::string& id, bool entire, bool convert) {
    std::promise<Answer> answer;
    client_->writes().entryOnWrittenContextForFileId(
        id, entire, convert, [&](const KXResultInfo& info, const kx::Error& e) {
          EXPECT_FALSE(e);
          answer.set_value({info, kx::GlobalQueue::get(kx::QueuePriority::High).isCurrent(),
                            data_->isOnWriteQueue()});
        });
    std::future<Answer> future = answer.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  };
  Answer entry = readBack("N", true, false);
  ASSERT_TRUE(entry.info.hasResult);
  EXPECT_TRUE(entry.onHighQueue);
  EXPECT_EQ(entry.info.value["entry"]["name"].stringValue(), "new");
  EXPECT_TRUE(entry.info.value["meta"]["resources"].isArray());

  Answer file = readBack("N", true, true);
  EXPECT_EQ(file.info.value["fileEntry"]["name"].stringValue(), "new");
  EXPECT_TRUE(file.info.value.contains("otherProp"));
  EXPECT_EQ(readBack("N", false, true).info.value["name"].stringValue(), "new");

  Answer missing = readBack("MISSING", true, false);
  EXPECT_FALSE(missing.info.hasResult);
  EXPECT_TRUE(missing.onWriteQueue);
}

}  // namespace
