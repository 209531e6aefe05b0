// PenEntry is a smart-pen notebook or page entry; its entity is named "CloudPen".
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_PENENTRY_H_
#define ZN_DATA_PENENTRY_H_

#include <cstdint>
#include <string>

#include "Data/store/KXManagedObject.h"

class PenEntry : public KXManagedObject {
 public:
  PenEntry() = default;

  std::string entryId() const;
  std::string typeId() const;
  std::string userId() const;
  std::string name() const;
  std::int64_t entryType() const;
  std::int64_t version() const;
  std::int64_t fileSize() const;
  std::int64_t createTime() const;
  std::int64_t modifyTime() const;
  bool erased() const;
  bool favorited() const;
  bool active() const;
  bool modDeleted() const;
  bool penNoteDelete() const;
};

#endif  // ZN_DATA_PENENTRY_H_
