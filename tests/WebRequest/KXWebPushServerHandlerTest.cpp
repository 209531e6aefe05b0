#include "WebRequest/KXWebPushServerHandler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HandlerTestSupport.h"
#include "WebRequest/KXSingleAnswerController.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

class WebPushServerHandlerTest : public kxtest::StoreFixture {
 protected:
  std::shared_ptr<AnswerRecorder> Poll(KXWebPushServerHandler& handler) {
    auto recorder = std::make_shared<AnswerRecorder>();
    handler.handleRequest(ServiceRequest("/pushserver3/client?uid=alice"),
                          std::make_shared<KXSingleAnswerController>(recorder, "poll"));
    return recorder;
  }
};

TEST_F(WebPushServerHandlerTest, AcceptsThePushServerPathOnly) {
  KXWebPushServerHandler handler([] { return nullptr; });
  EXPECT_TRUE(handler.acceptRequest(ServiceRequest("/pushserver3/client")));
  EXPECT_TRUE(handler.acceptRequest(ServiceRequest("/pushserver3")));
  EXPECT_FALSE(handler.acceptRequest(ServiceRequest("/pushserver2/client")));
  EXPECT_FALSE(handler.acceptRequest(ServiceRequest("/qrt/pushserver3")));
}

TEST_F(WebPushServerHandlerTest, FirstPollAnswersTheUserMetaAndLaterOnesAreHeld) {
  Write([](KXManagedObjectContext& c) {
    Put(c, "User", {{"userId", "alice"}, {"nickname", "Al"}});
  });
  KXWebPushServerHandler handler([this] { return client_.get(); });
  auto first = Poll(handler);
  ASSERT_EQ(first->count(), 1);
  EXPECT_EQ(first->json()["uid"].stringValue(), "alice");
  EXPECT_EQ(handler.openRequestCount(), 0u);

  auto second = Poll(handler);
  EXPECT_EQ(second->count(), 0);
  EXPECT_EQ(handler.openRequestCount(), 1u);
}

TEST_F(WebPushServerHandlerTest, NoStoredUserAnswersAnEmptyObject) {
  for (bool signedIn : {true, false}) {
    KXWebPushServerHandler handler(
        [this, signedIn]() -> KXDataClient* { return signedIn ? client_.get() : nullptr; });
    auto first = Poll(handler);
    ASSERT_EQ(first->count(), 1);
    EXPECT_EQ(first->text().find("null"), std::string::npos);
    EXPECT_TRUE(first->json().isDictionary() && first->json().dict().empty()) << first->text();
  }
}

TEST_F(WebPushServerHandlerTest, HeldPollsAreLetGoWhenReplacedOrWhenTheirAskerLeaves) {
  KXWebPushServerHandler handler([] { return nullptr; });
  Poll(handler);
  std::vector<std::shared_ptr<AnswerRecorder>> polls;
  for (int i = 0; i < 5; ++i) polls.push_back(Poll(handler));
  // Only the newest is held; each replaced one was let go with -1000.
  EXPECT_EQ(handler.openRequestCount(), 1u);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(polls[i]->failedWith(KXURLErrorBadURL)) << i;
  EXPECT_EQ(polls[4]->count(), 0);

  // A replaced poll's late cancellation lets nothing go.
  polls[3]->cancel();
  EXPECT_EQ(handler.openRequestCount(), 1u);

  // The asker of the held poll goes away: nothing stays open.
  polls[4]->cancel();
  EXPECT_EQ(handler.openRequestCount(), 0u);
  EXPECT_EQ(polls[4]->count(), 1) << "let go through the single-answer guard";
}

TEST_F(WebPushServerHandlerTest, CancellationAfterTheHandlerIsGoneIsHarmless) {
  auto handler = std::make_unique<KXWebPushServerHandler>([] { return nullptr; });
  Poll(*handler);
  auto held = Poll(*handler);
  handler.reset();
  held->cancel();
  EXPECT_EQ(held->count(), 1);
}

}  // namespace
