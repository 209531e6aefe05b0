// KXStoreAwait runs one asynchronous store call and waits for its first
// completion, for the local handlers that answer a page only after the
// store holds a change. Later completions of the same call are ignored.
//
// Never call it on the store's write or read queue (their completions run
// there); the handlers call it on their own work queue or on the thread
// that offered the request.
//
// Thread safety: pure function over a shared completion record.
#ifndef ZN_WEBREQUEST_KXSTOREAWAIT_H_
#define ZN_WEBREQUEST_KXSTOREAWAIT_H_

#include <functional>
#include <memory>

#include "Data/client/KXDataClient.h"
#include "platform/Error.h"
#include "platform/Mutex.h"

struct KXStoreOutcome {
  KXResultInfo info;
  kx::Error error;
};

class KXStoreAwait {
 public:
  KXStoreAwait() = delete;

  // Calls `start` with a completion and waits until it was called once.
  static KXStoreOutcome call(const std::function<void(KXDataCallback completion)>& start);
};

#endif  // ZN_WEBREQUEST_KXSTOREAWAIT_H_
