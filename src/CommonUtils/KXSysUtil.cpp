#include "CommonUtils/KXSysUtil.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <utility>

#include "CommonUtils/KXNetlinkChangeMonitor.h"
#include "CommonUtils/KXRouteReachabilityProbe.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "platform/Text.h"

KXSysUtil& KXSysUtil::sharedUtil() {
  static KXSysUtil* util = new KXSysUtil(std::make_unique<KXReachabilityWatcher>(
      KXServiceHost(), std::make_unique<KXRouteReachabilityProbe>(),
      std::make_unique<KXNetlinkChangeMonitor>(),
      KXReachabilityWatcher::kDefaultPollIntervalSeconds));
  return *util;
}

KXSysUtil::KXSysUtil(std::unique_ptr<KXReachabilityWatcher> watcher)
    : watcher_(std::move(watcher)) {
  watcher_->start();
}

bool KXSysUtil::canConnect() { return watcher_->canConnect(); }

kx::Array KXSysUtil::versionFromRelease(const std::string& release) {
  kx::Array version;
  std::size_t i = 0;
  while (version.size() < 3) {
    std::size_t start = i;
    while (i < release.size() && release[i] >= '0' && release[i] <= '9') ++i;
    if (i == start) break;
    std::int64_t part = kx::Text::leadingInt64(release.substr(start, i - start));
    version.push_back(kx::Value(static_cast<int>(part > 0x7fffffff ? 0x7fffffff : part)));
    if (i >= release.size() || release[i] != '.') break;
    ++i;
  }
  while (version.size() < 3) version.push_back(kx::Value(0));
  return version;
}

kx::Array KXSysUtil::systemVersion() {
  static const kx::Array* version = [] {
    utsname name;
    std::string release = ::uname(&name) == 0 ? name.release : "";
    return new kx::Array(versionFromRelease(release));
  }();
  return *version;
}

std::string KXSysUtil::languageFromLocale(const std::string& locale) {
  std::size_t end = locale.find_first_of("_.@-");
  std::string language = kx::Text::asciiLower(locale.substr(0, end));
  if (language.empty() || language == "c" || language == "posix") return "en";
  return language;
}

std::string KXSysUtil::currentLocaleLanguageCode() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return languageFromLocale(value);
  }
  return "en";
}
