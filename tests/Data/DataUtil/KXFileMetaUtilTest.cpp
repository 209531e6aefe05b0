// The file-entry helper: defaults of new entries, the move errors, and
// copies with their content files and index documents.
#include "Data/DataUtil/KXFileMetaUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXManagedObjectContext.h"
#include "platform/FileSystem.h"
#include "platform/LocalizedStrings.h"
#include "search/KXSLucene.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::Put;
using Strings = std::vector<std::string>;

struct Outcome {
  KXResultInfo info;
  kx::Error error;
};

class FileMetaUtilTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    ASSERT_NE(client_->indexing().ftsIndexer(), nullptr);
    util_ = std::make_unique<KXFileMetaUtil>(*client_);
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", kx::Value("ROOT")}, {"version", kx::Value(3)}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_A")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Travel")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_C")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Work")}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_1")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("alpine.note")}});
      Put(c, "Note",
          {{"fileId", kx::Value("N_2")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("lagoon.note")}});
      Put(c, "NormalFile",
          {{"fileId", kx::Value("F_md")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("fjord.md")},
           {"domain", kx::Value(1)}});
      Put(c, "NormalFile",
          {{"fileId", kx::Value("F_txt")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("glacier.txt")},
           {"domain", kx::Value(1)}});
    });
  }
  void TearDown() override {
    ASSERT_TRUE(kxtest::waitForQueue(files().queueForContent()));
    DataClientFixture::TearDown();
  }

  static KXFileManager& files() { return KXFileManager::defaultManauger(); }

  template <class Start>
  Outcome Run(Start start) {
    std::promise<Outcome> promise;
    start([&](const KXResultInfo& info, const kx::Error& error) {
      promise.set_value({info, error});
    });
    std::future<Outcome> future = promise.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  }

  static std::string Read(const std::string& path) {
    std::string text;
    return kx::FileSystem::Default().readFile(path, &text, nullptr) ? text : "<none>";
  }
  static void Store(const std::string& path, const std::string& text) {
    ASSERT_TRUE(kx::FileSystem::Default().writeFile(path, text, nullptr)) << path;
  }

  std::unique_ptr<KXFileMetaUtil> util_;
};

TEST_F(FileMetaUtilTest, NewEntriesTakeTheDefaultsUnderTheCallersValues) {
  struct Case {
    const char* name;
    kx::Dictionary info;
    const char* entity;
    std::string title;
    std::int64_t entryType;
    bool hasTransaction;
  };
  const std::string empty = kx::LocalizedStrings::localized("Empty Title.note");
  const std::vector<Case> cases = {
      {"folder",
       {{"fileId", kx::Value("D")}, {"dir", kx::Value(true)}},
       "Notebook",
       empty,
       0,
       false},
      {"type text 7",
       {{"fileId", kx::Value("T7")}, {"entryType", kx::Value("7")}},
       "Note",
       empty,
       7,
       true},
      {"type 3",
       {{"fileId", kx::Value("T3")}, {"entryType", kx::Value(3)}},
       "Note",
       empty,
       0,
       true},
      {"own title",
       {{"fileId", kx::Value("OT")}, {"title", kx::Value("Mine")}},
       "Note",
       "Mine",
       0,
       true},
      {"domain 1",
       {{"fileId", kx::Value("NF")}, {"domain", kx::Value(1)}},
       "NormalFile",
       empty,
       0,
       true},
  };
  kx::Array infos;
  for (const Case& c : cases) {
    kx::Dictionary info = c.info;
    info.set("parentId", kx::Value("NB_C"));
    infos.push_back(kx::Value(info));
  }
  Outcome outcome = Run([&](KXDataCallback cb) { util_->addFileInfos(infos, std::move(cb)); });
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.info.fetch.objects.size(), cases.size());
  Write([](KXManagedObjectContext&) {});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID(c.info["fileId"].stringValue());
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->isKindOfEntity(c.entity));
    EXPECT_EQ(entry->title(), c.title);
    EXPECT_EQ(entry->integerValue("entryType"), c.entryType);
    EXPECT_EQ(!entry->isNil("transactionId"), c.hasTransaction);
    EXPECT_EQ(entry->parentId(), "NB_C");
    EXPECT_EQ(entry->version(), 0);
    EXPECT_EQ(entry->localModified(), 1);
    EXPECT_FALSE(entry->del());
    EXPECT_GT(entry->createTime(), 0);
    EXPECT_EQ(entry->createTime(), entry->modifyTime());
  }
  EXPECT_THROW(util_->addFileInfos({kx::Value::dict({{"title", kx::Value("x")}})}, nullptr),
               kx::Exception);
}

