#include "Data/entities/Note.h"

bool Note::needMove() const {
  bool empty = stringValue("localModifyData").empty();
  kx::MutexLock lock(transientLock());
  return !empty && !moved_;
}

void Note::setNeedNotMove() {
  kx::MutexLock lock(transientLock());
  moved_ = true;
}
