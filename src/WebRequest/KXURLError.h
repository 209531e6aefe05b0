// The codes of the platform's URL error domain (kx::kURLErrorDomain) that
// local handlers and the URL protocol answer with, and a maker for such an
// error.
//
//   -1000  no handler accepts the request; a needed parameter, entry or
//          transfer is missing
//   -1004  a file of the web interface or of the downloaded editor that a
//          request names does not exist
//   -1008  an entry cannot be read after a delete; the upload stream reader
//          is already reading a body
//   -1020  a resource cannot be found right after it was created
//   -1021  the upload stream ended with a failure ("status" in the user info)
//   -1100  the entry to recover (or the resource) does not exist
//   -3003  a copy is refused; a note save whose content is unchanged
//    1089  internal: a folder moved into its own subtree (never answered)
//
// Thread safety: plain values.
#ifndef ZN_WEBREQUEST_KXURLERROR_H_
#define ZN_WEBREQUEST_KXURLERROR_H_

#include <cstdint>

#include "platform/Error.h"
#include "platform/Value.h"

enum KXURLErrorCode : std::int64_t {
  KXURLErrorUnknown = -1,
  KXURLErrorBadURL = -1000,
  KXURLErrorCannotConnectToHost = -1004,
  KXURLErrorNetworkConnectionLost = -1005,
  KXURLErrorResourceUnavailable = -1008,
  KXURLErrorCannotFindResource = -1020,
  KXURLErrorStreamFailed = -1021,
  KXURLErrorFileDoesNotExist = -1100,
  KXURLErrorCannotCopy = -3003,
  KXURLErrorMoveIntoOwnSubtree = 1089,
};

class KXURLError {
 public:
  KXURLError() = delete;

  // An error of the URL error domain with `code` and `userInfo`.
  static kx::Error make(std::int64_t code, kx::Value userInfo = kx::Value());
  // Whether `error` is of the URL error domain with `code`.
  static bool is(const kx::Error& error, std::int64_t code);
};

#endif  // ZN_WEBREQUEST_KXURLERROR_H_
