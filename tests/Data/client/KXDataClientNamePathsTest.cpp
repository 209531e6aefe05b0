// Name paths: how far a path of folder titles leads through live folders,
// the folders made for the rest of it, and a failed fetch on the way.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXEntryWrites.h"
#include "Data/entities/FileMeta.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXPersistentStore.h"
#include "Data/store/KXStoreConnection.h"

namespace {

using kxtest::Put;
using Strings = std::vector<std::string>;

class NamePathsTest : public kxtest::DataClientFixture {
 protected:
  //   ROOT > NB_A "Travel" > NB_B "Rome"
  //   trash: NB_O "Old" (was under ROOT)
  void SetUp() override {
    DataClientFixture::SetUp();
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", kx::Value("ROOT")}, {"title", kx::Value("My Notes")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_A")},
           {"parentId", kx::Value("ROOT")},
           {"title", kx::Value("Travel")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_B")},
           {"parentId", kx::Value("NB_A")},
           {"title", kx::Value("Rome")}});
      Put(c, "Notebook",
          {{"fileId", kx::Value("NB_O")},
           {"parentId", kx::Value("1")},
           {"title", kx::Value("Old")},
           {"del", kx::Value(true)}});
    });
  }

  // NotebookIdFromNamePath in the read context, on the read queue, as the
  // local file service calls it; answers the id it returned and what its
  // callback received.
  struct Made {
    std::string answer;
    std::string parentId;
    kx::Error error;
  };
  Made Make(const std::string& path) {
    std::promise<Made> promise;
    std::string answer;
    client_->reads().performSyncReadBlock([&] {
      answer = client_->writes().NotebookIdFromNamePath(
          path, nullptr, [&](const KXResultInfo& info, const kx::Error& error) {
            promise.set_value({std::string(),
                               info.value[KXEntryWrites::kNamePathParentIdKey].stringValue(),
                               error});
          });
    });
    std::future<Made> future = promise.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    Made made = future.get();
    made.answer = answer;
    Write([](KXManagedObjectContext&) {});  // save what was made
    return made;
  }

  // The live folders titled so under the parent.
  Strings FolderIds(const std::string& title, const std::string& parentId) {
    std::optional<std::vector<KXManagedObjectPtr>> found =
        client_->reads().readFileMetasSyncForQuery(
            "del = NO AND dir = YES AND title = %@ AND parentId = %@", {title, parentId},
            "FileMeta", nullptr);
    return kxtest::Ids(found.value_or(std::vector<KXManagedObjectPtr>{}));
  }
};

TEST_F(NamePathsTest, PathsLeadThroughLiveFoldersOnly) {
  struct Case {
    const char* path;
    const char* lastParentId;
    std::int64_t found;
    Strings components;
  };
  const Case cases[] = {
      {"", "ROOT", 0, {}},
      {"/", "ROOT", 0, {}},
      {"/Travel", "NB_A", 1, {"Travel"}},
      {"/Travel/Rome", "NB_B", 2, {"Travel", "Rome"}},
      {"/Travel/Paris/Rome", "NB_A", 1, {"Travel", "Paris", "Rome"}},
      {"/Travel/", "NB_A", 1, {"Travel", ""}},
      {"/travel", "ROOT", 0, {"travel"}},
      {"/Old", "ROOT", 0, {"Old"}},  // in the trash: not a folder of the path
  };
  for (const Case& c : cases) {
    KXEntryReads::NamePathResolution r = client_->reads().lastParentIdFromNamePath(c.path);
    EXPECT_EQ(r.lastParentId, c.lastParentId) << c.path;
    EXPECT_EQ(r.found, c.found) << c.path;
    EXPECT_EQ(r.components, c.components) << c.path;
  }
  EXPECT_EQ(client_->reads().namePathFromNotebookId(std::string("NB_B")), "/Travel/Rome");
}

