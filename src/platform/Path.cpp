#include "platform/Path.h"

namespace kx {

namespace {

// The path with runs of "/" collapsed and without a trailing "/" (the root
// stays "/").
std::string fixSlashes(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// Position of the first character of the last component of a fixed path.
std::size_t startOfLastComponent(const std::string& fixed) {
  std::size_t slash = fixed.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

// Position of the "." that starts the extension of a fixed path, or npos.
std::size_t extensionDot(const std::string& fixed) {
  if (fixed.size() <= 1) return std::string::npos;
  std::size_t start = startOfLastComponent(fixed);
  std::size_t dot = fixed.rfind('.');
  if (dot == std::string::npos || dot < start) return std::string::npos;
  // A leading "." makes a hidden name, not an extension; a trailing "."
  // leaves the extension empty.
  if (dot == start || dot + 1 == fixed.size()) return std::string::npos;
  return dot;
}

}  // namespace

std::string Path::standardizingPath(std::string_view path) { return fixSlashes(path); }

std::string Path::lastPathComponent(std::string_view path) {
  std::string fixed = fixSlashes(path);
  if (fixed.size() <= 1) return fixed;
  return fixed.substr(startOfLastComponent(fixed));
}

std::string Path::deletingLastPathComponent(std::string_view path) {
  std::string fixed = fixSlashes(path);
  if (fixed.empty() || fixed == "/") return fixed;
  std::size_t slash = fixed.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return fixed.substr(0, slash);
}

std::string Path::pathExtension(std::string_view path) {
  std::string fixed = fixSlashes(path);
  std::size_t dot = extensionDot(fixed);
  return dot == std::string::npos ? std::string() : fixed.substr(dot + 1);
}

std::string Path::deletingPathExtension(std::string_view path) {
  std::string fixed = fixSlashes(path);
  std::size_t dot = extensionDot(fixed);
  if (dot != std::string::npos) fixed.resize(dot);
  return fixed;
}

std::string Path::appendingPathComponent(std::string_view path, std::string_view component) {
  std::string joined(path);
  if (!joined.empty() && !component.empty()) joined.push_back('/');
  joined.append(component);
  return fixSlashes(joined);
}

std::string Path::appendingPathExtension(std::string_view path, std::string_view extension) {
  std::string fixed = fixSlashes(path);
  if (fixed.empty() || fixed == "/" || (!extension.empty() && extension.front() == '/')) {
    return fixed;
  }
  fixed.push_back('.');
  fixed.append(extension);
  return fixSlashes(fixed);
}

std::vector<std::string> Path::pathComponents(std::string_view path) {
  std::vector<std::string> result;
  if (path.empty()) return result;
  if (path.front() == '/') result.emplace_back("/");
  std::size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && path[pos] == '/') ++pos;
    if (pos == path.size()) break;
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    result.emplace_back(path.substr(pos, end - pos));
    pos = end;
  }
  if (path.size() > 1 && path.back() == '/') result.emplace_back("/");
  return result;
}

}  // namespace kx
