#include "Data/DataUtil/KXResourceUtil.h"

#include "Data/KXFileManager.h"

KXResourceUtil& KXResourceUtil::sharedUtil() {
  static KXResourceUtil* util = new KXResourceUtil();
  return *util;
}

long KXResourceUtil::bucketForResourceID(const std::string& resourceId) {
  unsigned long sum = 0;
  for (unsigned char byte : resourceId) sum += byte;
  return static_cast<long>(sum % 10);
}

std::string KXResourceUtil::fileURLForThumbnail(const kx::Value& resource) {
  std::string resourceId = resource["resourceID"].stringValue();
  if (resourceId.empty()) return {};
  std::string folder = KXFileManager::defaultManauger().URLForCurrentUserThumbnailDictoryWithSubDirectory(
      bucketForResourceID(resourceId));
  if (folder.empty()) return {};
  return folder + "/" + resourceId;
}
