#include "sync/push/KXFileUploader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>

#include "account/KXNetworkOperation.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"
#include "support/TestPushEndpoints.h"
#include "support/TestSyncEndpoints.h"
#include "sync/cycle/KXConcurrentController.h"

namespace {

using kxtest::TestPushEndpoints;

struct Outcome {
  kx::Value answer;
  kx::Error error;
};

class KXFileUploaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service.start(nullptr));
    service.attach(KXNetworkOperation::sharedTransport());
    sync = std::make_unique<kxtest::TestSyncEndpoints>(service);
    push = std::make_unique<TestPushEndpoints>(service, *sync);
  }
  void TearDown() override {
    service.releaseHeld();
    controller.clearEnvironment();
    service.stop();
    push.reset();
    sync.reset();
  }
  std::string makeFile(const std::string& name, const std::string& bytes) {
    std::string path = root.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  // Runs the upload to its end.
  Outcome upload(const std::string& path, std::int64_t size) {
    auto uploader = std::make_shared<KXFileUploader>(path, size, service.baseURL(), controller);
    std::promise<Outcome> done;
    uploader->uploadWithCallback([&done](const kx::Value& answer, const kx::Error& error) {
      done.set_value({answer, error});
    });
    auto future = done.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    return future.get();
  }
  std::vector<std::string> ranges(const std::string& transmitId) {
    std::vector<std::string> out;
    for (const auto& r :
         service.requests(std::string(TestPushEndpoints::kUploadPath) + "/" + transmitId)) {
      out.push_back(r.header("Content-Range"));
    }
    return out;
  }

  kxtest::TempAppRoot root;
  kxtest::TestNoteService service;
  std::unique_ptr<kxtest::TestSyncEndpoints> sync;
  std::unique_ptr<TestPushEndpoints> push;
  KXConcurrentController controller{KXConcurrentController::kPushConcurrentLen};
};

TEST(KXFileUploaderRangeTest, TheCheckAnswerNamesTheFirstMissingByte) {
  struct Case {
    std::optional<std::string> range;
    std::int64_t size;
    std::int64_t first;  // -1: done
  } cases[] = {
      {"bytes=0-499", 1000, 500}, {"bytes=0-999", 1000, -1}, {"bytes=0-1200", 1000, 0},
      {std::nullopt, 1000, 0},    {"bytes=0-", 1000, 0},     {"bytes=0-", 0, -1},
      {"bytes 0-499", 1000, 0},   {"bytes=5", 1000, 0},      {"bytes=0-x", 1000, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXFileUploader::firstMissingByte(c.range, c.size), c.first)
        << c.range.value_or("(none)") << " of " << c.size;
  }
}

TEST_F(KXFileUploaderTest, AWholeFileGoesInOneBodyAndTheCheckEndsTheSession) {
  const std::string bytes(100000, 'a');
  Outcome outcome = upload(makeFile("f.bin", bytes), static_cast<std::int64_t>(bytes.size()));
  ASSERT_FALSE(outcome.error) << outcome.error.localizedDescription();
  const std::string id = outcome.answer[KXFileUploader::kTransmitIdKey].stringValue();
  EXPECT_EQ(push->uploaded(id), bytes);
  auto opens = service.requests(TestPushEndpoints::kUploadPath);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].header("File-Size"), "100000");
  EXPECT_EQ(ranges(id), (std::vector<std::string>{"", "bytes */*"}));
}

TEST_F(KXFileUploaderTest, ABodyCutAfterFiveMegabytesResumesFromTheConfirmedByte) {
  std::string bytes(6 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  push->cutNextUploadBody(5 * 1024 * 1024);
  Outcome outcome = upload(makeFile("big.bin", bytes), static_cast<std::int64_t>(bytes.size()));
  ASSERT_FALSE(outcome.error) << outcome.error.localizedDescription();
  const std::string id = outcome.answer[KXFileUploader::kTransmitIdKey].stringValue();
  EXPECT_EQ(push->uploaded(id), bytes);
  EXPECT_EQ(ranges(id), (std::vector<std::string>{"", "bytes */*", "bytes 5242880-6291455/6291456",
                                                  "bytes */*"}));
  auto requests = service.requests(std::string(TestPushEndpoints::kUploadPath) + "/" + id);
  EXPECT_EQ(requests[2].body.size(), 1024u * 1024u) << "only the missing megabyte is sent again";
}

TEST_F(KXFileUploaderTest, OpeningGivesUpAfterThreeFailures) {
  service.setFault(TestPushEndpoints::kUploadPath, kxtest::Fault::withStatus(503));
  Outcome outcome = upload(makeFile("f.bin", "abc"), 3);
  EXPECT_EQ(outcome.error.userInfo()["statusCode"].intValue(), 503);
  EXPECT_EQ(service.requests(TestPushEndpoints::kUploadPath).size(), 3u);
}

TEST_F(KXFileUploaderTest, AMissingFileOrNegativeSizeFailsWithoutARequest) {
  Outcome missing = upload(root.path() + "/nothing", 3);
  EXPECT_EQ(missing.error.code(), KXFileUploader::kErrorCode);
  Outcome negative = upload(makeFile("f.bin", "abc"), -1);
  EXPECT_EQ(negative.error.code(), KXFileUploader::kErrorCode);
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(KXFileUploaderTest, ChecksThatNeverConfirmTheWholeFileEndWithTheSyncError) {
  // Every check fails: a failed check is repeated, and the fourth is
  // refused.
  service.setFault(std::string(TestPushEndpoints::kUploadPath) + "/T1",
                   kxtest::Fault::withStatus(500));
  Outcome outcome = upload(makeFile("f.bin", "abc"), 3);
  EXPECT_EQ(outcome.error.domain(), KXFileUploader::kErrorDomain);
  EXPECT_EQ(outcome.error.code(), KXFileUploader::kErrorCode);
  EXPECT_EQ(ranges("T1"), (std::vector<std::string>{"", "bytes */*", "bytes */*", "bytes */*"}));
}

TEST_F(KXFileUploaderTest, ClearingStopsTheRunningBodyAndReportsNothing) {
  const std::string path = makeFile("f.bin", std::string(1000, 'z'));
  service.setFault(std::string(TestPushEndpoints::kUploadPath) + "/T1", kxtest::Fault::held());
  auto uploader = std::make_shared<KXFileUploader>(path, 1000, service.baseURL(), controller);
  std::atomic<int> calls{0};
  uploader->uploadWithCallback([&](const kx::Value&, const kx::Error&) { ++calls; });
  ASSERT_TRUE(service.waitForRequests(std::string(TestPushEndpoints::kUploadPath) + "/T1", 1));
  uploader->clearEnvironment();
  service.releaseHeld();
  ASSERT_TRUE(service.waitForInFlight(0));
  EXPECT_EQ(uploader->uploadState(), KXFileUploader::kSending);
  EXPECT_EQ(ranges("T1").size(), 1u) << "no check after the clear";
  EXPECT_EQ(calls.load(), 0);
}

}  // namespace
