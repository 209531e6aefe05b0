#include "WebRequest/KXWebResourceDataHandler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "HandlerTestSupport.h"
#include "platform/SerialQueue.h"
#include "support/KXManualDelayClock.h"
#include "support/QueueBarrier.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

class WebResourceDataHandlerTest : public kxtest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    clock_ = std::make_shared<kxtest::KXManualDelayClock>();
    handler_ = std::make_unique<KXWebResourceDataHandler>(
        *client_, clock_,
        [this](const std::string& id) {
          std::lock_guard<std::mutex> lock(mu_);
          return pending_.count(id) > 0;
        },
        &queue_);
    StoreResource("R1", "photo \xC3\xA9.png", "R1.png");
    std::ofstream(root_.path() + "/R1.png") << "PNGBYTES";
    StoreResource("R_LATE", "late.png", "late.png");
    std::lock_guard<std::mutex> lock(mu_);
    pending_.insert("P1");
  }
  void TearDown() override {
    // Tasks armed on the clock hold the handler: run them out first.
    clock_->advance(1000);
    ASSERT_TRUE(kxtest::waitForQueue(queue_));
    handler_.reset();
    StoreFixture::TearDown();
  }

  void StoreResource(const std::string& id, const std::string& title, const std::string& file) {
    Write([&](KXManagedObjectContext& c) {
      KXManagedObjectPtr entry = c.insertNewObject("ResourceEntry");
      entry->setValue("file", root_.path() + "/" + file);
      KXManagedObjectPtr resource =
          Put(c, "Resource", {{"fileId", id}, {"title", title}, {"meidaType", "image"}});
      resource->setObject("entry", entry);
    });
  }

  std::shared_ptr<AnswerRecorder> Start(const std::string& id) {
    auto recorder = std::make_shared<AnswerRecorder>();
    handler_->handleRequest(ServiceRequest("/src/" + id), recorder);
    return recorder;
  }
  // Moves the clock on by `seconds`, `times` times, letting the retries run.
  void Advance(double seconds, int times = 1) {
    for (int i = 0; i < times; ++i) {
      clock_->advance(seconds);
      ASSERT_TRUE(kxtest::waitForQueue(queue_));
    }
  }

  kx::SerialQueue queue_{"test.resource.retries"};
  std::shared_ptr<kxtest::KXManualDelayClock> clock_;
  std::unique_ptr<KXWebResourceDataHandler> handler_;
  std::mutex mu_;
  std::set<std::string> pending_;  // guarded by mu_
};

TEST_F(WebResourceDataHandlerTest, AcceptsKnownOrPendingResourcesOnTheServiceHostOnly) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"https://note.zarvel.com/src/R1", true},
      {"https://note.zarvel.com/src/P1", true},
      {"https://note.zarvel.com/src/UNKNOWN", false},
      {"https://other.example/src/R1", false},
      {"https://note.zarvel.com.other.example/src/R1", false},
      {"https://note.zarvel.com/qrt/api/personal/file/R1", false},
  };
  for (const auto& [url, accepted] : cases) {
    EXPECT_EQ(handler_->acceptRequest(kx::URLRequest(*kx::URL::parse(url))), accepted) << url;
  }
}

TEST_F(WebResourceDataHandlerTest, AnswersTheBytesWithCacheLifetimeAndTheTitleBytes) {
  auto answer = Start("R1");
  ASSERT_EQ(answer->count(), 1);
  EXPECT_EQ(answer->status(), 200);
  EXPECT_EQ(answer->text(), "PNGBYTES");
  EXPECT_EQ(answer->header("Cache-Control").value_or(""), "max-age=604800");
  EXPECT_EQ(answer->header("Content-Disposition").value_or(""), "filename=\"photo \xC3\xA9.png\"");
}

TEST_F(WebResourceDataHandlerTest, ContentDispositionCannotBreakTheHeader) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain.png", "filename=\"plain.png\""},
      {"a\"b.png", "filename=\"a\\\"b.png\""},
      {"evil\r\nSet-Cookie: x=1.png", "filename=\"evilSet-Cookie: x=1.png\""},
      {std::string("nul\0.png", 8), "filename=\"nul.png\""},
      {"back\\slash", "filename=\"back\\\\slash\""},
  };
  for (const auto& [title, header] : cases) {
    EXPECT_EQ(KXWebResourceDataHandler::contentDisposition(title), header);
  }
}

TEST_F(WebResourceDataHandlerTest, WaitsOnTheClockForAFileStillBeingWritten) {
  auto answer = Start("R_LATE");
  EXPECT_EQ(answer->count(), 0);
  Advance(KXWebResourceDataHandler::kFileWaitSeconds, 5);
  EXPECT_EQ(answer->count(), 0);
  std::ofstream(root_.path() + "/late.png") << "LATE";
  Advance(KXWebResourceDataHandler::kFileWaitSeconds);
  ASSERT_EQ(answer->count(), 1);
  EXPECT_EQ(answer->text(), "LATE");
}

TEST_F(WebResourceDataHandlerTest, AFileThatNeverAppearsAnswersTheReadError) {
  auto answer = Start("R_LATE");
  Advance(KXWebResourceDataHandler::kFileWaitSeconds, KXWebResourceDataHandler::kMaxFileWaits - 1);
  EXPECT_EQ(answer->count(), 0);
  Advance(KXWebResourceDataHandler::kFileWaitSeconds);
  ASSERT_EQ(answer->count(), 1);
  EXPECT_TRUE(answer->error());
  EXPECT_EQ(answer->status(), 0);
}

TEST_F(WebResourceDataHandlerTest, APendingResourceIsAnsweredOnceTheStoreHasIt) {
  auto answer = Start("P1");
  Advance(KXWebResourceDataHandler::kRetrySeconds, 3);
  EXPECT_EQ(answer->count(), 0);
  StoreResource("P1", "pasted.png", "pasted.png");
  std::ofstream(root_.path() + "/pasted.png") << "PASTED";
  Advance(KXWebResourceDataHandler::kRetrySeconds);
  ASSERT_EQ(answer->count(), 1);
  EXPECT_EQ(answer->text(), "PASTED");
}

TEST_F(WebResourceDataHandlerTest, APendingResourceThatNeverArrivesGivesUpWithMinus1100) {
  auto answer = Start("P1");
  Advance(KXWebResourceDataHandler::kRetrySeconds, KXWebResourceDataHandler::kMaxRetries - 1);
  EXPECT_EQ(answer->count(), 0);
  Advance(KXWebResourceDataHandler::kRetrySeconds);
  ASSERT_EQ(answer->count(), 1);
  EXPECT_TRUE(answer->failedWith(KXURLErrorFileDoesNotExist));
  EXPECT_EQ(clock_->pendingCount(), 0u);
}

}  // namespace
