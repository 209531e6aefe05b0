#include "CommonUtils/zip/ZZSafePath.h"

#include <vector>

#include "CommonUtils/zip/ZZError.h"

std::optional<std::string> ZZSafePath::join(std::string_view directory, std::string_view entryName,
                                            kx::Error* error) {
  auto refuse = [&]() -> std::optional<std::string> {
    kx::Dictionary info;
    info.set(kx::kFilePathErrorKey, kx::Value(std::string(entryName)));
    kx::SetError(error,
                 kx::Error(ZZErrorDomain, ZZUnsafeFileNameErrorCode, kx::Value(std::move(info))));
    return std::nullopt;
  };
  if (entryName.empty() || entryName.front() == '/' ||
      entryName.find('\0') != std::string_view::npos)
    return refuse();

  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= entryName.size()) {
    std::size_t slash = entryName.find('/', start);
    if (slash == std::string_view::npos) slash = entryName.size();
    std::string_view part = entryName.substr(start, slash - start);
    if (part == "..") return refuse();
    if (!part.empty() && part != ".") parts.push_back(part);
    start = slash + 1;
  }

  std::string path(directory);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  for (std::string_view part : parts) {
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path.append(part);
  }
  return path;
}
