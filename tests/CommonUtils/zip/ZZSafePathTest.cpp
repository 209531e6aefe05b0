#include "CommonUtils/zip/ZZSafePath.h"

#include <gtest/gtest.h>

#include "CommonUtils/zip/ZZError.h"

TEST(ZZSafePathTest, JoinsNamesThatStayInsideTheFolder) {
  struct Case {
    const char* directory;
    std::string name;
    const char* joined;  // nullptr: refused
  };
  const Case cases[] = {
      {"/tmp/out", "a.txt", "/tmp/out/a.txt"},
      {"/tmp/out/", "dir/sub/", "/tmp/out/dir/sub"},
      {"/tmp/out", "a//./b", "/tmp/out/a/b"},
      {"/tmp/out", "./", "/tmp/out"},
      {"/tmp/out", "..a/b..", "/tmp/out/..a/b.."},
      {"/tmp/out", "a\\..\\b", "/tmp/out/a\\..\\b"},  // backslashes are name characters here
      {"rel", "x", "rel/x"},
      {"", "x/y", "x/y"},
      {"/", "x", "/x"},
      {"/tmp/out", "", nullptr},
      {"/tmp/out", "/etc/passwd", nullptr},
      {"/tmp/out", "../escape", nullptr},
      {"/tmp/out", "a/../../escape", nullptr},
      {"/tmp/out", "a/..", nullptr},
      {"/tmp/out", "..", nullptr},
      {"/tmp/out", std::string("a\0b", 3), nullptr},
  };
  for (const Case& c : cases) {
    kx::Error error;
    std::optional<std::string> joined = ZZSafePath::join(c.directory, c.name, &error);
    if (c.joined) {
      EXPECT_EQ(joined, std::optional<std::string>(c.joined)) << c.name;
      EXPECT_FALSE(error) << c.name;
    } else {
      EXPECT_FALSE(joined) << c.name;
      EXPECT_EQ(error.domain(), ZZErrorDomain) << c.name;
      EXPECT_EQ(error.code(), ZZUnsafeFileNameErrorCode) << c.name;
    }
  }
}
