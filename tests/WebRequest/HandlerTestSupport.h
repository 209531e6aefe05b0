// Helpers for the handler tests: a receiver that records the answers it
// gets and lets a test wait for them, requests on the service host, and a
// store over a temporary folder with a small helper to insert rows.
#ifndef ZN_TESTS_WEBREQUEST_HANDLERTESTSUPPORT_H_
#define ZN_TESTS_WEBREQUEST_HANDLERTESTSUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXCrashLogger.h"
#include "CommonUtils/KXHooks.h"
#include "Data/StoreTestSupport.h"
#include "Data/client/KXDataClient.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "WebRequest/KXDataRequestController.h"
#include "WebRequest/KXURLError.h"
#include "platform/URLRequest.h"
#include "support/StoreTree.h"
#include "support/TempAppRoot.h"

namespace kxtest {

// Records every answer; waitForAnswers blocks until that many arrived.
class AnswerRecorder : public KXDataRequestController {
 public:
  void localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                            std::optional<kx::Bytes> data, kx::Error error) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++answers_;
    response_ = std::move(response);
    body_ = data ? *data : kx::Bytes();
    error_ = std::move(error);
    cv_.notify_all();
  }
  void whenCancelled(std::function<void()> cancelled) override {
    std::lock_guard<std::mutex> lock(mu_);
    cancelled_ = std::move(cancelled);
  }

  // Calls the cancellation callback a handler left, as a closed
  // connection would.
  void cancel() {
    std::function<void()> cancelled;
    {
      std::lock_guard<std::mutex> lock(mu_);
      cancelled.swap(cancelled_);
    }
    if (cancelled) cancelled();
  }

  bool waitForAnswers(int count = 1) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return answers_ >= count; });
  }
  int count() {
    std::lock_guard<std::mutex> lock(mu_);
    return answers_;
  }
  int status() {
    std::lock_guard<std::mutex> lock(mu_);
    return response_ ? response_->statusCode() : 0;
  }
  std::optional<std::string> header(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    return response_ ? response_->allHeaderFields().value(name) : std::nullopt;
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::string(body_.begin(), body_.end());
  }
  kx::Value json() {
    std::lock_guard<std::mutex> lock(mu_);
    return objectFromJSONData(body_);
  }
  kx::Error error() {
    std::lock_guard<std::mutex> lock(mu_);
    return error_;
  }
  bool failedWith(std::int64_t code) { return KXURLError::is(error(), code); }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int answers_ = 0;
  std::optional<kx::HTTPURLResponse> response_;
  kx::Bytes body_;
  kx::Error error_;
  std::function<void()> cancelled_;
};

inline kx::URLRequest ServiceRequest(const std::string& pathAndQuery, const std::string& body = "",
                                     const std::string& origin = "https://note.zarvel.com") {
  std::optional<kx::URL> url = kx::URL::parse(origin + pathAndQuery);
  EXPECT_TRUE(url) << pathAndQuery;
  kx::URLRequest request(url ? *url : kx::URL());
  if (!body.empty()) request.setHTTPBody(kx::Bytes(body.begin(), body.end()));
  return request;
}

// A store of its own over a temporary folder.
class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = std::make_shared<TestStoreEnvironment>(root_.path() + "/appdata");
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
  }
  void TearDown() override {
    client_.reset();
    KXHooks::setRootEntryIdProvider(nullptr);
    KXCrashLogger::setUserRecordProvider(nullptr);
  }

  void Write(const std::function<void(KXManagedObjectContext&)>& block) {
    data_->performSyncWriteBlock([&](KXManagedObjectContext& c) {
      block(c);
      kx::Error error;
      EXPECT_TRUE(c.save(&error));
    });
  }
  // Inserts a row; file entries get the usual flags unless `fields` sets them.
  static KXManagedObjectPtr Put(KXManagedObjectContext& c, const std::string& entity,
                                const kx::Dictionary& fields) {
    return kxtest::StoreTree(c).put(entity, fields);
  }

  TempAppRoot root_;
  std::shared_ptr<TestStoreEnvironment> env_;
  std::shared_ptr<KXDataContext> data_;
  std::unique_ptr<KXDataClient> client_;
};

}  // namespace kxtest

#endif  // ZN_TESTS_WEBREQUEST_HANDLERTESTSUPPORT_H_
