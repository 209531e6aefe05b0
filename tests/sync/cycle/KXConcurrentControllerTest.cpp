#include "sync/cycle/KXConcurrentController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "account/KXNetworkOperation.h"
#include "support/QueueBarrier.h"
#include "support/TestNoteService.h"

namespace {

using kxtest::RecordedRequest;
using kxtest::Reply;

// "/slow" answers only when the test opens the gate (or after 20 s), and
// counts the requests it holds at once.
class KXConcurrentControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    service.route("GET", "/slow", [this](const RecordedRequest&) {
      std::unique_lock<std::mutex> lock(mu);
      ++holding;
      maxHolding = std::max(maxHolding, holding);
      changed.notify_all();
      changed.wait_for(lock, std::chrono::seconds(20), [&] { return open; });
      --holding;
      return Reply::json(200, "{}");
    });
  }
  void TearDown() override {
    openGate();
    service.stop();
  }
  void openGate() {
    std::lock_guard<std::mutex> lock(mu);
    open = true;
    changed.notify_all();
  }
  bool waitHolding(int count) {
    std::unique_lock<std::mutex> lock(mu);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return holding == count; });
  }
  std::shared_ptr<KXNetworkOperation> slowOperation() {
    auto operation = std::make_shared<KXNetworkOperation>();
    operation->setOption({{"url", service.baseURL() + "/slow"}, {"method", "GET"}});
    return operation;
  }
  // Resumes `count` slow operations; each block adds one to `answered`.
  std::vector<std::shared_ptr<KXNetworkOperation>> resume(KXConcurrentController& controller,
                                                          int count, std::atomic<int>& answered) {
    std::vector<std::shared_ptr<KXNetworkOperation>> operations;
    for (int i = 0; i < count; ++i) {
      auto operation = slowOperation();
      EXPECT_TRUE(controller.concurrentResumeWithOperator(
          operation, [&answered](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) {
            ++answered;
          }));
      operations.push_back(operation);
    }
    return operations;
  }

  kxtest::TestNoteService service;
  std::mutex mu;
  std::condition_variable changed;
  int holding = 0;     // guarded by mu
  int maxHolding = 0;  // guarded by mu
  bool open = false;   // guarded by mu
};

TEST_F(KXConcurrentControllerTest, WidthsAreNeverExceeded) {
  for (std::int64_t width :
       {KXConcurrentController::kPullConcurrentLen, KXConcurrentController::kPushConcurrentLen}) {
    SCOPED_TRACE(width);
    {
      std::lock_guard<std::mutex> lock(mu);
      open = false;
      maxHolding = 0;
    }
    auto controller = std::make_shared<KXConcurrentController>(width);
    std::atomic<int> answered{0};
    auto operations = resume(*controller, 10, answered);
    ASSERT_TRUE(waitHolding(static_cast<int>(width)));
    EXPECT_EQ(controller->workQueue().runningCount(), static_cast<std::size_t>(width));
    EXPECT_EQ(controller->workQueue().operationCount(), 10u);
    openGate();
    ASSERT_TRUE(controller->workQueue().waitUntilAllOperationsAreFinished(20));
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return answered.load() == 10; }, 20));
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(maxHolding, width);
  }
  EXPECT_EQ(KXConcurrentController::pullController().concurrentLen(), 7);
  EXPECT_EQ(KXConcurrentController::pushController().concurrentLen(), 3);
  EXPECT_EQ(KXConcurrentController().concurrentLen(), 7);
}

TEST_F(KXConcurrentControllerTest, ClearingCancelsWaitingAndRunningWithoutCallingBlocks) {
  auto pull = std::make_shared<KXConcurrentController>(7);
  auto push = std::make_shared<KXConcurrentController>(3);
  std::atomic<int> pullAnswered{0}, pushAnswered{0};
  auto pullOperations = resume(*pull, 10, pullAnswered);
  auto pushOperations = resume(*push, 2, pushAnswered);
  ASSERT_TRUE(waitHolding(9));

  pull->clearEnvironment();
  ASSERT_TRUE(pull->workQueue().waitUntilAllOperationsAreFinished(20));
  for (const auto& operation : pullOperations) EXPECT_TRUE(operation->isCancelled());
  EXPECT_EQ(push->workQueue().operationCount(), 2u) << "the push controller is untouched";

  openGate();
  ASSERT_TRUE(push->workQueue().waitUntilAllOperationsAreFinished(20));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return pushAnswered.load() == 2; }, 20));
  ASSERT_TRUE(service.waitForInFlight(0, 20));
  EXPECT_EQ(pullAnswered.load(), 0);
  EXPECT_EQ(service.requests("/slow").size(), 9u) << "the three waiting downloads never went out";
}

TEST_F(KXConcurrentControllerTest, AnOperationIsResumedOnce) {
  auto controller = std::make_shared<KXConcurrentController>(7);
  auto operation = slowOperation();
  openGate();
  std::atomic<int> answered{0};
  auto block = [&answered](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) {
    ++answered;
  };
  EXPECT_TRUE(controller->concurrentResumeWithOperator(operation, block));
  EXPECT_FALSE(controller->concurrentResumeWithOperator(operation, block));
  ASSERT_TRUE(controller->workQueue().waitUntilAllOperationsAreFinished(20));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return answered.load() == 1; }, 20));
  EXPECT_EQ(service.requests("/slow").size(), 1u);
}

}  // namespace
