// Tag is a tag of the user's: its service id (tagId), the parent tag's id (pTagId), its name, its
// creation and change times, and what the tag sync still has to push (isLocalCreated,
// isLocalModified, isLocalRemoved).
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_TAG_H_
#define ZN_DATA_TAG_H_

#include <cstdint>
#include <string>

#include "Data/store/KXManagedObject.h"

class Tag : public KXManagedObject {
 public:
  Tag() = default;

  std::string tagId() const;
  std::string pTagId() const;
  std::string name() const;
  std::int64_t dateCreated() const;
  std::int64_t dateUpdated() const;
  bool isLocalCreated() const;
  bool isLocalModified() const;
  bool isLocalRemoved() const;
};

#endif  // ZN_DATA_TAG_H_