TEST_F(NamePathsTest, AFoundPathAnswersAtOnceAndAMissingOneIsMade) {
  Made found = Make("/Travel/Rome");
  EXPECT_FALSE(found.error);
  EXPECT_EQ(found.answer, "NB_B");
  EXPECT_EQ(found.parentId, "NB_B");

  Made made = Make("/Travel/Rome/New/Deeper");
  EXPECT_FALSE(made.error) << made.error.localizedDescription();
  EXPECT_EQ(made.parentId, made.answer);
  ASSERT_EQ(FolderIds("New", "NB_B").size(), 1u);
  const std::string newId = FolderIds("New", "NB_B")[0];
  EXPECT_EQ(FolderIds("Deeper", newId), Strings{made.answer});
  KXFileMetaPtr deeper = client_->reads().objectForFileMetaID(made.answer);
  ASSERT_TRUE(deeper);
  EXPECT_TRUE(deeper->isKindOfEntity("Notebook"));
  EXPECT_EQ(deeper->domain(), 1);
  EXPECT_TRUE(deeper->isNil("transactionId")) << "a folder is no transaction of its own";
  EXPECT_EQ(deeper->localModified(), 1);

  // A deleted folder does not count: /Old is made anew, live.
  Made old = Make("/Old");
  EXPECT_EQ(FolderIds("Old", "ROOT"), Strings{old.answer});
  // A trailing slash asks for a folder with an empty title below.
  Made empty = Make("/Travel/");
  EXPECT_EQ(FolderIds("", "NB_A"), Strings{empty.answer});
}

TEST_F(NamePathsTest, AFailedFetchOnTheWayMakesNoSecondFolder) {
  // The second title lookup of the read connection is interrupted, as a
  // failing disk would end it.
  struct Tracer {
    std::atomic<int> titleFetches{0};
    int failAt = 2;
  } tracer;
  sqlite3* db = data_->readContext()->persistentStore()->readConnection()->handle();
  sqlite3_trace_v2(
      db, SQLITE_TRACE_STMT,
      [](unsigned, void* context, void* statement, void*) -> int {
        auto* t = static_cast<Tracer*>(context);
        std::string sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
        std::transform(sql.begin(), sql.end(), sql.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
        const std::size_t where = sql.rfind(" WHERE ");
        if (where != std::string::npos && sql.find("TITLE", where) != std::string::npos &&
            ++t->titleFetches == t->failAt) {
          sqlite3_interrupt(sqlite3_db_handle(static_cast<sqlite3_stmt*>(statement)));
        }
        return 0;
      },
      &tracer);

  KXEntryReads::NamePathResolution r =
      client_->reads().lastParentIdFromNamePath("/Travel/Rome/Sub");
  EXPECT_EQ(r.lastParentId, "NB_A") << "the failed lookup counts as not found";
  EXPECT_EQ(r.found, 1);

  tracer.titleFetches = 0;
  Made made = Make("/Travel/Rome/Sub");
  sqlite3_trace_v2(db, 0, nullptr, nullptr);
  EXPECT_GE(tracer.titleFetches.load(), 2);
  EXPECT_FALSE(made.error) << made.error.localizedDescription();
  // The folders are looked up again where they are made: Rome is found,
  // not made twice, and Sub goes below it.
  EXPECT_EQ(FolderIds("Rome", "NB_A"), Strings{"NB_B"});
  EXPECT_EQ(FolderIds("Sub", "NB_B"), Strings{made.parentId});
}

TEST_F(NamePathsTest, CompletingWithoutTitlesAnswersTheParent) {
  std::promise<std::string> answer;
  client_->writes().completeNamePath(
      "NB_A", {}, {}, [&](const KXResultInfo& info, const kx::Error&) {
        answer.set_value(info.value[KXEntryWrites::kNamePathParentIdKey].stringValue());
      });
  EXPECT_EQ(answer.get_future().get(), "NB_A");
}

}  // namespace
