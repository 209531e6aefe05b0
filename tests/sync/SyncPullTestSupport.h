// Fakes for the metadata pull: an in-memory pull environment (root version,
// flags, failure list with retry counts, saves), an applier that records the
// batches it is given and hands back scripted object pulls, object pulls
// that succeed, fail or wait, and a delegate that records what it hears.
#ifndef ZN_TESTS_SYNC_SYNCPULLTESTSUPPORT_H_
#define ZN_TESTS_SYNC_SYNCPULLTESTSUPPORT_H_

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "Data/DataUtil/KXNameDict.h"
#include "support/TestNoteService.h"
#include "support/TestSyncEndpoints.h"
#include "sync/SyncTestSupport.h"
#include "sync/pull/KXSyncPullApplier.h"
#include "sync/pull/KXSyncPullEnvironment.h"
#include "sync/pull/KXSyncPullProxyDelegate.h"

namespace kxtest {

class FakePullEnvironment : public KXSyncPullEnvironment {
 public:
  void startMysharePull() override {}
  struct Failure {
    std::string json;
    int retry = 0;
  };
  static constexpr int kMaxRetry = 4;

  // Records what it is asked into `log`.
  FakePullEnvironment(std::string baseURL, EventLog* log)
      : log_(log), baseURL_(std::move(baseURL)) {}

  std::string serviceBaseURL() override { return baseURL_; }
  bool canConnect() override { return connected.load(); }
  std::int64_t baseVersion() override { return base.load(); }
  bool isFullPulling() override { return fullPulling.load(); }
  void setCurrentSessionVersion(std::int64_t version) override {
    log_->add("session " + std::to_string(version));
  }
  kx::Array fetchPullFailed() override {
    std::lock_guard<std::mutex> lock(mu_);
    kx::Array entries;
    for (const auto& [id, failure] : failures_) {
      if (failure.retry <= kMaxRetry) entries.push_back(objectFromJSONString(failure.json));
    }
    return entries;
  }
  void pullFailedFileId(const std::string& fileId, const std::string& json) override {
    log_->add("failed " + fileId);
    std::lock_guard<std::mutex> lock(mu_);
    Failure& failure = failures_[fileId];
    failure.json = json;
    ++failure.retry;
  }
  void deletePullFailedFileId(const std::string& fileId) override {
    log_->add("succeeded " + fileId);
    std::lock_guard<std::mutex> lock(mu_);
    failures_.erase(fileId);
  }
  void save(std::function<void()> done) override {
    log_->add("save");
    if (done) done();
  }
  std::shared_ptr<KXSyncPullApplier> applier() override { return applierToUse; }

  std::map<std::string, Failure> failures() {
    std::lock_guard<std::mutex> lock(mu_);
    return failures_;
  }

  std::atomic<bool> connected{true};
  std::atomic<std::int64_t> base{0};
  std::atomic<bool> fullPulling{false};
  std::shared_ptr<KXSyncPullApplier> applierToUse;

 private:
  EventLog* const log_;
  const std::string baseURL_;
  std::mutex mu_;
  std::map<std::string, Failure> failures_;
};

// An object pull that answers as told: at once with success or failure, or
// when the test releases it.
class FakeObjectPull : public KXSyncObjectPull {
 public:
  enum class Outcome { kSucceed, kFail, kHold };
  FakeObjectPull(std::string fileId, Outcome outcome, EventLog* log)
      : fileId_(std::move(fileId)), outcome_(outcome), log_(log) {}
  std::string fileId() const override { return fileId_; }
  void pullWithCallback(std::function<void(const kx::Error&)> done) override {
    log_->add("start " + fileId_);
    if (outcome_ == Outcome::kHold) {
      std::lock_guard<std::mutex> lock(mu_);
      held_ = std::move(done);
      return;
    }
    done(outcome_ == Outcome::kFail ? kx::Error("test", 9) : kx::Error());
  }
  void clearEnvironment() override { log_->add("clear " + fileId_); }
  // Answers a held pull.
  void release(const kx::Error& error) {
    std::function<void(const kx::Error&)> done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      done = std::move(held_);
    }
    if (done) done(error);
  }

 private:
  const std::string fileId_;
  const Outcome outcome_;
  EventLog* log_;
  std::mutex mu_;
  std::function<void(const kx::Error&)> held_;
};

// Records each batch and the number of pull requests the service had seen
// when it came; the pulled root notebook is handed back as a new root
// (rootInfo), and the scripted pulls are handed out once.
class RecordingApplier : public KXSyncPullApplier {
 public:
  explicit RecordingApplier(TestSyncEndpoints* endpoints, EventLog* log)
      : endpoints_(endpoints), log_(log) {}
  KXSyncPullApplication apply(KXSyncPullBatch& batch) override {
    log_->add("apply");
    KXSyncPullApplication application;
    std::lock_guard<std::mutex> lock(mu_);
    batches.push_back(batch);
    pullRequestsAtApply.push_back(endpoints_ ? endpoints_->pullRequests() : 0);
    for (const kx::Dictionary& notebook : batch.newAndModifyNotebooks) {
      if (notebook["parentId"].stringValue() == "0") application.rootInfo = notebook;
    }
    application.pullers.swap(pullers);
    return application;
  }
  void addRoot(const kx::Dictionary& root) override {
    std::string keys;
    for (const auto& [key, value] : root) keys += key + ",";
    log_->add("addRoot " + keys);
  }
  void updateRootVersion(std::int64_t version) override {
    log_->add("rootVersion " + std::to_string(version));
  }

  std::mutex mu_;
  std::vector<KXSyncPullBatch> batches;                    // guarded by mu_
  std::vector<std::size_t> pullRequestsAtApply;            // guarded by mu_
  std::vector<std::shared_ptr<KXSyncObjectPull>> pullers;  // guarded by mu_; the next apply's

 private:
  TestSyncEndpoints* endpoints_;
  EventLog* log_;
};

class RecordingPullDelegate : public KXSyncPullProxyDelegate {
 public:
  explicit RecordingPullDelegate(EventLog* log) : log_(log) {}
  void didPullSuccess() override { log_->add("success"); }
  void didPullFail(const kx::Error& error) override {
    log_->add("fail " + error.domain() +
              (error.domain().empty() ? "" : " " + std::to_string(error.code())));
  }
  void didPullFileMetaDone() override { log_->add("fileMetaDone"); }

 private:
  EventLog* log_;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SYNC_SYNCPULLTESTSUPPORT_H_
