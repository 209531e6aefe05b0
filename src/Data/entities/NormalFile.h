// NormalFile is a FileMeta of kind stored file: an uploaded file of any kind
// other than a note, whose bytes live in a directory of their own.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_NORMALFILE_H_
#define ZN_DATA_NORMALFILE_H_

#include "Data/entities/FileMeta.h"

class NormalFile : public FileMeta {
 public:
  NormalFile() = default;
};

#endif  // ZN_DATA_NORMALFILE_H_
