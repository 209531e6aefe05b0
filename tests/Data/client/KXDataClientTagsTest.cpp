// The data client's tag rows: service tags taken in with unique names, the
// flags cleared after a push, tag reads, and a removed tag stripped from the
// entries that carry it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXTagStore.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Tag.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXFetchRequest.h"
#include "Data/store/KXManagedObjectContext.h"

namespace {

using kxtest::Put;

const std::string kNew = KXTagStore::kNewTagName;

class TagsTest : public kxtest::DataClientFixture {
 protected:
  // Waits for every write queued before (the tag writes queue their save
  // behind their block).
  void Drain() {
    Write([](KXManagedObjectContext&) {});
  }

  void PutTag(const std::string& tagId, const std::string& name, bool removed = false,
              std::int64_t dateUpdated = 100) {
    Write([&](KXManagedObjectContext& c) {
      Put(c, "Tag",
          {{"tagId", kx::Value(tagId)},
           {"name", kx::Value(name)},
           {"dateUpdated", kx::Value(dateUpdated)},
           {"isLocalRemoved", kx::Value(removed)},
           {"isLocalCreated", kx::Value(false)},
           {"isLocalModified", kx::Value(false)}});
    });
  }

  static kx::Dictionary ServiceTag(const std::string& tagId, const kx::Value& name,
                                   std::int64_t dateUpdated) {
    kx::Dictionary tag{{"tagId", kx::Value(tagId)},
                       {"pTagId", kx::Value("P1")},
                       {"dateCreated", kx::Value(50)},
                       {"dateUpdated", kx::Value(dateUpdated)}};
    if (!name.isNull()) tag.set("name", name);
    return tag;
  }

  void ClearTags() {
    Write([](KXManagedObjectContext& c) {
      KXFetchRequest request("Tag", nullptr);
      for (const auto& tag : c.fetch(request)) c.deleteObject(tag);
    });
  }

  std::shared_ptr<Tag> TagOf(const std::string& tagId) {
    std::shared_ptr<Tag> tag = client_->reads().objectForTagID(tagId);
    EXPECT_TRUE(tag) << tagId;
    return tag;
  }
};

// ---------------------------------------------------------------------------
// Service tags
// ---------------------------------------------------------------------------

TEST_F(TagsTest, ServiceTagIsStoredThenOnlyANewerOneChangesIt) {
  client_->tags().createOrUpdateTag(ServiceTag("T1", kx::Value("Work"), 200));
  Drain();
  std::shared_ptr<Tag> tag = TagOf("T1");
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->name(), "Work");
  EXPECT_EQ(tag->pTagId(), "P1");
  EXPECT_EQ(tag->dateCreated(), 50);
  EXPECT_EQ(tag->dateUpdated(), 200);
  EXPECT_FALSE(tag->isLocalModified());
  EXPECT_FALSE(tag->isLocalCreated());
  EXPECT_FALSE(tag->isLocalRemoved());

  // As old, then older: the stored tag is as new or newer.
  client_->tags().createOrUpdateTag(ServiceTag("T1", kx::Value("Same"), 200));
  client_->tags().createOrUpdateTag(ServiceTag("T1", kx::Value("Older"), 150));
  Drain();
  EXPECT_EQ(TagOf("T1")->name(), "Work");

  // Newer: updated, and its own name does not count as taken; a tag removed
  // or changed here takes the service's state.
  Write([](KXManagedObjectContext& c) {
    KXFetchRequest request("Tag", nullptr);
    for (const auto& tag : c.fetch(request)) {
      EXPECT_TRUE(tag->setValue("isLocalRemoved", kx::Value(true)));
      EXPECT_TRUE(tag->setValue("isLocalModified", kx::Value(true)));
    }
  });
  client_->tags().createOrUpdateTag(ServiceTag("T1", kx::Value("Work"), 300));
  Drain();
  tag = TagOf("T1");
  EXPECT_EQ(tag->name(), "Work");
  EXPECT_EQ(tag->dateUpdated(), 300);
  EXPECT_FALSE(tag->isLocalModified());
  EXPECT_FALSE(tag->isLocalRemoved());

