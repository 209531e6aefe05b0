// Note is a FileMeta of kind note: a rich-text note, or a Markdown or
// mind-map document stored as note content. It keeps a "moved" mark in
// memory only (initially NO).
//
// Thread safety: as KXManagedObject; the mark is guarded by the object's
// lock.
#ifndef ZN_DATA_NOTE_H_
#define ZN_DATA_NOTE_H_

#include "Data/entities/FileMeta.h"

class Note : public FileMeta {
 public:
  Note() = default;

  // YES when localModifyData is not empty and the moved mark is NO.
  bool needMove() const;
  // Sets the moved mark.
  void setNeedNotMove();

 private:
  bool moved_ GUARDED_BY(transientLock()) = false;
};

#endif  // ZN_DATA_NOTE_H_
