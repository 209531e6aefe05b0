// The my-share proxy's index feed: a stored file other than Markdown by its
// title alone, everything else through the content fetcher, and what is
// left unindexed without one or when the fetch fails.
#include "sync/cycle/KXSyncMyshare.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Data/DataClientFixture.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXIndexFeed.h"
#include "Data/client/KXMyshareHooks.h"
#include "search/KXSLucene.h"

namespace {

using kxtest::Put;

// Answers the texts it was given; an id it has no text for fails.
class FakeFetcher : public KXSyncMyshareContentFetcher {
 public:
  explicit FakeFetcher(std::map<std::string, std::string> texts) : texts_(std::move(texts)) {}
  void fetchContent(const std::string& fileId, const kx::Value& version,
                    Completion completion) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      asked_.emplace_back(fileId, version);
    }
    auto found = texts_.find(fileId);
    if (found == texts_.end()) {
      completion(std::nullopt, kx::Error::make("test.service", 404, "no such share"));
    } else {
      completion(found->second, kx::Error());
    }
  }
  std::vector<std::pair<std::string, kx::Value>> asked() {
    std::lock_guard<std::mutex> lock(mu_);
    return asked_;
  }

 private:
  std::map<std::string, std::string> texts_;
  std::mutex mu_;
  std::vector<std::pair<std::string, kx::Value>> asked_;
};

class SyncMyshareTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    ASSERT_NE(client_->indexing().ftsIndexer(), nullptr);
    Write([](KXManagedObjectContext& c) {
      for (const char* id : {"S_png", "S_md", "S_note", "S_gone"}) {
        Put(c, "NormalFile",
            {{"fileId", kx::Value(id)},
             {"parentId", kx::Value("ROOT")},
             {"title", kx::Value(id)},
             {"public_key", kx::Value("k")}});
      }
    });
  }

  bool Indexed(const std::string& fileId) {
    KXFileMetaPtr entry = client_->reads().objectForFileMetaID(fileId);
    EXPECT_TRUE(entry) << fileId;
    return entry && entry->boolValue("hasIndex");
  }
  static kx::Dictionary Info(const char* fileId, const char* title, int domain,
                             std::optional<int> version = std::nullopt) {
    kx::Dictionary info{
        {"fileId", kx::Value(fileId)}, {"title", kx::Value(title)}, {"domain", kx::Value(domain)}};
    if (version) info.set("version", kx::Value(*version));
    return info;
  }
};

}  // namespace

TEST_F(SyncMyshareTest, AStoredFileOtherThanMarkdownIsIndexedByItsTitle) {
  KXSyncMyshare proxy(client_.get());
  proxy.indexForFileInfo(Info("S_png", "holiday.png", 1, 3));
  WaitForIndex();
  EXPECT_TRUE(Indexed("S_png"));
  EXPECT_EQ(Search("holiday.png"), std::vector<std::string>{"S_png"});
}

TEST_F(SyncMyshareTest, WithoutAFetcherEntriesThatNeedTheServiceStayUnindexed) {
  KXSyncMyshare proxy(client_.get());
  proxy.indexForFileInfo(Info("S_md", "shared.md", 1, 3));
  proxy.indexForFileInfo(Info("S_note", "memo", 0));
  proxy.indexForFileInfo(
      kx::Dictionary{{"title", kx::Value("no id.png")}, {"domain", kx::Value(1)}});
  WaitForIndex();
  EXPECT_FALSE(Indexed("S_md"));
  EXPECT_FALSE(Indexed("S_note"));
  EXPECT_TRUE(Search("shared.md").empty());
  EXPECT_NE(LogText().find("S_md left unindexed"), std::string::npos);
}

TEST_F(SyncMyshareTest, TheFetchedContentIsIndexedAndAFailedFetchLeavesTheEntry) {
  KXSyncMyshare proxy(client_.get());
  auto fetcher = std::make_shared<FakeFetcher>(
      std::map<std::string, std::string>{{"S_md", "sable"}, {"S_note", "walrus"}});
  proxy.setContentFetcher(fetcher);
  proxy.indexForFileInfo(Info("S_md", "shared.md", 1, 3));
  proxy.indexForFileInfo(Info("S_note", "memo", 0));
  proxy.indexForFileInfo(Info("S_gone", "gone.md", 1, 9));
  WaitForIndex();
  EXPECT_EQ(fetcher->asked(),
            (std::vector<std::pair<std::string, kx::Value>>{
                {"S_md", kx::Value(3)}, {"S_note", kx::Value()}, {"S_gone", kx::Value(9)}}));
  EXPECT_TRUE(Indexed("S_md"));
  EXPECT_TRUE(Indexed("S_note"));
  EXPECT_FALSE(Indexed("S_gone"));
  EXPECT_EQ(Search("sable"), std::vector<std::string>{"S_md"});
  EXPECT_EQ(Search("walrus"), std::vector<std::string>{"S_note"});
  EXPECT_NE(LogText().find("S_gone left unindexed: no such share"), std::string::npos);
}

TEST_F(SyncMyshareTest, TheInstalledHookReachesTheDefaultProxy) {
  KXMyshareHooks::resetForTesting();
  EXPECT_FALSE(KXMyshareHooks::isInstalled());
  KXSyncMyshare::installIndexHook();
  EXPECT_TRUE(KXMyshareHooks::isInstalled());
  KXMyshareHooks::resetForTesting();
}
