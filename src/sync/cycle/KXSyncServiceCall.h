// KXSyncServiceCall sends one request of the sync engine's smaller workers
// (tags, shares, pen notes, statistics) to the note service and waits for
// the answer, on the caller's thread.
//
// The answer counts only with HTTP status 200 and no transport error; its
// body is parsed as JSON when `parse` is asked for. A failure is an error of
// "com.zarvel.note.Error" 0x400000002 (a malformed or refused answer) or the
// transport's own error.
//
// Thread safety: a free function; may be called from any thread, never from
// the transport's own threads (it blocks).
#ifndef ZN_SYNC_KXSYNCSERVICECALL_H_
#define ZN_SYNC_KXSYNCSERVICECALL_H_

#include <cstdint>
#include <memory>

#include "account/KXNetworkOperation.h"
#include "platform/Error.h"
#include "platform/Value.h"

struct KXSyncServiceReply {
  std::int64_t status = 0;  // 0: no answer
  kx::Value body;           // the raw body (Data), when an answer came
  kx::Value json;           // the parsed body, when asked for and it parsed
  kx::Error error;          // empty: a 200 answer (that parsed, when asked)
  bool ok() const { return !error; }
};

inline constexpr std::int64_t kKXSyncAnswerErrorCode = 0x400000002;

// Sends `options` on `operation` (a new operation when nullptr) and waits.
KXSyncServiceReply KXSyncServiceCall(const KXNetworkOperationOptions& options, bool parse,
                                     std::shared_ptr<KXNetworkOperation> operation = nullptr);

// An error of the sync engine's domain with the code above and the text.
kx::Error KXSyncAnswerError(const std::string& what);

#endif  // ZN_SYNC_KXSYNCSERVICECALL_H_