  // A tag without an id is not stored.
  client_->tags().createOrUpdateTag(kx::Dictionary{{"name", kx::Value("Lost")}});
  Drain();
  kx::Error error;
  auto all = client_->tags().readTagSyncForCondition({}, &error);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 1u);
}

TEST_F(TagsTest, TakenAndMissingNamesAreNumberedAndMarkedModified) {
  struct Case {
    std::vector<std::string> taken;  // names of other live tags
    kx::Value incoming;
    std::string stored;
    bool modified;
  };
  const std::vector<Case> cases = {
      {{}, kx::Value("Home"), "Home", false},
      {{"Home"}, kx::Value("Home"), "Home(1)", true},
      {{"Home", "Home(1)"}, kx::Value("Home"), "Home(2)", true},
      {{"Trip(3)"}, kx::Value("Trip(3)"), "Trip(4)", true},
      {{}, kx::Value(), kNew, true},
      {{}, kx::Value(""), kNew, true},
      {{kNew}, kx::Value(), kNew + "(1)", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    const std::string prefix = "C" + std::to_string(n++) + "_";
    // Each case starts without tags.
    ClearTags();
    int i = 0;
    for (const std::string& name : c.taken) PutTag(prefix + std::to_string(i++), name);
    client_->tags().createOrUpdateTag(ServiceTag(prefix + "new", c.incoming, 10));
    Drain();
    std::shared_ptr<Tag> tag = TagOf(prefix + "new");
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->name(), c.stored);
    EXPECT_EQ(tag->isLocalModified(), c.modified);
  }
}

TEST_F(TagsTest, NumberingGoesPastAHundredTakenNamesAndSkipsRemovedTags) {
  // "Work" and "Work(1)" .. "Work(149)" are live: the first free form is
  // far past a hundred tries. "Work(150)" is taken only by a removed tag,
  // which does not count.
  Write([](KXManagedObjectContext& c) {
    for (int i = 0; i < 150; ++i) {
      Put(c, "Tag",
          {{"tagId", kx::Value("L" + std::to_string(i))},
           {"name", kx::Value(i == 0 ? std::string("Work") : "Work(" + std::to_string(i) + ")")},
           {"isLocalRemoved", kx::Value(false)}});
    }
    Put(c, "Tag",
        {{"tagId", kx::Value("R")},
         {"name", kx::Value("Work(150)")},
         {"isLocalRemoved", kx::Value(true)}});
    // No tag id: not a live tag either.
    Put(c, "Tag", {{"name", kx::Value("Work(151)")}, {"isLocalRemoved", kx::Value(false)}});
  });
  EXPECT_EQ(client_->tags().checkDupTagName("Work", "X"), "Work(150)");
  // Its own tag's name is free for a tag.
  EXPECT_EQ(client_->tags().checkDupTagName("Work(7)", "L7"), "Work(7)");
  EXPECT_EQ(client_->tags().checkDupTagName("Work(7)", "X"), "Work(150)");

  client_->tags().createOrUpdateTag(ServiceTag("NEW", kx::Value("Work"), 10));
  Drain();
  EXPECT_EQ(TagOf("NEW")->name(), "Work(150)");
  EXPECT_TRUE(TagOf("NEW")->isLocalModified());
}

TEST_F(TagsTest, ServiceTagsOfOneNameTakenInARowGetDifferentNames) {
  // Queued back to back: the second name check runs before the first save
  // has reached the read context, and still sees the first tag.
  for (const char* id : {"A", "B", "C"}) {
    client_->tags().createOrUpdateTag(ServiceTag(id, kx::Value("Inbox"), 10));
  }
  Drain();
  EXPECT_EQ(TagOf("A")->name(), "Inbox");
  EXPECT_EQ(TagOf("B")->name(), "Inbox(1)");
  EXPECT_EQ(TagOf("C")->name(), "Inbox(2)");
}

TEST_F(TagsTest, LongNamesAreCutBeforeTheirNumber) {
  const std::string longName(90, 'x');
  PutTag("L", longName);
  const std::string numbered = client_->tags().checkDupTagName(longName, "X");
  EXPECT_EQ(numbered, std::string(77, 'x') + "(1)");
}

