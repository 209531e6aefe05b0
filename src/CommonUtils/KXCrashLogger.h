// KXCrashLogger starts crash reporting and analytics when the application
// has finished launching, and can tell the reporting service who the user is.
// The service sits behind KXCrashReporter; the installed reporter does
// nothing unless a real one is set.
//
// The user comes from the note store, which lives above this layer: the
// store installs a provider of the current user record with
// setUserRecordProvider(). Without one, configUserInfo() does nothing.
//
// Thread safety: every member may be called from any thread; the reporter and
// the provider are guarded by an internal mutex and called without it.
#ifndef ZN_COMMONUTILS_KXCRASHLOGGER_H_
#define ZN_COMMONUTILS_KXCRASHLOGGER_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXCrashReporter.h"

class KXCrashLogger {
 public:
  KXCrashLogger() = delete;

  // The fields of the store's user record that name the user.
  struct UserRecord {
    std::string userId;
    std::string nickname;
  };
  using UserRecordProvider = std::function<std::optional<UserRecord>()>;

  // The application's secret with the reporting service.
  static constexpr const char* kAppSecret = "5b0c7f2e-9a41-4d3b-8e6f-2c1d7a9e4b60";
  // The services started: analytics and crashes.
  static std::vector<std::string> services() { return {"MSAnalytics", "MSCrashes"}; }

  // Starts the reporter with the secret and the services; called once on the
  // main thread when launching has finished.
  static void StartCrashlyticsLogger();
  // On the global background queue, reads the current user record and passes
  // its user id to the reporter, or its nickname when the id is empty; does
  // nothing when both are empty or there is no record.
  static void configUserInfo();

  // nullptr restores the reporter that does nothing.
  static void setReporter(std::shared_ptr<KXCrashReporter> reporter);
  // An empty function removes the provider.
  static void setUserRecordProvider(UserRecordProvider provider);
};

#endif  // ZN_COMMONUTILS_KXCRASHLOGGER_H_
