#include "WebRequest/KXDbQueryHandler.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "WebRequest/KXLocalResponse.h"
#include "WebRequest/KXURLError.h"
#include "platform/MainQueue.h"
#include "support/QueueBarrier.h"

namespace {

struct Call {
  std::string body;
  std::string headers;
  bool onMain;
};

class DbQueryHandlerTest : public ::testing::Test {
 protected:
  std::shared_ptr<KXDbQueryHandler> Make() {
    return KXDbQueryHandler::handlerWithCallback(
        [this](const kx::Bytes& body, const std::string& headers) {
          calls_.push_back({std::string(body.begin(), body.end()), headers,
                            kx::MainQueue::shared().isCurrent()});
        });
  }
  static kx::HTTPURLResponse Response(kx::HTTPHeaderFields headers = {}) {
    return KXLocalResponse::response(*kx::URL::parse("https://note.zarvel.com/qrt/x"), 200,
                                     std::move(headers));
  }

  std::vector<Call> calls_;  // written on the main queue, read after draining it
};

TEST_F(DbQueryHandlerTest, AnAnswerWithABodyCallsThePageOnTheMainQueue) {
  auto handler = Make();
  // Answered from another thread, as a store queue would.
  std::thread([&] {
    handler->localReceiveResponse(Response(), kx::Bytes{'{', '}'}, kx::Error());
  }).join();
  EXPECT_TRUE(calls_.empty()) << "called before the main queue ran";
  kx::MainQueue::shared().drain();
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].body, "{}");
  EXPECT_EQ(calls_[0].headers, "{}");
  EXPECT_TRUE(calls_[0].onMain);
}

TEST_F(DbQueryHandlerTest, HeaderFieldsTravelAsOneJSONObject) {
  auto handler = Make();
  kx::HTTPHeaderFields headers;
  headers.set("Content-Type", "image/png");
  headers.set("Cache-Control", "max-age=1");
  handler->localReceiveResponse(Response(headers), kx::Bytes{'x'}, kx::Error());
  kx::MainQueue::shared().drain();
  ASSERT_EQ(calls_.size(), 1u);
  kx::Value parsed = objectFromJSONString(calls_[0].headers);
  EXPECT_EQ(parsed["Content-Type"].stringValue(), "image/png");
  EXPECT_EQ(parsed["Cache-Control"].stringValue(), "max-age=1");
}

TEST_F(DbQueryHandlerTest, ErrorsAndEmptyBodiesNeverReachThePage) {
  auto handler = Make();
  handler->localReceiveResponse(std::nullopt, std::nullopt, KXURLError::make(KXURLErrorBadURL));
  handler->localReceiveResponse(Response(), std::nullopt, kx::Error());
  handler->localReceiveResponse(Response(), kx::Bytes(), kx::Error());
  kx::MainQueue::shared().drain();
  EXPECT_TRUE(calls_.empty());
}

}  // namespace
