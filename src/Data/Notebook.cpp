#include "Data/Notebook.h"

bool Notebook::isRoot() const { return !isNil("parentId") && parentId() == "0"; }

std::int64_t Notebook::noteCount() const { return integerValue("noteCount"); }
