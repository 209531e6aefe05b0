#include "WebRequest/KXContainedPath.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace {

std::optional<std::string> canonical(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

bool inside(const std::string& candidate, const std::string& root) {
  if (candidate == root) return true;
  if (root == "/") return true;
  return candidate.size() > root.size() && candidate.compare(0, root.size(), root) == 0 &&
         candidate[root.size()] == '/';
}

}  // namespace

bool KXContainedPath::segmentsAllowed(std::string_view relativePath) {
  if (relativePath.find('\0') != std::string_view::npos) return false;
  std::string_view rest = relativePath;
  if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  if (rest.empty()) return true;
  while (true) {
    std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    if (segment.empty() || segment == "..") return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

std::optional<std::string> KXContainedPath::join(const std::string& root,
                                                 std::string_view relativePath) {
  if (root.empty() || !segmentsAllowed(relativePath)) return std::nullopt;
  std::optional<std::string> canonicalRoot = canonical(root);
  if (!canonicalRoot) return std::nullopt;
  // Component by component from the root: a symbolic link must resolve (a
  // dangling link or a loop is refused, since opening it to create a file
  // would follow it anywhere) and stay inside; the first missing component
  // ends the walk, as nothing below it exists.
  std::string current = *canonicalRoot;
  std::string_view rest = relativePath;
  bool missing = false;
  while (!rest.empty()) {
    if (rest.front() == '/') rest.remove_prefix(1);
    const std::size_t slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (segment.empty() || segment == ".") continue;
    std::string next = current == "/" ? "/" : current + "/";
    next += segment;
    if (missing) {
      current = std::move(next);
      continue;
    }
    struct stat st;
    if (::lstat(next.c_str(), &st) != 0) {
      if (errno != ENOENT) return std::nullopt;
      missing = true;
      current = std::move(next);
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      std::optional<std::string> target = canonical(next);
      if (!target || !inside(*target, *canonicalRoot)) return std::nullopt;
      next = std::move(*target);
    }
    current = std::move(next);
  }
  return current;
}
