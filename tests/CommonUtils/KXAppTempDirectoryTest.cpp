#include "CommonUtils/KXAppTempDirectory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/FileSystem.h"
#include "platform/Places.h"
#include "support/TempAppRoot.h"

namespace {

kx::FileSystem& fs() { return kx::FileSystem::Posix(); }

class KXAppTempDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = kx::Places::scratchRoot();
    path_ = scratch_ + "/ZarvelNote-Tmp";
  }

  kxtest::TempAppRoot root_;
  std::string scratch_;
  std::string path_;
};

TEST_F(KXAppTempDirectoryTest, FirstCallOfTheRunEmptiesLeftoversSecondCallDeletesNothing) {
  ASSERT_TRUE(fs().createDirectory(path_ + "/old", nullptr));
  ASSERT_TRUE(fs().writeFile(path_ + "/old/leftover.tmp", "x", nullptr));

  EXPECT_EQ(KXAppTempDirectoryURL(), path_);
  std::vector<kx::DirectoryEntry> entries;
  ASSERT_TRUE(fs().listDirectory(path_, &entries, nullptr));
  EXPECT_TRUE(entries.empty());
  kx::FileInfo info;
  ASSERT_TRUE(fs().getInfo(path_, false, &info, nullptr));
  EXPECT_EQ(info.mode, 0700u);
  ASSERT_TRUE(fs().getInfo(scratch_, false, &info, nullptr));
  EXPECT_EQ(info.mode, 0700u);

  ASSERT_TRUE(fs().writeFile(path_ + "/this-run.tmp", "y", nullptr));
  EXPECT_EQ(KXAppTempDirectoryURL(), path_);
  EXPECT_TRUE(fs().exists(path_ + "/this-run.tmp"));
}

TEST_F(KXAppTempDirectoryTest, RegularFileInThePlaceIsLeftAlone) {
  ASSERT_TRUE(kx::Places::ensureScratchRoot(nullptr));
  ASSERT_TRUE(fs().writeFile(path_, "not a folder", nullptr));
  EXPECT_EQ(KXAppTempDirectoryURL(), path_);
  std::string contents;
  ASSERT_TRUE(fs().readFile(path_, &contents, nullptr));
  EXPECT_EQ(contents, "not a folder");
}

TEST_F(KXAppTempDirectoryTest, SymbolicLinkIsReplacedWithoutTouchingItsTarget) {
  const std::string outside = root_.path() + "/elsewhere";
  ASSERT_TRUE(fs().createDirectory(outside, nullptr));
  ASSERT_TRUE(fs().writeFile(outside + "/precious", "keep", nullptr));
  ASSERT_TRUE(kx::Places::ensureScratchRoot(nullptr));
  ASSERT_TRUE(fs().createSymlink(outside, path_, nullptr));

  EXPECT_EQ(KXAppTempDirectoryURL(), path_);
  EXPECT_TRUE(fs().exists(outside + "/precious"));
  kx::FileInfo info;
  ASSERT_TRUE(fs().getInfo(path_, false, &info, nullptr));
  EXPECT_TRUE(info.isDirectory());
}

TEST_F(KXAppTempDirectoryTest, DirectoryOfAnotherUserIsNotEmptied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  ASSERT_TRUE(fs().createDirectory(path_, nullptr));
  ASSERT_TRUE(fs().writeFile(path_ + "/theirs", "x", nullptr));
  ASSERT_EQ(::chown(path_.c_str(), 54321, 54321), 0);
  EXPECT_EQ(KXAppTempDirectoryURL(), path_);
  EXPECT_TRUE(fs().exists(path_ + "/theirs"));
}

}  // namespace
