// KXResourceUtil serves the resources of notes. So far it names the file
// of a resource's thumbnail: the per-user thumbnail folder's numbered
// sub-folder (the sum of the bytes of the resource id, modulo 10) joined
// with the resource id; the file has no extension and holds PNG data.
//
// Thread safety: one instance for the process (sharedUtil); every member
// may be called from any thread.
#ifndef ZN_DATA_DATAUTIL_KXRESOURCEUTIL_H_
#define ZN_DATA_DATAUTIL_KXRESOURCEUTIL_H_

#include <string>

#include "platform/Value.h"

class KXResourceUtil {
 public:
  static KXResourceUtil& sharedUtil();

  // The sub-folder number of a resource id (0 to 9).
  static long bucketForResourceID(const std::string& resourceId);
  // The thumbnail file of the resource named by the description's
  // "resourceID" (the file need not exist); "" without an id or when the
  // folder cannot be made.
  std::string fileURLForThumbnail(const kx::Value& resource);

 private:
  KXResourceUtil() = default;
};

#endif  // ZN_DATA_DATAUTIL_KXRESOURCEUTIL_H_
