// A user-meta environment for tests against the test note service, and a
// delegate that records what the puller reports.
#ifndef ZN_TESTS_SYNC_USERMETATESTSUPPORT_H_
#define ZN_TESTS_SYNC_USERMETATESTSUPPORT_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "support/KXManualDelayClock.h"
#include "support/TestNoteService.h"
#include "sync/SyncTestSupport.h"
#include "sync/cycle/KXSyncUserMetaDelegate.h"
#include "sync/cycle/KXSyncUserMetaEnvironment.h"

namespace kxtest {

class FakeUserMetaEnvironment : public KXSyncUserMetaEnvironment {
 public:
  FakeUserMetaEnvironment(const TestNoteService& service, std::string iconFolder)
      : baseURL_(service.baseURL()), iconFolder_(std::move(iconFolder)) {
    recordingAlerts = std::make_shared<RecordingAlerts>();
    ui = recordingAlerts;
    manualClock = std::make_shared<KXManualDelayClock>();
    clock = manualClock;
  }

  std::string serviceBaseURL() override { return baseURL_; }
  std::string currentUser() override {
    std::lock_guard<std::mutex> lock(mu_);
    return user_;
  }
  void setCurrentUser(const std::string& userId) override {
    log.add("setCurrentUser " + userId);
    std::lock_guard<std::mutex> lock(mu_);
    user_ = userId;
  }
  bool isLogin() override { return signedIn.load(); }
  void autoLoginWithBlock(std::function<void(const kx::Error&)> done) override {
    log.add("autoLogin");
    done(loginFails.load() ? kx::Error("test", 7) : kx::Error());
  }
  void respondsToLogout() override {
    log.add(kx::MainQueue::shared().isCurrent() ? "logout(main)" : "logout(other)");
  }
  void updateUserMeta(const kx::Dictionary& values) override {
    std::string keys;
    for (const auto& [key, value] : values) keys += (keys.empty() ? "" : ",") + key;
    log.add("store " + keys);
  }
  void setCurrentSessionVersion(const kx::Value& version) override {
    log.add("sessionVersion " + version.stringValue());
  }
  bool isFirstLoginDownloading() override { return firstDownload.load(); }
  void setFirstDownloadProgressText(const std::string& text) override {
    log.add("progress " + text + (kx::MainQueue::shared().isCurrent() ? "" : " (off main)"));
  }
  void bringFirstDownloadWindowForward() override { log.add("window forward"); }
  void orderOutFirstDownloadWindow() override { log.add("window out"); }
  std::string iconImageLocation(const std::string& path) override {
    std::string name = path;
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    return iconFolder_ + "/" + name;
  }
  bool wipeUserData(const std::string& userId) override {
    log.add("wipe " + userId);
    return true;
  }
  std::string deviceId() override { return "dev-1"; }

  EventLog log;
  std::shared_ptr<RecordingAlerts> recordingAlerts;
  std::shared_ptr<KXManualDelayClock> manualClock;
  std::atomic<bool> signedIn{true};
  std::atomic<bool> loginFails{false};
  std::atomic<bool> firstDownload{false};

 private:
  const std::string baseURL_;
  const std::string iconFolder_;
  std::mutex mu_;
  std::string user_ = "u1";
};

class RecordingUserMetaDelegate : public KXSyncUserMetaDelegate {
 public:
  void didPullUserMetaSuccess(const kx::Value& reply) override {
    log.add("success " + reply["uid"].string());
  }
  void didPullUserMetaFail(const kx::Error& error) override {
    log.add("fail " + error.domain() + " " + std::to_string(error.code()));
  }
  void autoLoginSucceedAfterAuthFailed() override { log.add("relogin"); }
  EventLog log;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SYNC_USERMETATESTSUPPORT_H_
