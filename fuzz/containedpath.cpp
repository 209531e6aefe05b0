// Fuzz target of KXContainedPath over a fixed tree that holds a folder, a
// file, links that stay inside, and links that leave the root, dangle or
// loop. Whatever the relative path, an answer lies inside the root and
// none of its existing components below the root is a symbolic link, so
// opening or creating it can never reach outside.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "WebRequest/KXContainedPath.h"

namespace {

namespace fs = std::filesystem;

const std::string& root() {
  static const std::string path = [] {
    char folder[] = "/tmp/zn-fuzz-contained-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    const fs::path base = fs::canonical(folder);
    const fs::path r = base / "root";
    fs::create_directories(r / "a/b");
    fs::create_directories(base / "outside");
    std::ofstream(r / "a/f.txt") << "inside";
    fs::create_directory_symlink("a", r / "in");
    fs::create_directory_symlink("../a", r / "a/b/up");
    fs::create_directory_symlink(base / "outside", r / "out");
    fs::create_directory_symlink("../../..", r / "a/b/far");
    fs::create_symlink("missing", r / "dangling");
    fs::create_symlink(base / "outside/new.txt", r / "a/dangling-out");
    fs::create_symlink("loop2", r / "loop1");
    fs::create_symlink("loop1", r / "loop2");
    return r.string();
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view relative(reinterpret_cast<const char*>(data), size);
  const std::string& r = root();
  auto joined = KXContainedPath::join(r, relative);
  if (!joined) return 0;
  if (*joined != r && joined->compare(0, r.size() + 1, r + "/") != 0) std::abort();
  // Walk the answer below the root: no existing component is a link.
  std::size_t at = r.size();
  while (at < joined->size()) {
    const std::size_t next = joined->find('/', at + 1);
    const std::string prefix = joined->substr(0, next);
    struct stat st;
    if (::lstat(prefix.c_str(), &st) != 0) break;  // the rest does not exist
    if (S_ISLNK(st.st_mode)) std::abort();
    if (next == std::string::npos) break;
    at = next;
  }
  return 0;
}
