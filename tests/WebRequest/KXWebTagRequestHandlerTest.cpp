#include "WebRequest/KXWebTagRequestHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXStoreState.h"
#include "Data/entities/Tag.h"
#include "HandlerTestSupport.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

class WebTagRequestHandlerTest : public kxtest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    util_ = std::make_unique<KXFileMetaWebUtil>(*client_);
    files_ = std::make_unique<KXWebFileRequestHandler>(*client_, *util_);
    handler_ = std::make_unique<KXWebTagRequestHandler>(*client_, *files_, [this] {
      {
        std::lock_guard<std::mutex> lock(mu_);
        // The change is answered before the save is asked for.
        answeredBeforeSave_ = answeredBeforeSave_ && last_ && last_->count() == 1;
      }
      client_->state().performSave([this](const KXResultInfo&, const kx::Error&) {
        std::lock_guard<std::mutex> lock(mu_);
        ++saves_;
        cv_.notify_all();
      });
    });
    Write([](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
      Put(c, "Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Work"}});
      for (int i = 0; i < 7; ++i) {
        const std::string id = "N" + std::to_string(i);
        Put(c, "Note",
            {{"fileId", id},
             {"parentId", "NB"},
             {"title", id + ".note"},
             {"modifyTime", 1000 + i},
             {"tags", i % 2 ? "T1,T2" : "T1"}});
      }
      Put(c, "Note", {{"fileId", "N_other"}, {"parentId", "NB"}, {"tags", "T12"}});
      Put(c, "Tag", {{"tagId", "T1"}, {"name", "red"}, {"isLocalRemoved", false}});
      Put(c, "Tag", {{"tagId", "T2"}, {"name", "blue"}, {"isLocalRemoved", false}});
      Put(c, "Tag", {{"tagId", "T3"}, {"name", "gone"}, {"isLocalRemoved", true}});
      Put(c, "Tag", {{"name", "fresh"}, {"isLocalRemoved", false}, {"isLocalCreated", true}});
    });
  }
  void TearDown() override {
    handler_.reset();
    files_.reset();
    util_.reset();
    StoreFixture::TearDown();
  }

  std::shared_ptr<AnswerRecorder> Ask(const std::string& path, const std::string& body = "") {
    last_ = std::make_shared<AnswerRecorder>();
    handler_->handleRequest(ServiceRequest(path, body), last_);
    EXPECT_TRUE(last_->waitForAnswers()) << path;
    return last_;
  }

  bool WaitForSaves(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return saves_ >= n; });
  }
  int Saves() {
    std::lock_guard<std::mutex> lock(mu_);
    return saves_;
  }

  std::unique_ptr<KXFileMetaWebUtil> util_;
  std::unique_ptr<KXWebFileRequestHandler> files_;
  std::unique_ptr<KXWebTagRequestHandler> handler_;
  std::shared_ptr<AnswerRecorder> last_;
  std::mutex mu_;
  std::condition_variable cv_;
  int saves_ = 0;                   // guarded by mu_
  bool answeredBeforeSave_ = true;  // guarded by mu_
};

TEST_F(WebTagRequestHandlerTest, AcceptsTheTagPathWhateverTheQuery) {
  EXPECT_TRUE(handler_->acceptRequest(ServiceRequest("/qrt/mapi/tag")));
  EXPECT_TRUE(handler_->acceptRequest(ServiceRequest("/qrt/mapi/tag/x?method=zzz")));
  EXPECT_FALSE(handler_->acceptRequest(ServiceRequest("/qrt/mapi/tags?method=list")));
  EXPECT_FALSE(handler_->acceptRequest(ServiceRequest("/qrt/api/tag?method=list")));
}

