// The read-queue hop of KXEntryReads, shared by its source files
// (KXEntryReads*.cpp) and included by nothing else.
//
// Thread safety: as KXEntryReads.
//
// Internal to src/Data: the folder's library defines ZN_DATA_INTERNAL for its
// own sources, and nothing outside the folder may include this header.
#ifndef ZN_DATA_INTERNAL
#error "KXEntryReadsInternal.h is internal to src/Data; include Data/KXEntryReads.h instead"
#endif

#ifndef ZN_DATA_KXENTRYREADSINTERNAL_H_
#define ZN_DATA_KXENTRYREADSINTERNAL_H_

#include <utility>

#include "Data/client/KXDataClientInternal.h"
#include "Data/client/KXEntryReads.h"

// fn(bound context) on the caller's queue, or fn(read context) on the read
// queue (inline when called there); a default answer after closeDB.
template <class Fn>
auto KXEntryReads::onReadQueue(Fn&& fn)
    -> decltype(fn(static_cast<KXManagedObjectContext*>(nullptr))) {
  return kx_data_client::InContextOrOnReadQueue(*client_, bound_, std::forward<Fn>(fn));
}

#endif  // ZN_DATA_KXENTRYREADSINTERNAL_H_
