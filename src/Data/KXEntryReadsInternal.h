// The read-queue hop of KXEntryReads, shared by its source files
// (KXEntryReads*.cpp) and included by nothing else.
//
// Thread safety: as KXEntryReads.
#ifndef ZN_DATA_KXENTRYREADSINTERNAL_H_
#define ZN_DATA_KXENTRYREADSINTERNAL_H_

#include <utility>

#include "Data/KXDataClientInternal.h"
#include "Data/KXEntryReads.h"

// fn(bound context) on the caller's queue, or fn(read context) on the read
// queue (inline when called there); a default answer after closeDB.
template <class Fn>
auto KXEntryReads::onReadQueue(Fn&& fn)
    -> decltype(fn(static_cast<KXManagedObjectContext*>(nullptr))) {
  return kx_data_client::InContextOrOnReadQueue(*client_, bound_, std::forward<Fn>(fn));
}

#endif  // ZN_DATA_KXENTRYREADSINTERNAL_H_
