// Notebook is a FileMeta of kind folder. Root is a kind of it, so a fetch of
// notebooks also returns the root.
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_NOTEBOOK_H_
#define ZN_DATA_NOTEBOOK_H_

#include <cstdint>

#include "Data/entities/FileMeta.h"

class Notebook : public FileMeta {
 public:
  Notebook() = default;

  // YES when the parent id is "0" (only the root's is).
  bool isRoot() const;
  std::int64_t noteCount() const;

  // The notebook's "entryPath", "version", "createTime", "modifyTime" and
  // "title", each under the note service's name for it in the file-entry
  // names ("entry" namespace of the field-name table: "title" goes out as
  // "name"). A key the model's notebooks do not have ("entryPath") or the
  // table does not name is left out with a log line. Nothing calls it yet.
  kx::Dictionary paramsForNetworkRequest() const;
};

#endif  // ZN_DATA_NOTEBOOK_H_
