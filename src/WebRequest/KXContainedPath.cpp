#include "WebRequest/KXContainedPath.h"

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

// The canonical form of `path`, resolving its nearest existing ancestor when
// the path itself does not exist (the rest holds no ".." by then).
std::optional<std::string> canonicalOfPossiblyMissing(const std::string& path) {
  if (auto whole = canonical(path)) return whole;
  std::string head = path;
  std::string tail;
  while (true) {
    std::size_t slash = head.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return std::nullopt;
    tail = head.substr(slash) + tail;
    head.resize(slash);
    if (auto resolved = canonical(head)) return *resolved + tail;
  }
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
  std::string joined = root;
  if (joined.back() != '/') joined += '/';
  std::string_view rest = relativePath;
  if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  joined += rest;
  if (rest.empty()) return canonicalRoot;
  std::optional<std::string> resolved = canonicalOfPossiblyMissing(joined);
  if (!resolved || !inside(*resolved, *canonicalRoot)) return std::nullopt;
  return resolved;
}
