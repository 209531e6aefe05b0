#include "platform/Path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kx::Path;

struct ComponentCase {
  const char* path;
  const char* last;          // lastPathComponent
  const char* deletingLast;  // deletingLastPathComponent
  const char* extension;     // pathExtension
  const char* deletingExt;   // deletingPathExtension
  const char* standardized;  // standardizingPath
};

// One row per path; each column is one helper's answer.
const ComponentCase kComponentCases[] = {
    {"", "", "", "", "", ""},
    {"/", "/", "/", "", "/", "/"},
    {"//", "/", "/", "", "/", "/"},
    {"a", "a", "", "", "a", "a"},
    {"/a", "a", "/", "", "/a", "/a"},
    {"/a/", "a", "/", "", "/a", "/a"},
    {"a/", "a", "", "", "a", "a"},
    {"a//b", "b", "a", "", "a/b", "a/b"},
    {"//a", "a", "/", "", "/a", "/a"},
    {"/tmp/", "tmp", "/", "", "/tmp", "/tmp"},
    {"/tmp/lock/", "lock", "/tmp", "", "/tmp/lock", "/tmp/lock"},
    {"/tmp/scratch.tiff", "scratch.tiff", "/tmp", "tiff", "/tmp/scratch", "/tmp/scratch.tiff"},
    {"/tmp/scratch.tiff///", "scratch.tiff", "/tmp", "tiff", "/tmp/scratch", "/tmp/scratch.tiff"},
    {"scratch.tiff", "scratch.tiff", "", "tiff", "scratch", "scratch.tiff"},
    {".dotfile", ".dotfile", "", "", ".dotfile", ".dotfile"},
    {"dir/.hidden", ".hidden", "dir", "", "dir/.hidden", "dir/.hidden"},
    {".scratch.tiff", ".scratch.tiff", "", "tiff", ".scratch", ".scratch.tiff"},
    {"a.b.c", "a.b.c", "", "c", "a.b", "a.b.c"},
    {"/a.b/c", "c", "/a.b", "", "/a.b/c", "/a.b/c"},
    {"/a.b/", "a.b", "/", "b", "/a", "/a.b"},
    {"scratch..tiff", "scratch..tiff", "", "tiff", "scratch.", "scratch..tiff"},
    {"file.", "file.", "", "", "file.", "file."},
    {"report.pdf", "report.pdf", "", "pdf", "report", "report.pdf"},
    {"./a/../b", "b", "./a/..", "", "./a/../b", "./a/../b"},
};

TEST(PathTest, ComponentTable) {
  for (const ComponentCase& c : kComponentCases) {
    SCOPED_TRACE(std::string("path \"") + c.path + "\"");
    EXPECT_EQ(Path::lastPathComponent(c.path), c.last);
    EXPECT_EQ(Path::deletingLastPathComponent(c.path), c.deletingLast);
    EXPECT_EQ(Path::pathExtension(c.path), c.extension);
    EXPECT_EQ(Path::deletingPathExtension(c.path), c.deletingExt);
    EXPECT_EQ(Path::standardizingPath(c.path), c.standardized);
  }
}

TEST(PathTest, AppendingPathComponent) {
  const struct {
    const char* path;
    const char* component;
    const char* expected;
  } cases[] = {
      {"/tmp", "scratch.tiff", "/tmp/scratch.tiff"},
      {"/tmp/", "scratch.tiff", "/tmp/scratch.tiff"},
      {"/", "scratch.tiff", "/scratch.tiff"},
      {"", "scratch.tiff", "scratch.tiff"},
      {"/tmp", "", "/tmp"},
      {"", "", ""},
      {"/tmp//", "/a//b/", "/tmp/a/b"},
      {"a", "b/c", "a/b/c"},
      {"Contents/C", "ABC", "Contents/C/ABC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " + " + c.component);
    EXPECT_EQ(Path::appendingPathComponent(c.path, c.component), c.expected);
  }
}

TEST(PathTest, AppendingPathExtension) {
  const struct {
    const char* path;
    const char* extension;
    const char* expected;
  } cases[] = {
      {"/tmp/scratch.old", "tiff", "/tmp/scratch.old.tiff"},
      {"/tmp/scratch.", "tiff", "/tmp/scratch..tiff"},
      {"/tmp/", "tiff", "/tmp.tiff"},
      {"scratch", "tiff", "scratch.tiff"},
      {"Contents/C/ABC", "html", "Contents/C/ABC.html"},
      // Nothing can be added to these.
      {"", "tiff", ""},
      {"/", "tiff", "/"},
      {"a//b/", "/tiff", "a/b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " + ." + c.extension);
    EXPECT_EQ(Path::appendingPathExtension(c.path, c.extension), c.expected);
  }
}

TEST(PathTest, PathComponents) {
  using V = std::vector<std::string>;
  const struct {
    const char* path;
    V expected;
  } cases[] = {
      {"", V{}},
      {"/", V{"/"}},
      {"tmp/scratch", V{"tmp", "scratch"}},
      {"/tmp/scratch", V{"/", "tmp", "scratch"}},
      {"/tmp/scratch/", V{"/", "tmp", "scratch", "/"}},
      {"a//b", V{"a", "b"}},
      {"//a", V{"/", "a"}},
      {".dotfile", V{".dotfile"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("path \"") + c.path + "\"");
    EXPECT_EQ(Path::pathComponents(c.path), c.expected);
  }
}

}  // namespace
