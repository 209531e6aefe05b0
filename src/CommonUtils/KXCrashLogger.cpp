#include "CommonUtils/KXCrashLogger.h"

#include <mutex>

#include "platform/GlobalQueue.h"

namespace {

struct State {
  std::mutex lock;
  std::shared_ptr<KXCrashReporter> reporter;           // guarded by lock
  KXCrashLogger::UserRecordProvider userRecordProvider;  // guarded by lock
};

State& state() {
  static State* s = new State();
  return *s;
}

std::shared_ptr<KXCrashReporter> currentReporter() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.reporter) s.reporter = std::make_shared<KXCrashReporter>();
  return s.reporter;
}

}  // namespace

void KXCrashLogger::StartCrashlyticsLogger() { currentReporter()->start(kAppSecret, services()); }

void KXCrashLogger::configUserInfo() {
  kx::GlobalQueue::get(kx::QueuePriority::Background).async([] {
    UserRecordProvider provider;
    {
      State& s = state();
      std::lock_guard<std::mutex> guard(s.lock);
      provider = s.userRecordProvider;
    }
    if (!provider) return;
    std::optional<UserRecord> user = provider();
    if (!user) return;
    if (!user->userId.empty()) {
      currentReporter()->setUserId(user->userId);
    } else if (!user->nickname.empty()) {
      currentReporter()->setUserId(user->nickname);
    }
  });
}

void KXCrashLogger::setReporter(std::shared_ptr<KXCrashReporter> reporter) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.reporter = std::move(reporter);
}

void KXCrashLogger::setUserRecordProvider(UserRecordProvider provider) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.userRecordProvider = std::move(provider);
}