TEST_F(WebTagRequestHandlerTest, ListPagesTheTaggedEntriesAndCountsThemAll) {
  auto answer = Ask("/qrt/mapi/tag?method=list&tagid=T1&len=5");
  ASSERT_FALSE(answer->error()) << answer->error().localizedDescription();
  EXPECT_EQ(answer->json()["count"].intValue(), 7);
  EXPECT_EQ(answer->json()["entries"].array().size(), 5u);

  // The body's pairs count as well; "T12" entries are not "T1" entries.
  auto second = Ask("/qrt/mapi/tag", "method=list&tagid=T2");
  EXPECT_EQ(second->json()["count"].intValue(), 3);
}

TEST_F(WebTagRequestHandlerTest, GetListsStoredTagsWithServiceIdsUnderServiceNames) {
  auto answer = Ask("/qrt/mapi/tag?method=get");
  ASSERT_FALSE(answer->error());
  std::set<std::string> names;
  const kx::Value json = answer->json();
  for (const kx::Value& tag : json["tags"].array()) {
    EXPECT_TRUE(tag.contains("tagid")) << JSONString(tag);
    names.insert(tag["name"].stringValue());
  }
  EXPECT_EQ(names, (std::set<std::string>{"red", "blue"}));
  EXPECT_EQ(answer->json()["v"].intValue(), client_->state().dbTagVersion().intValue());
  EXPECT_EQ(Saves(), 0);
}

TEST_F(WebTagRequestHandlerTest, UpdateRenamesAStoredTagThenSavesAndSyncs) {
  auto answer = Ask("/qrt/mapi/tag?method=update", "tagid=T1&name=crimson%20red");
  ASSERT_FALSE(answer->error()) << answer->error().localizedDescription();
  EXPECT_TRUE(answer->json().contains("v"));
  ASSERT_TRUE(WaitForSaves(1));
  std::shared_ptr<Tag> tag = client_->reads().objectForTagID("T1");
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->name(), "crimson red");
  EXPECT_TRUE(tag->isLocalModified());
  std::lock_guard<std::mutex> lock(mu_);
  EXPECT_EQ(saves_, 1);
  EXPECT_TRUE(answeredBeforeSave_);
}

TEST_F(WebTagRequestHandlerTest, UpdateOfAnUnknownIdCreatesTheTag) {
  auto answer = Ask("/qrt/mapi/tag?method=update&tagid=T9&name=green");
  ASSERT_FALSE(answer->error()) << answer->error().localizedDescription();
  ASSERT_TRUE(WaitForSaves(1));
  std::shared_ptr<Tag> tag = client_->reads().objectForTagID("T9");
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->name(), "green");
  EXPECT_TRUE(tag->isLocalCreated());
}

TEST_F(WebTagRequestHandlerTest, RemoveMarksTheTagAndStripsItFromEntries) {
  auto answer = Ask("/qrt/mapi/tag?method=remove&tagid=T2");
  ASSERT_FALSE(answer->error()) << answer->error().localizedDescription();
  EXPECT_TRUE(WaitForSaves(1));
  EXPECT_TRUE(client_->reads().objectsWithTagId("T2", true).empty());
  auto get = Ask("/qrt/mapi/tag?method=get");
  ASSERT_EQ(get->json()["tags"].array().size(), 1u);
  EXPECT_EQ(get->json()["tags"].array()[0]["name"].stringValue(), "red");
}

TEST_F(WebTagRequestHandlerTest, RefusalsAnswerMinus1000WithoutSaving) {
  for (const char* path :
       {"/qrt/mapi/tag", "/qrt/mapi/tag?method=rename&tagid=T1", "/qrt/mapi/tag?method=list",
        "/qrt/mapi/tag?method=list&tagid=T404", "/qrt/mapi/tag?method=update",
        "/qrt/mapi/tag?method=remove&tagid=T404"}) {
    auto answer = Ask(path);
    EXPECT_EQ(answer->count(), 1) << path;
    EXPECT_TRUE(answer->failedWith(KXURLErrorBadURL)) << path;
  }
  EXPECT_EQ(Saves(), 0);
}

}  // namespace
