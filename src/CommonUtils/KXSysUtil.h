// KXSysUtil answers questions about the machine: whether the note service
// can be reached (through its KXReachabilityWatcher, which also broadcasts
// changes), the operating system's version and the user's language.
//
// The shared object watches KXServiceHost() with the route probe, the
// netlink monitor and a poll every 30 seconds, from its creation until the
// process ends.
//
// Thread safety: every member may be called from any thread.
#ifndef ZN_COMMONUTILS_KXSYSUTIL_H_
#define ZN_COMMONUTILS_KXSYSUTIL_H_

#include <memory>
#include <string>

#include "CommonUtils/KXReachabilityWatcher.h"
#include "platform/Value.h"

class KXSysUtil {
 public:
  // The shared object, created (and its watch started) on the first call,
  // never freed.
  static KXSysUtil& sharedUtil();

  // Takes a watcher and starts it.
  explicit KXSysUtil(std::unique_ptr<KXReachabilityWatcher> watcher);
  KXSysUtil(const KXSysUtil&) = delete;
  KXSysUtil& operator=(const KXSysUtil&) = delete;

  // Whether the service host is reachable now.
  bool canConnect();
  // [major, minor, patch] of the running kernel's release, as integers
  // (missing parts are 0); read once per process.
  kx::Array systemVersion();
  // The language of the user's locale (LC_ALL, LC_MESSAGES, LANG), lower-
  // cased ("zh" for "zh_CN.UTF-8"); "en" for the C and POSIX locales.
  std::string currentLocaleLanguageCode();

  KXReachabilityWatcher& watcher() { return *watcher_; }

  // The version numbers of a release text ("6.1.0-13-amd64" -> 6, 1, 0).
  static kx::Array versionFromRelease(const std::string& release);
  // The language of a locale name ("zh_CN.UTF-8" -> "zh").
  static std::string languageFromLocale(const std::string& locale);

 private:
  std::unique_ptr<KXReachabilityWatcher> watcher_;
};

#endif  // ZN_COMMONUTILS_KXSYSUTIL_H_
