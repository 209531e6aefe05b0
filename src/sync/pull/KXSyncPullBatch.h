// KXSyncPullBatch is one metadata pull's entries, converted to the store's
// field names, de-duplicated by file id, parents first, and sorted into the
// six lists the store applies in this order: deleted notes, deleted files,
// deleted notebooks (children first), new and changed notebooks, notes and
// files (parents first). `idDict` maps each file id of the batch to its
// item; appliers may change it while they apply (children then see what
// their parents became).
//
// `cyclic` holds the file ids of the entries where parent loops inside the
// batch were cut: each was placed under the root notebook (its item's
// "parentId" says so), and the store's applier keeps an existing one where
// it is; what hung below the loop follows it in the lists. `skipped` counts
// raw entries without an "entry" object or file id.
//
// Thread safety: a plain value.
#ifndef ZN_SYNC_KXSYNCPULLBATCH_H_
#define ZN_SYNC_KXSYNCPULLBATCH_H_

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Value.h"

struct KXSyncPullBatch {
  // The keys of the six lists (spelled as the service's clients know them).
  static constexpr const char* kDeleteNoteKey = "deleteNoteKey";
  static constexpr const char* kNewAndModifyNoteKey = "newAndModifyNoteKey";
  static constexpr const char* kDeleteFileKey = "deleteFileKey";
  static constexpr const char* kNewAndModifyFileKey = "newAndModfiyFileKey";
  static constexpr const char* kDeleteNoteBookKey = "deleteNoteBookKey";
  static constexpr const char* kNewAndModifyNoteBookKey = "newAndModfiyNoteBookKey";

  std::vector<kx::Dictionary> deleteNotes;
  std::vector<kx::Dictionary> deleteFiles;
  std::vector<kx::Dictionary> deleteNotebooks;
  std::vector<kx::Dictionary> newAndModifyNotebooks;
  std::vector<kx::Dictionary> newAndModifyNotes;
  std::vector<kx::Dictionary> newAndModifyFiles;
  kx::Dictionary idDict;  // file id -> item

  std::vector<std::string> cyclic;
  std::size_t skipped = 0;

  std::size_t itemCount() const {
    return deleteNotes.size() + deleteFiles.size() + deleteNotebooks.size() +
           newAndModifyNotebooks.size() + newAndModifyNotes.size() + newAndModifyFiles.size();
  }
};

#endif  // ZN_SYNC_KXSYNCPULLBATCH_H_
