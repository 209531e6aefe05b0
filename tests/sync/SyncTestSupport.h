// Fakes for the sync cycle's workers and environments, and a recorder of the
// sync notifications. The fakes record what the cycle asks of them, in order,
// and either answer at once or hold the answer until the test releases it.
#ifndef ZN_TESTS_SYNC_SYNCTESTSUPPORT_H_
#define ZN_TESTS_SYNC_SYNCTESTSUPPORT_H_

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommonUtils/KXUIPort.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "support/QueueBarrier.h"
#include "sync/cycle/KXSyncCycleEnvironment.h"
#include "sync/cycle/KXSyncManagerEnvironment.h"
#include "sync/cycle/KXSyncNotificationNames.h"

namespace kxtest {

// An ordered list of what happened, shared by the fakes.
class EventLog {
 public:
  void add(std::string event) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
  }
  std::size_t count(const std::string& event) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::size_t n = 0;
    for (const auto& e : events_) n += e == event ? 1 : 0;
    return n;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> events_;
};

// How a fake worker answers: at once with success, at once with failure, or
// not until the test calls the stored answer.
enum class Answer { kSucceed, kFail, kHold };

class FakeCycleEnvironment : public KXSyncCycleEnvironment {
 public:
  class UserMetaFake : public KXSyncUserMeta {
   public:
    explicit UserMetaFake(FakeCycleEnvironment* env) : env_(env) {}
    void pull(bool withSelf) override {
      env_->log.add(withSelf ? "userMeta(self)" : "userMeta");
      auto d = delegate();
      if (!d) return;
      switch (env_->userMetaAnswer.load()) {
        case Answer::kSucceed: d->didPullUserMetaSuccess(env_->reply()); break;
        case Answer::kFail: d->didPullUserMetaFail(kx::Error("test", 1)); break;
        case Answer::kHold:
          env_->hold([d, env = env_] { d->didPullUserMetaSuccess(env->reply()); }, d);
          break;
      }
    }
    void clearEnvironment() override { env_->log.add("clear.userMeta"); }

   private:
    FakeCycleEnvironment* env_;
  };

  class PullFake : public KXSyncPullProxy {
   public:
    PullFake(FakeCycleEnvironment* env, std::weak_ptr<KXSyncPullProxyDelegate> d)
        : KXSyncPullProxy(std::move(d)), env_(env) {}
    void pull() override { answer("pull"); }
    void pullAfterPush() override { answer("pullAfterPush"); }
    void pullMyshares() override { env_->log.add("myshares"); }
    void pullPen() override { env_->log.add("pen"); }
    void clearEnvironment() override { env_->log.add("clear.pull"); }

   private:
    void answer(const char* what) {
      env_->log.add(what);
      auto d = delegate();
      if (!d) return;
      switch (env_->pullAnswer.load()) {
        case Answer::kSucceed:
          if (env_->reportFileMeta) d->didPullFileMetaDone();
          d->didPullSuccess();
          break;
        case Answer::kFail: d->didPullFail(kx::Error("test", 2)); break;
        case Answer::kHold: env_->hold([d] { d->didPullSuccess(); }, nullptr); break;
      }
    }
    FakeCycleEnvironment* env_;
  };

  class PushFake : public KXSyncPushProxy {
   public:
    PushFake(FakeCycleEnvironment* env, std::weak_ptr<KXSyncPushProxyDelegate> d)
        : KXSyncPushProxy(std::move(d)), env_(env) {}
    void push() override {
      env_->log.add("push");
      auto d = delegate();
      if (!d) return;
      if (env_->pushAnswer.load() == Answer::kFail) {
        d->didPushFail(kx::Error("test", 3));
      } else if (env_->pushAnswer.load() == Answer::kHold) {
        env_->hold([d] { d->didPushSuccess(); }, nullptr);
      } else {
        d->didPushSuccess();
      }
    }
    void clearEnvironment() override { env_->log.add("clear.push"); }

   private:
    FakeCycleEnvironment* env_;
  };

  bool canConnect() override { return connected.load(); }
  std::int64_t rootVersion() override { return localRootVersion.load(); }
  std::int64_t dbStateInteger(const std::string& key) override {
    std::lock_guard<std::mutex> lock(mu_);
    return state_[key];
  }
  void setDbStateInteger(const std::string& key, std::int64_t value) override {
    log.add("set " + key + "=" + std::to_string(value));
    std::lock_guard<std::mutex> lock(mu_);
    state_[key] = value;
  }
  bool isFullPulling() override { return fullPulling.load(); }
  void setIsFullPulling(bool value) override {
    log.add(value ? "fullPulling=1" : "fullPulling=0");
    fullPulling.store(value);
  }
  std::shared_ptr<KXSyncUserMeta> makeUserMeta(std::weak_ptr<KXSyncUserMetaDelegate> d) override {
    auto fake = std::make_shared<UserMetaFake>(this);
    fake->setDelegate(std::move(d));
    return fake;
  }
  std::shared_ptr<KXSyncPullProxy> makePullProxy(
      std::weak_ptr<KXSyncPullProxyDelegate> d) override {
    return std::make_shared<PullFake>(this, std::move(d));
  }
  std::shared_ptr<KXSyncPushProxy> makePushProxy(
      std::weak_ptr<KXSyncPushProxyDelegate> d) override {
    return std::make_shared<PushFake>(this, std::move(d));
  }
  void pullTags() override { log.add("tags"); }
  void startRecreateIndex() override { log.add("index"); }
  void changeNetWorkStatus(bool reachable) override {
    log.add(reachable ? "network=1" : "network=0");
  }

