// OperationLog is one recorded operation: its type and its data.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_OPERATIONLOG_H_
#define ZN_DATA_OPERATIONLOG_H_

#include <cstdint>
#include <string>

#include "Data/store/KXManagedObject.h"

class OperationLog : public KXManagedObject {
 public:
  OperationLog() = default;

  std::int64_t opType() const;
  kx::Bytes opData() const;
};

#endif  // ZN_DATA_OPERATIONLOG_H_
