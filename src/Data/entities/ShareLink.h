// ShareLink is the share link of one entry: the entry's file id, the link's address and whether
// search engines may index the shared page.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_SHARELINK_H_
#define ZN_DATA_SHARELINK_H_

#include <cstdint>
#include <string>

#include "Data/store/KXManagedObject.h"

class ShareLink : public KXManagedObject {
 public:
  ShareLink() = default;

  std::string entryId() const;
  std::string shareUrl() const;
  bool searchEngineEnable() const;
};

#endif  // ZN_DATA_SHARELINK_H_