TEST_F(TagsTest, PushClearsTheLocalFlagsOfThatTagOnly) {
  Write([](KXManagedObjectContext& c) {
    for (const char* id : {"T1", "T2"}) {
      Put(c, "Tag",
          {{"tagId", kx::Value(id)},
           {"name", kx::Value(id)},
           {"isLocalCreated", kx::Value(true)},
           {"isLocalModified", kx::Value(true)},
           {"isLocalRemoved", kx::Value(true)}});
    }
  });
  client_->tags().updateTagLocalProps(kx::Dictionary{{"tagId", kx::Value("T1")}});
  client_->tags().updateTagLocalProps(kx::Dictionary{{"tagId", kx::Value("unknown")}});
  client_->tags().updateTagLocalProps(kx::Dictionary{});
  Drain();
  std::shared_ptr<Tag> pushed = TagOf("T1");
  EXPECT_FALSE(pushed->isLocalCreated());
  EXPECT_FALSE(pushed->isLocalModified());
  EXPECT_FALSE(pushed->isLocalRemoved());
  std::shared_ptr<Tag> other = TagOf("T2");
  EXPECT_TRUE(other->isLocalCreated());
  EXPECT_TRUE(other->isLocalModified());
  EXPECT_TRUE(other->isLocalRemoved());
}

// ---------------------------------------------------------------------------
// Reads
// ---------------------------------------------------------------------------

TEST_F(TagsTest, TagReadsTakeTheTagEntityAndReportFailures) {
  PutTag("T1", "one");
  PutTag("T2", "two", /*removed=*/true);
  kx::Error error;
  // The entity of the record is ignored: tags are read.
  auto live = client_->tags().readTagSyncForCondition(
      kx::Dictionary{{kKXQueryEntityKey, kx::Value("Note")},
                     {kKXQueryConditionKey, kx::Value("isLocalRemoved = 0 AND tagId != nil")}},
      &error);
  ASSERT_TRUE(live) << error.localizedDescription();
  ASSERT_EQ(live->size(), 1u);
  EXPECT_EQ(live->front()->tagId(), "T1");

  auto bad = client_->tags().readTagSyncForCondition(
      kx::Dictionary{{kKXQueryConditionKey, kx::Value("name ==== %@")}}, &error);
  EXPECT_FALSE(bad);
  EXPECT_TRUE(error);
}

// ---------------------------------------------------------------------------
// A removed tag leaves the entries
// ---------------------------------------------------------------------------

TEST_F(TagsTest, RemovedTagLeavesEveryPlaceInTheListsAndOnlyWholeElements) {
  struct Case {
    const char* fileId;
    const char* tags;
    const char* left;
  };
  const std::vector<Case> cases = {
      {"N_start", "12,5", "5"}, {"N_middle", "5,12,6", "5,6"},          {"N_end", "5,12", "5"},
      {"N_only", "12", ""},     {"N_longer", "123,7,612", "123,7,612"}, {"N_twice", "12,7,12", "7"},
  };
  Write([&](KXManagedObjectContext& c) {
    Put(c, "Root", {{"fileId", kx::Value("ROOT")}});
    Put(c, "Notebook",
        {{"fileId", kx::Value("NB_lock")},
         {"parentId", kx::Value("ROOT")},
         {"title", kx::Value("Safe")},
         {"encrypted", kx::Value(true)}});
    Put(c, "Note",
        {{"fileId", kx::Value("N_locked")},
         {"parentId", kx::Value("NB_lock")},
         {"title", kx::Value("s.note")},
         {"tags", kx::Value("7,12")}});
    for (const Case& e : cases) {
      Put(c, "Note",
          {{"fileId", kx::Value(e.fileId)},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value(std::string(e.fileId) + ".note")},
           {"tags", kx::Value(e.tags)}});
    }
  });
  client_->tags().updateFileMetaForDeletedTagId("12");
  Drain();
  for (const Case& e : cases) {
    EXPECT_EQ(client_->reads().objectForFileMetaID(e.fileId)->stringValue("tags"), e.left)
        << e.fileId;
  }
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_locked")->stringValue("tags"), "7");
}

}  // namespace
