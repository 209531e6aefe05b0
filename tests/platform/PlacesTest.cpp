#include "platform/Places.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/FileSystem.h"
#include "support/FaultInjectingFileSystem.h"
#include "support/TempAppRoot.h"

namespace {

using kx::Places;
namespace stdfs = std::filesystem;

// Sets or clears one environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (saved_) {
      setenv(name_, saved_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

std::uint32_t modeOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

const std::string kName = "com.zarvel.note.ZarvelNoteMac";

TEST(PlacesTest, RootsFollowTheEnvironmentOnEveryCall) {
  kxtest::TempAppRoot root;
  const std::string home = root.path();
  EXPECT_EQ(Places::applicationDataRoot(), home + "/.local/share/" + kName);
  EXPECT_EQ(Places::scratchRoot(), home + "/.cache/" + kName);
  {
    ScopedEnv data("XDG_DATA_HOME", "/elsewhere/data/");
    ScopedEnv cache("XDG_CACHE_HOME", "/elsewhere/cache");
    EXPECT_EQ(Places::applicationDataRoot(), "/elsewhere/data/" + kName);
    EXPECT_EQ(Places::scratchRoot(), "/elsewhere/cache/" + kName);
  }
  {
    // Unset, empty and relative XDG values all fall back to the home folder.
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    ScopedEnv cache("XDG_CACHE_HOME", "relative/cache");
    EXPECT_EQ(Places::applicationDataRoot(), home + "/.local/share/" + kName);
    EXPECT_EQ(Places::scratchRoot(), home + "/.cache/" + kName);
    ScopedEnv emptyData("XDG_DATA_HOME", "");
    ScopedEnv otherHome("HOME", "/other/home");
    EXPECT_EQ(Places::homeDirectory(), "/other/home");
    EXPECT_EQ(Places::applicationDataRoot(), "/other/home/.local/share/" + kName);
  }
}

TEST(PlacesTest, EnsureCreatesPrivateFolders) {
  kxtest::TempAppRoot root;
  ScopedEnv data("XDG_DATA_HOME", (root.path() + "/fresh/data").c_str());
  kx::Error error;
  ASSERT_TRUE(Places::ensureApplicationDataRoot(&error)) << error.localizedDescription();
  const std::string dataRoot = Places::applicationDataRoot();
  EXPECT_TRUE(stdfs::is_directory(dataRoot));
  EXPECT_EQ(modeOf(dataRoot), 0700u);
  EXPECT_EQ(modeOf(root.path() + "/fresh/data"), 0700u);

  // The scratch folder exists with a wider mode from an earlier run.
  const std::string scratch = Places::scratchRoot();
  stdfs::create_directories(scratch);
  ASSERT_EQ(::chmod(scratch.c_str(), 0775), 0);
  ASSERT_TRUE(Places::ensureScratchRoot(&error));
  EXPECT_EQ(modeOf(scratch), 0700u);
  // Calling again changes nothing.
  EXPECT_TRUE(Places::ensureScratchRoot(&error));
  EXPECT_TRUE(Places::ensureApplicationDataRoot(&error));
}

TEST(PlacesTest, EnsureFailsWhenAFileIsInTheWay) {
  kxtest::TempAppRoot root;
  const std::string dataRoot = Places::applicationDataRoot();
  std::FILE* file = std::fopen(dataRoot.c_str(), "w");
  ASSERT_TRUE(file);
  std::fclose(file);
  kx::Error error;
  EXPECT_FALSE(Places::ensureApplicationDataRoot(&error));
  EXPECT_EQ(error.domain(), kx::kPosixErrorDomain);
  EXPECT_TRUE(stdfs::is_regular_file(dataRoot));
}

// Pretends that the running program lives at `exe`.
class MovedProgram : public kxtest::FaultInjectingFileSystem {
 public:
  explicit MovedProgram(std::string exe) : exe_(std::move(exe)) {}
  bool readSymlink(const std::string& path, std::string* target, kx::Error* error) override {
    if (path == "/proc/self/exe") {
      *target = exe_;
      return true;
    }
    return FaultInjectingFileSystem::readSymlink(path, target, error);
  }

 private:
  std::string exe_;
};

TEST(PlacesTest, ResourcesDirectory) {
  ScopedEnv unset("ZN_RESOURCES_DIR", nullptr);
  // The test program sits in <build>/bin with the resources beside it.
  const std::string programFolder = Places::executableDirectory();
  ASSERT_FALSE(programFolder.empty());
  EXPECT_EQ(Places::resourcesDirectory(), programFolder + "/resources");
  {
    ScopedEnv set("ZN_RESOURCES_DIR", "/opt/zn/resources/");
    EXPECT_EQ(Places::resourcesDirectory(), "/opt/zn/resources");
  }

  kxtest::TempAppRoot root;
  const std::string prefix = root.path() + "/usr";
  stdfs::create_directories(prefix + "/bin");
  MovedProgram fs(prefix + "/bin/zarvelnote");
  kx::FileSystem::ScopedDefaultForTesting use(&fs);
  EXPECT_EQ(Places::executableDirectory(), prefix + "/bin");
  EXPECT_EQ(Places::resourcesDirectory(), "");
  stdfs::create_directories(prefix + "/share/zarvelnote/resources");
  EXPECT_EQ(Places::resourcesDirectory(), prefix + "/share/zarvelnote/resources");
  stdfs::create_directories(prefix + "/bin/resources");
  EXPECT_EQ(Places::resourcesDirectory(), prefix + "/bin/resources");
}

}  // namespace
