// Remind is a kind of Resource: a reminder resource (isChecked, isRemind, startTime, endTime,
// interval, subject, content).
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_REMIND_H_
#define ZN_DATA_REMIND_H_

#include "Data/entities/Resource.h"

class Remind : public Resource {
 public:
  Remind() = default;
};

#endif  // ZN_DATA_REMIND_H_
