#include "WebRequest/KXWebSearchRequestHandler.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "HandlerTestSupport.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

// Answers keywords from a table of hits; a held searcher keeps the
// callbacks until the test releases them.
class TableSearcher {
 public:
  TableSearcher(KXDataClient& client, std::map<std::string, std::vector<std::string>> table)
      : client_(client), table_(std::move(table)) {}

  void search(const std::string& keyword, KXDataCallback callback) {
    std::vector<KXManagedObjectPtr> hits;
    auto found = table_.find(keyword);
    if (found != table_.end()) {
      for (const std::string& id : found->second)
        hits.push_back(client_.reads().objectForFileMetaID(id));
    }
    KXResultInfo info =
        keyword == "broken" ? KXResultInfo::none() : KXResultInfo::withObjects(std::move(hits));
    std::unique_lock<std::mutex> lock(mu_);
    ++searches_[keyword];
    if (hold_) {
      held_.emplace_back(std::move(callback), std::move(info));
      return;
    }
    lock.unlock();
    callback(info, kx::Error());
  }
  void hold(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    hold_ = on;
  }
  void releaseHeld() {
    std::vector<std::pair<KXDataCallback, KXResultInfo>> held;
    {
      std::lock_guard<std::mutex> lock(mu_);
      held.swap(held_);
    }
    for (auto& [callback, info] : held) callback(info, kx::Error());
  }
  int searches(const std::string& keyword) {
    std::lock_guard<std::mutex> lock(mu_);
    return searches_[keyword];
  }

 private:
  KXDataClient& client_;
  const std::map<std::string, std::vector<std::string>> table_;
  std::mutex mu_;
  bool hold_ = false;
  std::map<std::string, int> searches_;
  std::vector<std::pair<KXDataCallback, KXResultInfo>> held_;
};

class WebSearchRequestHandlerTest : public kxtest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    KXHooks::setRootEntryIdProvider([] { return std::string("ROOT"); });
    std::vector<std::string> pears;
    Write([&](KXManagedObjectContext& c) {
      Put(c, "Root", {{"fileId", "ROOT"}, {"title", "My Notes"}});
      Put(c, "Notebook", {{"fileId", "NB"}, {"parentId", "ROOT"}, {"title", "Fruit"}});
      Put(c, "Notebook",
          {{"fileId", "NB_LOCK"}, {"parentId", "ROOT"}, {"title", "Lock"}, {"encrypted", true}});
      Put(c, "Notebook", {{"fileId", "NB_APPLE"}, {"parentId", "NB"}, {"title", "apple box"}});
      Put(c, "Note",
          {{"fileId", "T_old"}, {"parentId", "NB"}, {"title", "apple old"}, {"modifyTime", 10}});
      Put(c, "Note",
          {{"fileId", "T_new"}, {"parentId", "NB"}, {"title", "pie new"}, {"modifyTime", 20}});
      Put(c, "Note",
          {{"fileId", "S"},
           {"parentId", "NB"},
           {"title", "x"},
           {"summary", "an apple"},
           {"modifyTime", 30}});
      Put(c, "Note", {{"fileId", "Z"}, {"parentId", "NB"}, {"title", "Apple"}, {"modifyTime", 40}});
      Put(c, "Note",
          {{"fileId", "SECRET"},
           {"parentId", "NB_LOCK"},
           {"title", "apple secret"},
           {"modifyTime", 5}});
      for (int i = 0; i < 30; ++i) {
        const std::string id = "P" + std::to_string(100 + i);
        Put(c, "Note", {{"fileId", id}, {"parentId", "NB"}, {"title", id}, {"modifyTime", i}});
        pears.push_back(id);
      }
    });
    std::vector<std::string> plums(pears.begin(), pears.begin() + 25);
    searcher_ = std::make_unique<TableSearcher>(
        *client_, std::map<std::string, std::vector<std::string>>{
                      {"apple pie", {"Z", "S", "T_old", "NB_APPLE", "T_new", "SECRET"}},
                      {"apple", {"Z", "S", "T_old", "SECRET"}},
                      {"pear", pears},
                      {"plum", plums}});
    util_ = std::make_unique<KXFileMetaWebUtil>(*client_);
    handler_ = std::make_unique<KXWebSearchRequestHandler>(
        *client_, *util_, [this](const std::string& keyword, KXDataCallback callback) {
          searcher_->search(keyword, std::move(callback));
        });
  }
  void TearDown() override {
    handler_.reset();
    util_.reset();
    searcher_.reset();
    StoreFixture::TearDown();
  }

  std::shared_ptr<AnswerRecorder> Send(const std::string& query) {
    auto recorder = std::make_shared<AnswerRecorder>();
    handler_->handleRequest(ServiceRequest("/qrt/api/personal/search?" + query), recorder);
    return recorder;
  }
  std::shared_ptr<AnswerRecorder> Ask(const std::string& query) {
    auto recorder = Send(query);
    EXPECT_TRUE(recorder->waitForAnswers()) << query;
    return recorder;
  }
  static std::vector<std::string> Ids(const kx::Value& answer) {
    std::vector<std::string> ids;
    for (const kx::Value& e : answer["entries"].array()) {
      const kx::Value& entry = e.contains("fileEntry") ? e["fileEntry"] : e;
      ids.push_back(entry["id"].stringValue());
    }
    return ids;
  }

  std::unique_ptr<TableSearcher> searcher_;
  std::unique_ptr<KXFileMetaWebUtil> util_;
  std::unique_ptr<KXWebSearchRequestHandler> handler_;
};

