#include "Data/Note.h"

bool Note::needMove() const {
  bool empty = stringValue("localModifyData").empty();
  std::lock_guard<std::mutex> lock(transientLock());
  return !empty && !moved_;
}

void Note::setNeedNotMove() {
  std::lock_guard<std::mutex> lock(transientLock());
  moved_ = true;
}
