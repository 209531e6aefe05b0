// DbState is one key-value item of store state ("dbVersion", "dbContentVersion", "dbTagVersion",
// "recreateIndexDone", ...). The value is any property-list scalar (number, text or bytes); a
// Boolean is kept as the number 0 or 1.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_DBSTATE_H_
#define ZN_DATA_DBSTATE_H_

#include <cstdint>
#include <string>

#include "Data/store/KXManagedObject.h"

class DbState : public KXManagedObject {
 public:
  DbState() = default;

  std::string stateKey() const;
  kx::Value stateValue() const;
};

#endif  // ZN_DATA_DBSTATE_H_
