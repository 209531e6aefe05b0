// Statistic is one usage counter: its key and its count.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_STATISTIC_H_
#define ZN_DATA_STATISTIC_H_

#include <cstdint>
#include <string>

#include "Data/store/KXManagedObject.h"

class Statistic : public KXManagedObject {
 public:
  Statistic() = default;

  std::string statisKey() const;
  std::int64_t statisValue() const;
};

#endif  // ZN_DATA_STATISTIC_H_
