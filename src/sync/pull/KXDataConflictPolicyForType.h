// KXDataConflictPolicyForType(n) gives the shared conflict policy of number
// n (made once, never freed): 1 local, 2 copy-one, 3 remote. 0 asks for the
// configured number, the integer of the configuration item "data-conflict"
// ("1" when missing). A number outside 1..3, given or configured, is refused
// with a log line and nullptr: a caller's slip or a hand-edited
// configuration file must not stop the program.
//
// Thread safety: may be called from any thread.
#ifndef ZN_SYNC_KXDATACONFLICTPOLICYFORTYPE_H_
#define ZN_SYNC_KXDATACONFLICTPOLICYFORTYPE_H_

#include "sync/pull/KXDataConflictPolicy.h"

class KXConfiguration;

// `configuration`: where the configured number is read (nullptr: the shared
// configuration).
const KXDataConflictPolicy* KXDataConflictPolicyForType(
    int type, const KXConfiguration* configuration = nullptr);

#endif  // ZN_SYNC_KXDATACONFLICTPOLICYFORTYPE_H_
