#include "WebRequest/KXWebPenNoteHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "HandlerTestSupport.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

constexpr const char* kPull = "/qrt/api/personal/sync/blepenbook?method=pull";

class WebPenNoteHandlerTest : public kxtest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    handler_ = std::make_unique<KXWebPenNoteHandler>(
        *client_, KXWebPenNoteHandler::Environment{
                      [this](const std::string&) {
                        ++reachabilityChecks_;
                        return online_.load();
                      },
                      [](const std::string& entryId) {
                        return entryId == "B1" ? kx::Value::dict({{"entryId", "B1"}, {"pages", 3}})
                                               : kx::Value();
                      }});
  }
  void StoreBooks() {
    Write([](KXManagedObjectContext& c) {
      Put(c, "CloudPen",
          {{"entryId", "B1"}, {"name", "Sketches"}, {"active", true}, {"version", 3}});
      Put(c, "CloudPen", {{"entryId", "B2"}, {"name", "Plans"}, {"active", false}});
      Put(c, "CloudPen", {{"name", "no id"}});
    });
  }
  std::shared_ptr<AnswerRecorder> Ask(const std::string& path) {
    auto recorder = std::make_shared<AnswerRecorder>();
    handler_->handleRequest(ServiceRequest(path), recorder);
    EXPECT_EQ(recorder->count(), 1) << path;
    return recorder;
  }

  std::unique_ptr<KXWebPenNoteHandler> handler_;
  std::atomic<bool> online_{false};
  std::atomic<int> reachabilityChecks_{0};
};

TEST_F(WebPenNoteHandlerTest, OnlyPenRequestsPayForTheReachabilityCheck) {
  for (const char* path :
       {"/qrt/api/personal/file?method=pull", "/qrt/api/personal/sync/blepenbook",
        "/qrt/api/personal/sync/blepenbook?method=push", "/qrt/mapi/tag?method=pull"}) {
    EXPECT_FALSE(handler_->acceptRequest(ServiceRequest(path))) << path;
  }
  EXPECT_EQ(reachabilityChecks_.load(), 0);

  EXPECT_TRUE(handler_->acceptRequest(ServiceRequest(kPull)));
  EXPECT_TRUE(handler_->acceptRequest(
      ServiceRequest("/qrt/api/personal/sync/blepenbook?method=latestPages&entryId=B1")));
  online_ = true;
  EXPECT_FALSE(handler_->acceptRequest(ServiceRequest(kPull))) << "online: the service answers";
  EXPECT_EQ(reachabilityChecks_.load(), 3);
}

TEST_F(WebPenNoteHandlerTest, PullListsTheStoredBooksUnderTheServiceKeys) {
  StoreBooks();
  auto answer = Ask(kPull);
  const kx::Value json = answer->json();
  const kx::Array& books = json["bookEntries"].array();
  ASSERT_EQ(books.size(), 2u);
  EXPECT_EQ(books[0]["entryId"].stringValue(), "B1");
  EXPECT_TRUE(books[0]["avtice"].boolValue());
  EXPECT_FALSE(books[0].contains("active"));
  EXPECT_EQ(books[0]["version"].intValue(), 3);
  EXPECT_FALSE(books[1].contains("version")) << "an attribute without a value is left out";
}

TEST_F(WebPenNoteHandlerTest, LatestPagesAnswersTheKeptPagesOfTheBook) {
  auto answer = Ask("/qrt/api/personal/sync/blepenbook?method=latestPages&entryId=B1");
  EXPECT_EQ(answer->json()["pages"].intValue(), 3);
}

TEST_F(WebPenNoteHandlerTest, RefusalsAnswerMinus1000) {
  for (const char* path : {
           kPull,  // no book stored
           "/qrt/api/personal/sync/blepenbook?method=latestPages",
           "/qrt/api/personal/sync/blepenbook?method=latestPages&entryId=B9",
           "/qrt/api/personal/sync/blepenbook?method=pullAll",
           "/qrt/api/personal/sync/blepenbook",
       }) {
    EXPECT_TRUE(Ask(path)->failedWith(KXURLErrorBadURL)) << path;
  }
}

}  // namespace
