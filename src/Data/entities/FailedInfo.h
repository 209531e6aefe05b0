// FailedInfo is an entry whose pull failed, kept for another try: its file id, the entry as JSON
// text and the number of attempts so far.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_FAILEDINFO_H_
#define ZN_DATA_FAILEDINFO_H_

#include <cstdint>
#include <string>

#include "Data/store/KXManagedObject.h"

class FailedInfo : public KXManagedObject {
 public:
  FailedInfo() = default;

  std::string fileId() const;
  std::string entryJson() const;
  std::int64_t retry() const;
};

#endif  // ZN_DATA_FAILEDINFO_H_