TEST_F(WebSearchRequestHandlerTest, AcceptsTheSearchPathOnly) {
  EXPECT_TRUE(handler_->acceptRequest(ServiceRequest("/qrt/api/personal/search")));
  EXPECT_TRUE(handler_->acceptRequest(ServiceRequest("/qrt/api/personal/search/x?method=any")));
  EXPECT_FALSE(handler_->acceptRequest(ServiceRequest("/qrt/api/personal/file?method=webSearch")));
  EXPECT_FALSE(handler_->acceptRequest(ServiceRequest("/qrt/api/search")));
}

TEST_F(WebSearchRequestHandlerTest, OrdersFoldersThenTitleThenSummaryThenNewest) {
  // "+" joins two words; "Apple" does not hold "apple" (case counts).
  auto answer = Ask("method=webSearch&kw=apple+pie&parentId=NB");
  ASSERT_FALSE(answer->error()) << answer->error().localizedDescription();
  EXPECT_EQ(answer->json()["count"].intValue(), 5);
  EXPECT_EQ(Ids(answer->json()),
            (std::vector<std::string>{"NB_APPLE", "T_new", "T_old", "S", "Z"}));
}

TEST_F(WebSearchRequestHandlerTest, LaterPagesComeFromTheKeptHitsAndPageZeroSearchesAgain) {
  auto first = Ask("method=webSearch&kw=pear&parentId=NB&b=0&l=20");
  EXPECT_EQ(first->json()["count"].intValue(), 30);
  EXPECT_EQ(first->json()["entries"].array().size(), 20u);
  EXPECT_EQ(searcher_->searches("pear"), 1);

  auto second = Ask("method=webSearch&kw=pear&parentId=NB&b=20&l=20");
  EXPECT_EQ(second->json()["entries"].array().size(), 10u);
  EXPECT_EQ(Ids(second->json()).front(), "P109");
  EXPECT_EQ(searcher_->searches("pear"), 1) << "the second page searched again";

  Ask("method=webSearch&kw=pear&parentId=NB&b=0&l=20");
  EXPECT_EQ(searcher_->searches("pear"), 2);
}

TEST_F(WebSearchRequestHandlerTest, NextPageOfANewKeywordNeverGetsThePreviousKeywordsHits) {
  Ask("method=webSearch&kw=pear&parentId=NB&b=0&l=20");
  // The new keyword's first search has not finished when its next page
  // is asked for.
  searcher_->hold(true);
  auto firstPage = Send("method=webSearch&kw=plum&parentId=NB&b=0&l=20");
  auto nextPage = Send("method=webSearch&kw=plum&parentId=NB&b=20&l=20");
  searcher_->hold(false);
  searcher_->releaseHeld();
  ASSERT_TRUE(firstPage->waitForAnswers());
  ASSERT_TRUE(nextPage->waitForAnswers());
  EXPECT_EQ(nextPage->json()["count"].intValue(), 25) << nextPage->text();
  EXPECT_EQ(nextPage->json()["entries"].array().size(), 5u);
  EXPECT_EQ(searcher_->searches("plum"), 2);
}

TEST_F(WebSearchRequestHandlerTest, HitsInEncryptedFoldersAreMarkedInTheEntireFormOnly) {
  auto entire = Ask("method=webSearch&kw=apple&entire=1");
  ASSERT_FALSE(entire->error());
  bool sawSecret = false;
  const kx::Value entireJSON = entire->json();
  for (const kx::Value& e : entireJSON["entries"].array()) {
    const bool secret = e["fileEntry"]["id"].stringValue() == "SECRET";
    sawSecret = sawSecret || secret;
    EXPECT_EQ(e["otherProp"]["inEncryptedFolder"].stringValue(), secret ? "true" : "")
        << JSONString(e);
  }
  EXPECT_TRUE(sawSecret);

  // "true" reads as the integer 0: the short form, without "otherProp".
  auto brief = Ask("method=webSearch&kw=apple&entire=true&b=0");
  ASSERT_FALSE(brief->json()["entries"].array().empty());
  const kx::Value briefJSON = brief->json();
  for (const kx::Value& e : briefJSON["entries"].array()) {
    EXPECT_FALSE(e.contains("otherProp")) << JSONString(e);
  }
}

TEST_F(WebSearchRequestHandlerTest, BeginBeyondTheHitsAnswersTheCountAndNoEntries) {
  auto answer = Ask("method=webSearch&kw=pear&parentId=NB&b=500");
  EXPECT_EQ(answer->json()["count"].intValue(), 30);
  EXPECT_TRUE(answer->json()["entries"].array().empty());
}

TEST_F(WebSearchRequestHandlerTest, RefusalsAndFailedSearches) {
  for (const char* query : {"kw=pear", "method=search&kw=pear"}) {
    auto answer = Ask(query);
    EXPECT_TRUE(answer->failedWith(KXURLErrorBadURL)) << query;
  }
  auto broken = Ask("method=webSearch&kw=broken");
  EXPECT_TRUE(broken->failedWith(KXURLErrorResourceUnavailable));
}

}  // namespace
