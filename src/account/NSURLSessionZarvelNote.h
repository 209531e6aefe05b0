// NSURLSessionZarvelNote holds the two synchronous data requests: the
// calling thread blocks until the answer is in; the request's own time limit
// (30 s for the request factory's) bounds the wait.
//
//  - syncDataTaskWith: the body of an HTTP 200 answer; nullopt for any
//    other status, a transport failure or the time limit.
//  - syncDataTaskDictWith: never fails: the 200 body parsed as JSON; an
//    object as it is, an array of objects as {"data": array}, anything else
//    (another JSON value, no JSON, no body) as an empty dictionary.
// Neither sets its error out-parameter: a caller cannot tell a 404 from a
// failed connection.
//
// Requests go through the process's transport (kx::HTTPTransport::shared(),
// with its cookie jar) unless one is given.
//
// Thread safety: may be called from any thread but the transport's own.
#ifndef ZN_ACCOUNT_NSURLSESSIONZARVELNOTE_H_
#define ZN_ACCOUNT_NSURLSESSIONZARVELNOTE_H_

#include <optional>

#include "platform/Error.h"
#include "platform/HTTPTransport.h"
#include "platform/URLRequest.h"
#include "platform/Value.h"

class NSURLSessionZarvelNote {
 public:
  NSURLSessionZarvelNote() = delete;

  static std::optional<kx::Bytes> syncDataTaskWith(const kx::URLRequest& request,
                                                   kx::Error* error = nullptr,
                                                   kx::HTTPTransport* transport = nullptr);
  static kx::Dictionary syncDataTaskDictWith(const kx::URLRequest& request,
                                             kx::Error* error = nullptr,
                                             kx::HTTPTransport* transport = nullptr);
};

#endif  // ZN_ACCOUNT_NSURLSESSIONZARVELNOTE_H_