  kx::Value reply() {
    std::lock_guard<std::mutex> lock(mu_);
    return reply_;
  }
  void setReply(kx::Value reply) {
    std::lock_guard<std::mutex> lock(mu_);
    reply_ = std::move(reply);
  }
  void setState(const std::string& key, std::int64_t value) {
    std::lock_guard<std::mutex> lock(mu_);
    state_[key] = value;
  }
  // Answers held so far, oldest first; each is called once.
  bool releaseHeld() {
    std::function<void()> answer;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (held_.empty()) return false;
      answer = std::move(held_.front());
      held_.erase(held_.begin());
    }
    answer();
    return true;
  }
  std::size_t heldCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return held_.size();
  }
  // The delegate of the last held user meta request.
  std::shared_ptr<KXSyncUserMetaDelegate> heldUserMetaDelegate() {
    std::lock_guard<std::mutex> lock(mu_);
    return heldUserMetaDelegate_.lock();
  }

  EventLog log;
  std::atomic<bool> connected{true};
  std::atomic<std::int64_t> localRootVersion{0};
  std::atomic<bool> fullPulling{false};
  std::atomic<Answer> userMetaAnswer{Answer::kSucceed};
  std::atomic<Answer> pullAnswer{Answer::kSucceed};
  std::atomic<Answer> pushAnswer{Answer::kSucceed};
  std::atomic<bool> reportFileMeta{false};

 private:
  void hold(std::function<void()> answer, std::shared_ptr<KXSyncUserMetaDelegate> d) {
    std::lock_guard<std::mutex> lock(mu_);
    held_.push_back(std::move(answer));
    if (d) heldUserMetaDelegate_ = std::move(d);
  }

  std::mutex mu_;
  kx::Value reply_ = kx::Value::dict({{"uid", kx::Value("u1")}, {"rv", kx::Value(0)}});
  std::map<std::string, std::int64_t> state_;
  std::vector<std::function<void()>> held_;
  std::weak_ptr<KXSyncUserMetaDelegate> heldUserMetaDelegate_;
};

class FakeManagerEnvironment : public KXSyncManagerEnvironment {
 public:
  bool isLogin() override { return signedIn.load(); }
  bool checkPersistCookie() override { return persistCookie.load(); }
  void checkLogin() override { log.add("checkLogin"); }
  std::uint64_t loginType() override { return 1; }
  bool checkUserAndPassword() override { return storedPassword.load(); }
  void doLogin() override { log.add("doLogin"); }
  void respondsToLogout() override {
    log.add(kx::MainQueue::shared().isCurrent() ? "logout(main)" : "logout(other)");
  }
  void multiportConnect() override { log.add("liveConnect"); }
  void stopLiveConnect() override { log.add("liveStop"); }
  // No note utility here: the timer asks the manager directly.
  void startSync(const std::function<void()>& syncByManual) override { syncByManual(); }

  EventLog log;
  std::atomic<bool> signedIn{true};
  std::atomic<bool> persistCookie{false};
  std::atomic<bool> storedPassword{false};
};

// A user-interface port that records each alert and whether it was shown on
// the main queue, and answers it at once with the first button.
class RecordingAlerts : public KXUIPort {
 public:
  void showAlert(const Alert& alert, AlertCompletion completion) override {
    log.add(alert.title + "|" + alert.message +
            (kx::MainQueue::shared().isCurrent() ? "|main" : "|other"));
    buttons.add(std::to_string(alert.buttons.size()));
    if (completion) completion(0);
  }
  void hideMainWindow() override {}
  void quit() override {}
  EventLog log;
  EventLog buttons;  // the number of buttons of each alert
};

// Records the sync notifications posted through a centre; "start", "push",
// "pullFileMeta", "end:1", "end:0", with the thread they arrived on.
class SyncNotificationRecorder {
 public:
  explicit SyncNotificationRecorder(kx::NotificationCenter& center) : center_(center) {
    for (const char* name : {kKXSyncStartNotification, kKXSyncEndNotification,
                             kKXSyncPushNotification, kKXSyncPullFileMetaNotification}) {
      tokens_.push_back(
          center_.addObserver(name, nullptr, nullptr, [this](const kx::Notification& n) {
            std::string text = n.name.substr(n.name.rfind('-') + 1);
            if (n.name == kKXSyncEndNotification) {
              text += n.userInfo[kKXSyncResultKey].boolValue() ? ":1" : ":0";
            }
            if (!kx::MainQueue::isMainThread()) text += "(off main)";
            log.add(text);
          }));
    }
  }
  ~SyncNotificationRecorder() {
    for (auto token : tokens_) center_.removeObserver(token);
  }
  EventLog log;

 private:
  kx::NotificationCenter& center_;
  std::vector<kx::NotificationCenter::Token> tokens_;
};

}  // namespace kxtest

#endif  // ZN_TESTS_SYNC_SYNCTESTSUPPORT_H_
