// Notebook is a FileMeta of kind folder. Root is a kind of it, so a fetch of
// notebooks also returns the root.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_NOTEBOOK_H_
#define ZN_DATA_NOTEBOOK_H_

#include <cstdint>

#include "Data/FileMeta.h"

class Notebook : public FileMeta {
 public:
  Notebook() = default;

  // YES when the parent id is "0" (only the root's is).
  bool isRoot() const;
  std::int64_t noteCount() const;
};

#endif  // ZN_DATA_NOTEBOOK_H_
