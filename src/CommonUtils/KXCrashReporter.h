// KXCrashReporter is the door to a crash-reporting and analytics service. The
// program starts it once at launch with the application's secret and the
// services it wants, and may tell it who the user is. No such service exists
// for this platform yet, so the base class is the one in use and does
// nothing; a real service subclasses it and is installed with
// KXCrashLogger::setReporter().
//
// Thread safety: implementations must accept calls from any thread.
#ifndef ZN_COMMONUTILS_KXCRASHREPORTER_H_
#define ZN_COMMONUTILS_KXCRASHREPORTER_H_

#include <string>
#include <vector>

class KXCrashReporter {
 public:
  virtual ~KXCrashReporter() = default;

  virtual void start(const std::string& appSecret, const std::vector<std::string>& services) {}
  virtual void setUserId(const std::string& userId) {}
};

#endif  // ZN_COMMONUTILS_KXCRASHREPORTER_H_
