#include "WebRequest/KXContainedPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TempAppRoot.h"

namespace {

namespace fs = std::filesystem;

// A root holding a folder, a file, links that stay inside, and links that
// leave it, dangle or loop; and a folder outside the root.
class KXContainedPathTest : public testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::canonical(home_.path());
    root_ = base_ / "root";
    fs::create_directories(root_ / "a");
    fs::create_directories(base_ / "outside");
    std::ofstream(root_ / "a/f.txt") << "inside";
    std::ofstream(base_ / "outside/secret.txt") << "outside";
    fs::create_directory_symlink("a", root_ / "in");
    fs::create_symlink("a/f.txt", root_ / "in-file");
    fs::create_directory_symlink(base_ / "outside", root_ / "out");
    fs::create_symlink("missing", root_ / "dangling");
    fs::create_symlink(base_ / "outside/new.txt", root_ / "dangling-out");
    fs::create_symlink("loop2", root_ / "loop1");
    fs::create_symlink("loop1", root_ / "loop2");
    fs::create_symlink("self", root_ / "a/self");
  }

  kxtest::TempAppRoot home_;
  fs::path base_;
  fs::path root_;
};

TEST_F(KXContainedPathTest, AnswersOnlyPathsThatStayInsideTheRoot) {
  const std::string root = root_.string();
  struct Case {
    std::string relative;
    std::optional<std::string> expected;
  } cases[] = {
      {"", root},
      {"/", root},
      {"/a/f.txt", root + "/a/f.txt"},
      {"a/./f.txt", root + "/a/f.txt"},
      {"in/f.txt", root + "/a/f.txt"},
      {"in-file", root + "/a/f.txt"},
      {"a/new.txt", root + "/a/new.txt"},
      {"new/deeper/file.txt", root + "/new/deeper/file.txt"},
      {"a/f.txt.", root + "/a/f.txt."},
      // Links that leave the root, dangle or loop: creating a file through
      // any of them would write wherever they point.
      {"out", std::nullopt},
      {"out/secret.txt", std::nullopt},
      {"out/new.txt", std::nullopt},
      {"dangling", std::nullopt},
      {"dangling-out", std::nullopt},
      {"loop1", std::nullopt},
      {"loop1/x", std::nullopt},
      {"a/self", std::nullopt},
      // Segments never allowed, and a file used as a folder.
      {"a/../a/f.txt", std::nullopt},
      {"..", std::nullopt},
      {"a//f.txt", std::nullopt},
      {std::string("a/f\0.txt", 8), std::nullopt},
      {"a/f.txt/x", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXContainedPath::join(root, c.relative), c.expected) << c.relative;
    // A root given with a trailing slash or through a link answers the same.
    EXPECT_EQ(KXContainedPath::join(root + "/", c.relative), c.expected) << c.relative;
  }
  fs::create_directory_symlink(root_, base_ / "root-link");
  EXPECT_EQ(KXContainedPath::join((base_ / "root-link").string(), "in/f.txt"), root + "/a/f.txt");
  EXPECT_EQ(KXContainedPath::join((base_ / "no-such-root").string(), "a"), std::nullopt);
  EXPECT_EQ(KXContainedPath::join("", "a"), std::nullopt);
}

}  // namespace
