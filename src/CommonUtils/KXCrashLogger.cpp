#include "CommonUtils/KXCrashLogger.h"

#include "platform/GlobalQueue.h"
#include "platform/Mutex.h"

namespace {

struct State {
  kx::Mutex lock;
  std::shared_ptr<KXCrashReporter> reporter GUARDED_BY(lock);
  KXCrashLogger::UserRecordProvider userRecordProvider GUARDED_BY(lock);
};

State& state() {
  static State* s = new State();
  return *s;
}

std::shared_ptr<KXCrashReporter> currentReporter() {
  State& s = state();
  kx::MutexLock guard(s.lock);
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
      kx::MutexLock guard(s.lock);
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
  kx::MutexLock guard(s.lock);
  s.reporter = std::move(reporter);
}

void KXCrashLogger::setUserRecordProvider(UserRecordProvider provider) {
  State& s = state();
  kx::MutexLock guard(s.lock);
  s.userRecordProvider = std::move(provider);
}
