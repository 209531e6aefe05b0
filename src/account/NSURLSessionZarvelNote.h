// NSURLSessionZarvelNote holds the two synchronous data requests: the
// calling thread blocks until the answer is in, at most for the request's
// own time limit (plus a short grace for the transport to report it).
//
//  - syncDataTaskWith: the body of an HTTP 200 answer; nullopt for any
//    other status, a transport failure, no answer within the limit, or no
//    transport.
//  - syncDataTaskDictWith: never fails: the 200 body parsed as JSON; an
//    object as it is, an array of objects as {"data": array}, anything else
//    (another JSON value, no JSON, no body) as an empty dictionary.
// Neither sets its error out-parameter: a caller cannot tell a 404 from a
// failed connection.
//
// The requests go through the process's data-task starter, which the
// network transport installs (setDataTaskStarter); a late answer after the
// wait gave up is dropped safely.
//
// Thread safety: may be called from any thread except the one that delivers
// the transport's completions.
#ifndef ZN_ACCOUNT_NSURLSESSIONZARVELNOTE_H_
#define ZN_ACCOUNT_NSURLSESSIONZARVELNOTE_H_

#include <functional>
#include <optional>

#include "platform/Error.h"
#include "platform/HTTPURLResponse.h"
#include "platform/URLRequest.h"
#include "platform/Value.h"

class NSURLSessionZarvelNote {
 public:
  NSURLSessionZarvelNote() = delete;

  using Completion = std::function<void(std::optional<kx::HTTPURLResponse> response,
                                        std::optional<kx::Bytes> body, kx::Error error)>;
  // Starts one request and calls `completion` exactly once, on any thread.
  using DataTaskStarter = std::function<void(const kx::URLRequest& request, Completion completion)>;

  // Seconds added to a request's time limit before the wait gives up.
  static constexpr double kGraceSeconds = 5;

  static void setDataTaskStarter(DataTaskStarter starter);

  static std::optional<kx::Bytes> syncDataTaskWith(const kx::URLRequest& request,
                                                   kx::Error* error = nullptr);
  static kx::Dictionary syncDataTaskDictWith(const kx::URLRequest& request,
                                             kx::Error* error = nullptr);
};

#endif  // ZN_ACCOUNT_NSURLSESSIONZARVELNOTE_H_