TEST_F(FileMetaUtilTest, MovesWithoutIdsOrTargetAnswerTheErrorPath) {
  Outcome none = Run([&](KXDataCallback cb) { util_->movefileIds({}, "NB_C", std::move(cb)); });
  EXPECT_EQ(none.error.domain(), kx::kCocoaErrorDomain);
  EXPECT_EQ(none.error.code(), 2);
  EXPECT_EQ(none.error.userInfo()["errorPath"], kx::Value(kx::Array{}));

  Outcome noTarget =
      Run([&](KXDataCallback cb) { util_->movefileIds({"N_1"}, "", std::move(cb)); });
  EXPECT_EQ(noTarget.error.userInfo()["errorPath"], kx::Value::array({"N_1"}));

  Outcome moved = Run([&](KXDataCallback cb) {
    util_->movefileIds({"N_1", "F_md"}, "NB_C", std::move(cb));
  });
  EXPECT_FALSE(moved.error);
  Write([](KXManagedObjectContext&) {});
  EXPECT_EQ(client_->reads().objectForFileMetaID("N_1")->parentId(), "NB_C");
  EXPECT_EQ(client_->reads().objectForFileMetaID("F_md")->parentId(), "NB_C");
}

TEST_F(FileMetaUtilTest, CopiesBringTheirContentAndIndexNotesAndMarkdown) {
  Store(files().URLForContentFile("N_1", false), "<p>edelweiss meadow</p>");
  // N_2 has no content file: its copy is indexed by its title alone.
  Store(files().URLForContentFile("F_md", false, "fjord.md"), "# kayak **paddle**");
  Store(files().URLForContentFile("F_txt", false, "glacier.txt"), "crevasse");

  std::vector<std::string> newIds;
  Outcome outcome = Run([&](KXDataCallback cb) {
    newIds = util_->copyFileIds({"N_1", "N_2", "F_md", "F_txt"}, "NB_C", std::move(cb), false);
  });
  ASSERT_EQ(newIds.size(), 4u);
  EXPECT_FALSE(outcome.error);
  WaitForIndex();

  EXPECT_EQ(Read(files().URLForContentFile(newIds[0], false)), "<p>edelweiss meadow</p>");
  EXPECT_EQ(Read(files().URLForContentFile(newIds[2], false, "fjord.md")), "# kayak **paddle**");
  EXPECT_EQ(Read(files().URLForContentFile(newIds[3], false, "glacier.txt")), "crevasse");
  for (const std::string& id : newIds) {
    KXFileMetaPtr copy = client_->reads().objectForFileMetaID(id);
    ASSERT_TRUE(copy) << id;
    EXPECT_EQ(copy->parentId(), "NB_C");
  }

  EXPECT_EQ(Search("edelweiss"), Strings{newIds[0]});
  EXPECT_EQ(Search("alpine"), Strings{newIds[0]}) << "the title without its extension";
  EXPECT_EQ(Search("lagoon"), Strings{newIds[1]});
  EXPECT_EQ(Search("paddle"), Strings{newIds[2]}) << "Markdown is indexed as it is";
  EXPECT_TRUE(Search("crevasse").empty()) << "other files: the title alone, by the insert";
  EXPECT_EQ(Search("glacier"), Strings{newIds[3]});
  // The longest word of the text read in place of missing content.
  std::string word;
  std::istringstream words(KXFileManager::missingContentText());
  for (std::string w; words >> w;) {
    if (w.size() > word.size()) word = w;
  }
  EXPECT_TRUE(Search(word).empty()) << "the missing-content text is never indexed: " << word;
}

TEST_F(FileMetaUtilTest, ACopyTheStoreRefusesCopiesNoContent) {
  Store(files().URLForContentFile("N_1", false), "<p>edelweiss</p>");
  const kx::Dictionary parts{
      {"N_1", kx::Value::dict({{"fileId", kx::Value("N_new")}, {"size", kx::Value("huge")}})}};
  Outcome outcome =
      Run([&](KXDataCallback cb) { util_->copyFileInfos(parts, "NB_C", std::move(cb), false); });
  EXPECT_TRUE(outcome.error);
  EXPECT_EQ(outcome.info.value["N_1"]["fileId"].stringValue(), "N_new");
  EXPECT_FALSE(kx::FileSystem::Default().exists(files().URLForContentFile("N_new", false)));
}

}  // namespace
