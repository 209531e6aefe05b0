#include "CommonUtils/KXPathUtil.h"

#include "CommonUtils/KXHooks.h"
#include "platform/Path.h"

std::string KXPathUtil::dirname(const std::string& path) {
  std::string parent = kx::Path::deletingLastPathComponent(path);
  return parent.empty() ? std::string("/") : parent;
}

std::string KXPathUtil::basename(const std::string& path) {
  if (path == "/") return KXHooks::rootEntryId();
  return kx::Path::lastPathComponent(path);
}
