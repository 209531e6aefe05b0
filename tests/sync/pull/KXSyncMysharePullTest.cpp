// The my-share pull against the test note service: pages applied as they
// arrive, the cursor kept across pulls, the stored time moved on only when
// the last page is in, and the shared documents' text in the index.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Data/client/KXStoreState.h"
#include "platform/Time.h"
#include "support/TestMyshareEndpoints.h"
#include "sync/StorePullFixture.h"
#include "sync/cycle/KXSyncMyshare.h"
#include "sync/cycle/KXSyncMyshareServiceFetcher.h"

namespace {

class KXSyncMysharePullTest : public kxtest::StorePullFixture {
 protected:
  void SetUp() override {
    StorePullFixture::SetUp();
    shares = std::make_unique<kxtest::TestMyshareEndpoints>(service);
    proxy = std::make_unique<KXSyncMyshare>(client_.get(), service.baseURL());
    proxy->setContentFetcher(std::make_shared<KXSyncMyshareServiceFetcher>(service.baseURL()));
  }
  void TearDown() override {
    ASSERT_TRUE(kxtest::waitForQueue(proxy->queue()));
    StorePullFixture::TearDown();
  }

  void pull() {
    proxy->startPull();
    ASSERT_TRUE(kxtest::waitForQueue(proxy->queue(), 60));
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
  }
  kx::Value lastTime() {
    return client_->state().dbStateValueWithKey(std::string("myShareLastTime"));
  }
  std::vector<kxtest::RecordedRequest> pullRequests() {
    std::vector<kxtest::RecordedRequest> out;
    for (auto& r : service.requests(kxtest::TestMyshareEndpoints::kMysharePath)) {
      if (kxtest::queryValue(r.query, "method") == "pull") out.push_back(r);
    }
    return out;
  }
  std::size_t storedShares() {
    std::size_t n = 0;
    for (const auto& [id, row] : stored()) n += id.rfind("S", 0) == 0 ? 1 : 0;
    return n;
  }

  std::unique_ptr<kxtest::TestMyshareEndpoints> shares;
  std::unique_ptr<KXSyncMyshare> proxy;
};

TEST_F(KXSyncMysharePullTest, ShareEntriesLandInTheStoreAndTheIndex) {
  Write([&](KXManagedObjectContext& context) {
    kxtest::Put(context, "NormalFile",
                {{"fileId", kx::Value("S2")},
                 {"parentId", kx::Value("SHARED")},
                 {"title", kx::Value("old.pdf")},
                 {"domain", kx::Value(true)}});
  });
  shares->putShare(
      "S1", "walrus plans.note", false,
      "<?xml version=\"1.0\"?><note><body><para><text>tusks and kelp</text></para></body></note>",
      10);
  shares->putShare("S2", "scan.pdf", true, "%PDF binary", 10);

  pull();
  auto rows = stored();
  EXPECT_EQ(rows["S1"]["title"].stringValue(), "walrus plans.note");
  EXPECT_EQ(rows["S1"]["localModified"].intValue(), 0);
  EXPECT_EQ(rows["S2"]["title"].stringValue(), "scan.pdf") << "changed in place";
  // The note's text comes from its own request, after the page.
  ASSERT_TRUE(kxtest::pumpMainUntil([&] {
    WaitForIndex();
    return !Search("kelp").empty();
  }));
  EXPECT_EQ(Search("kelp"), std::vector<std::string>{"S1"});
  EXPECT_EQ(Search("walrus"), std::vector<std::string>{"S1"});
  EXPECT_EQ(Search("scan.pdf"), std::vector<std::string>{"S2"});
  // Only the note's content was asked for: a stored file is found by title.
  std::size_t downloads = 0;
  for (auto& r : service.requests(kxtest::TestMyshareEndpoints::kMysharePath)) {
    downloads += kxtest::queryValue(r.query, "method") == "download" ? 1 : 0;
  }
  EXPECT_EQ(downloads, 1u);

  // The first pull sends no time; the next one the time the first began.
  auto requests = pullRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(kxtest::formValue(requests[0].body, "lastTime"), "");
  EXPECT_EQ(kxtest::formValue(requests[0].body, "limit"), "512");
  ASSERT_FALSE(lastTime().isNull());
  EXPECT_GT(lastTime().intValue(), 0);
  const std::string first = lastTime().stringValue();
  pull();
  EXPECT_EQ(kxtest::formValue(pullRequests().back().body, "lastTime"), first);
}

TEST_F(KXSyncMysharePullTest, AListLongerThanOnePullsRequestsArrivesOverTwoPulls) {
  shares->setPageSize(2);
  for (int i = 0; i < 10; ++i) shares->putShare("S" + std::to_string(i), "f.pdf", true, "", 10);

  pull();
  EXPECT_EQ(pullRequests().size(), 3u);
  EXPECT_EQ(storedShares(), 6u) << "each page is applied as it arrives";
  EXPECT_TRUE(lastTime().isNull()) << "the time waits for the last page";
  EXPECT_FALSE(proxy->truncatedMarker().empty());

  pull();
  EXPECT_EQ(pullRequests().size(), 5u);
  EXPECT_EQ(kxtest::formValue(pullRequests()[3].body, "lastId"), "S5");
  EXPECT_EQ(storedShares(), 10u);
  EXPECT_FALSE(lastTime().isNull());
  EXPECT_TRUE(proxy->truncatedMarker().empty());
}

TEST_F(KXSyncMysharePullTest, AFailingPageKeepsTheStoredTime) {
  shares->putShare("S0", "a.pdf", true, "", 10);
  pull();
  const kx::Value before = lastTime();
  ASSERT_FALSE(before.isNull());

  shares->setPageSize(1);
  const std::int64_t later = static_cast<std::int64_t>(kx::Time::nowSeconds()) + 1000;
  shares->putShare("S1", "b.pdf", true, "", later);
  shares->putShare("S2", "c.pdf", true, "", later);
  shares->failPullRequest(2);
  shares->failPullRequest(3);
  pull();
  EXPECT_EQ(lastTime(), before);
  EXPECT_EQ(storedShares(), 2u) << "the page that arrived is in";

  pull();
  EXPECT_EQ(storedShares(), 3u);
  EXPECT_GT(lastTime().intValue(), before.intValue() - 1);
  EXPECT_TRUE(proxy->truncatedMarker().empty());
}

}  // namespace
