#include "CommonUtils/KXCrashLogger.h"

#include <gtest/gtest.h>

#include <mutex>

#include "platform/GlobalQueue.h"

namespace {

class RecordingReporter : public KXCrashReporter {
 public:
  void start(const std::string& appSecret, const std::vector<std::string>& services) override {
    std::lock_guard<std::mutex> guard(lock);
    starts.push_back(appSecret);
    startedServices = services;
  }
  void setUserId(const std::string& userId) override {
    std::lock_guard<std::mutex> guard(lock);
    userIds.push_back(userId);
  }
  std::mutex lock;
  std::vector<std::string> starts;
  std::vector<std::string> startedServices;
  std::vector<std::string> userIds;
};

void waitForBackgroundQueue() {
  ASSERT_TRUE(kx::GlobalQueue::get(kx::QueuePriority::Background).waitForEarlierTasks(30));
}

class KXCrashLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { KXCrashLogger::setReporter(reporter); }
  void TearDown() override {
    KXCrashLogger::setReporter(nullptr);
    KXCrashLogger::setUserRecordProvider(nullptr);
  }
  std::shared_ptr<RecordingReporter> reporter = std::make_shared<RecordingReporter>();
};

}  // namespace

TEST_F(KXCrashLoggerTest, StartPassesTheSecretAndTheTwoServices) {
  KXCrashLogger::StartCrashlyticsLogger();
  ASSERT_EQ(reporter->starts.size(), 1u);
  EXPECT_EQ(reporter->starts[0].size(), 36u);
  EXPECT_EQ(reporter->startedServices, (std::vector<std::string>{"MSAnalytics", "MSCrashes"}));
}

TEST_F(KXCrashLoggerTest, UserIdThenNicknameThenNothing) {
  struct Case {
    std::optional<KXCrashLogger::UserRecord> record;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {KXCrashLogger::UserRecord{"u-1", "Nick"}, {"u-1"}},
      {KXCrashLogger::UserRecord{"", "Nick"}, {"Nick"}},
      {KXCrashLogger::UserRecord{"", ""}, {}},
      {std::nullopt, {}},
  };
  for (const Case& c : cases) {
    reporter->userIds.clear();
    KXCrashLogger::setUserRecordProvider([record = c.record] { return record; });
    KXCrashLogger::configUserInfo();
    waitForBackgroundQueue();
    std::lock_guard<std::mutex> guard(reporter->lock);
    EXPECT_EQ(reporter->userIds, c.expected);
  }
}

TEST_F(KXCrashLoggerTest, WithoutAProviderOrAReporterNothingHappens) {
  KXCrashLogger::configUserInfo();
  waitForBackgroundQueue();
  EXPECT_TRUE(reporter->userIds.empty());
  KXCrashLogger::setReporter(nullptr);
  KXCrashLogger::setUserRecordProvider([] {
    return std::optional(KXCrashLogger::UserRecord{"u", ""});
  });
  KXCrashLogger::StartCrashlyticsLogger();  // the default reporter takes it silently
  KXCrashLogger::configUserInfo();
  waitForBackgroundQueue();
  EXPECT_TRUE(reporter->starts.empty());
}
