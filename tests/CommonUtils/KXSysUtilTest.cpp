#include "CommonUtils/KXSysUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

TEST(KXSysUtilTest, VersionFromTheKernelRelease) {
  struct Case {
    const char* release;
    int major, minor, patch;
  };
  const Case cases[] = {
      {"6.1.0-13-amd64", 6, 1, 0},
      {"5.15.133.1-microsoft-standard-WSL2", 5, 15, 133},
      {"4.19", 4, 19, 0},
      {"", 0, 0, 0},
      {"x.y", 0, 0, 0},
  };
  for (const Case& c : cases) {
    kx::Array version = KXSysUtil::versionFromRelease(c.release);
    ASSERT_EQ(version.size(), 3u) << c.release;
    EXPECT_EQ(version[0].intValue(), c.major) << c.release;
    EXPECT_EQ(version[1].intValue(), c.minor) << c.release;
    EXPECT_EQ(version[2].intValue(), c.patch) << c.release;
  }
}

TEST(KXSysUtilTest, LanguageOfTheLocale) {
  EXPECT_EQ(KXSysUtil::languageFromLocale("zh_CN.UTF-8"), "zh");
  EXPECT_EQ(KXSysUtil::languageFromLocale("EN_US"), "en");
  EXPECT_EQ(KXSysUtil::languageFromLocale("de"), "de");
  EXPECT_EQ(KXSysUtil::languageFromLocale("sr@latin"), "sr");
  EXPECT_EQ(KXSysUtil::languageFromLocale("C"), "en");
  EXPECT_EQ(KXSysUtil::languageFromLocale("POSIX"), "en");
}

struct FixedProbe : KXReachabilityProbe {
  bool isReachable(const std::string&) override { return true; }
};

TEST(KXSysUtilTest, CanConnectAsksItsWatcherAndVersionIsCached) {
  KXSysUtil util(
      std::make_unique<KXReachabilityWatcher>("h", std::make_unique<FixedProbe>(), nullptr, 0));
  EXPECT_TRUE(util.canConnect());
  kx::Array version = util.systemVersion();
  ASSERT_EQ(version.size(), 3u);
  EXPECT_GT(version[0].intValue(), 0) << "the running kernel has a major version";
  EXPECT_EQ(util.systemVersion(), version);
}

}  // namespace
