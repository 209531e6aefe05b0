#include "sync/cycle/KXSyncStatisInfo.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Data/DataClientFixture.h"
#include "Data/client/KXSyncRecords.h"
#include "account/KXNetworkOperation.h"
#include "support/QueueBarrier.h"
#include "support/TestNoteService.h"
#include "support/TestPenStatisEndpoints.h"

namespace {

class KXSyncStatisInfoTest : public kxtest::DataClientFixture {
 protected:
  void SetUp() override {
    DataClientFixture::SetUp();
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    statis = std::make_unique<kxtest::TestStatisEndpoints>(service);
    info = std::make_unique<KXSyncStatisInfo>(client_.get(), service.baseURL(),
                                              [] { return std::string("u42"); });
  }
  void TearDown() override {
    ASSERT_TRUE(kxtest::waitForQueue(info->queue()));
    service.releaseHeld();
    service.stop();
    DataClientFixture::TearDown();
  }

  void count(const std::string& key, std::int64_t n) {
    client_->records().addStatisKey(key, kx::Value(n));
    Write([](KXManagedObjectContext&) {});
  }
  void push() {
    info->pushStaticInfo();
    ASSERT_TRUE(kxtest::waitForQueue(info->queue(), 30));
  }
  std::vector<kxtest::RecordedRequest> sent() {
    return service.requests(kxtest::TestStatisEndpoints::kStatisPath);
  }

  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestStatisEndpoints> statis;
  std::unique_ptr<KXSyncStatisInfo> info;
};

TEST_F(KXSyncStatisInfoTest, NoCountersNoRequest) {
  push();
  EXPECT_TRUE(sent().empty());
}

TEST_F(KXSyncStatisInfoTest, CountersTravelAsAQueryAndAreClearedOnlyWhenTaken) {
  count("pull_conflict", 2);
  count("trackEvent", 1);

  struct Case {
    const char* what;
    kxtest::Reply reply;
    bool cleared;
  };
  const std::vector<Case> cases = {
      {"refused", kxtest::Reply::json(200, "{\"error\":true}"), false},
      {"failed", kxtest::Reply::json(500, "{}"), false},
      {"not JSON", kxtest::Reply::json(200, "nope"), false},
      {"taken", kxtest::Reply::json(200, "{}"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    statis->setReply(c.reply);
    push();
    ASSERT_FALSE(sent().empty());
    const kxtest::RecordedRequest request = sent().back();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(kxtest::queryValue(request.query, "pull_conflict"), "2");
    EXPECT_EQ(kxtest::queryValue(request.query, "trackEvent"), "1");
    EXPECT_EQ(kxtest::queryValue(request.query, "userid"), "u42");
    EXPECT_EQ(client_->records().fetchStatisInfo().empty(), c.cleared);
  }
}

TEST_F(KXSyncStatisInfoTest, WhatIsCountedDuringTheUploadStays) {
  count("pull_conflict", 2);
  service.setFault(kxtest::TestStatisEndpoints::kStatisPath, kxtest::Fault::held());
  info->pushStaticInfo();
  ASSERT_TRUE(service.waitForInFlight(1));
  count("pull_conflict", 3);
  service.clearFault(kxtest::TestStatisEndpoints::kStatisPath);
  service.releaseHeld();
  ASSERT_TRUE(kxtest::waitForQueue(info->queue(), 30));
  Write([](KXManagedObjectContext&) {});
  kx::Dictionary left = client_->records().fetchStatisInfo();
  EXPECT_EQ(left["pull_conflict"].intValue(), 3);
}

TEST_F(KXSyncStatisInfoTest, SyncInformationIsPostedAsItIs) {
  info->syncInfo(kx::Dictionary{{"cost", kx::Value(12)}, {"result", kx::Value("ok")}});
  ASSERT_TRUE(kxtest::waitForQueue(info->queue(), 30));
  auto posted = service.requests(KXSyncStatisInfo::kSyncInfoPath);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].method, "POST");
  EXPECT_EQ(kxtest::queryValue(posted[0].query, "method"), "putmacstat");
  EXPECT_EQ(kxtest::formValue(posted[0].body, "cost"), "12");
  EXPECT_EQ(kxtest::formValue(posted[0].body, "result"), "ok");
}

}  // namespace
