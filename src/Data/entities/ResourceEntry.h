// ResourceEntry is the stored file behind one or more resources: its name in
// the resource area (uuid), its path (file), the number that picks its first
// bucket (entryID), the lower-case hexadecimal MD5 of its bytes (dataHash)
// and its MIME type. resourceHolders are the resources that use it.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_RESOURCEENTRY_H_
#define ZN_DATA_RESOURCEENTRY_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Data/store/KXManagedObject.h"

class Resource;

class ResourceEntry : public KXManagedObject {
 public:
  ResourceEntry() = default;

  std::string uuid() const;
  std::string file() const;
  std::int64_t entryID() const;
  std::string dataHash() const;
  std::string mimeType() const;
  std::vector<std::shared_ptr<Resource>> resourceHolders() const;
};

#endif  // ZN_DATA_RESOURCEENTRY_H_
