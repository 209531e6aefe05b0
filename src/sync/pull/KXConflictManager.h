// KXConflictManager decides which side wins when the metadata pull meets a
// pulled notebook, note or file that also exists in the store.
//
// The decision is a pure function of named flags (policyNumberFor), first
// match wins:
//
//   full pull under way                         3 remote
//   not modified locally                        3 remote
//   removed remotely, no local entry (lrr)      3 remote
//   removed remotely, local entry in trash      1 local
//   removed remotely                            2 copy-one
//   deleted remotely, local removed             1 local
//   deleted remotely, local not in trash        1 local
//   deleted remotely, local parent is trash     2 copy-one
//   deleted remotely                            3 remote
//   local removed                               3 remote
//   local not in trash                          2 copy-one
//   local parent is trash                       2 copy-one
//   otherwise                                   3 remote
//
// "Removed remotely" is the pulled "remoteRemoved" equal to 1 (2 does not
// count); "deleted remotely" the pulled "deleted" as a Boolean; "local
// removed" is the local entry's remoteRemoved, or YES without a local entry;
// "in trash" the local del; "parent is trash" the local parentId "1". The
// chosen number's shared policy gives the verdict. The configured policy
// ("data-conflict") plays no part in the decision.
//
// Thread safety: no state; every member may be called from any thread.
#ifndef ZN_SYNC_KXCONFLICTMANAGER_H_
#define ZN_SYNC_KXCONFLICTMANAGER_H_

#include "platform/Value.h"
#include "sync/pull/KXConflictResult.h"

class FileMeta;

struct KXConflictFlags {
  bool fullPulling = false;
  bool localModified = false;       // lm
  bool localRemoteRemoved = false;  // lrr (YES without a local entry)
  bool remoteRemoved = false;       // rrr == 1
  bool remoteDeleted = false;       // rdel
  bool localDeleted = false;        // ldel: in the local trash
  bool localParentIsTrash = false;  // p1
};

class KXConflictManager {
 public:
  // The type the pull passes for notebooks and for notes and files; the two
  // are decided alike.
  static constexpr int kTypeNotebook = 1;
  static constexpr int kTypeNoteOrFile = 3;

  static KXConflictManager& sharedManager();

  // The policy number (1 local, 2 copy-one, 3 remote) for the flags.
  static int policyNumberFor(const KXConflictFlags& flags);
  // The flags of a pulled item (store field names) against its local entry
  // (nullptr when there is none).
  static KXConflictFlags flagsFor(const kx::Dictionary& pulled, const FileMeta* local,
                                  bool fullPulling);

  // The verdict for the pulled item; `fullPulling` is the data client's
  // flag at the time of the call.
  KXConflictResult passConflictData(const kx::Dictionary& pulled, const FileMeta* local, int type,
                                    bool fullPulling) const;
};

#endif  // ZN_SYNC_KXCONFLICTMANAGER_H_
