// KXDataRequestController is whoever receives a local handler's answer: the
// URL protocol for the web view's requests, the script query sender for the
// script object's database queries.
//
// An answer is either an error (response and data then absent) or a
// response with its body (absent for an empty body). A handler answers each
// request it took exactly once; a receiver ignores (and logs) any further
// answer.
//
// A handler that holds a request open (a long poll) asks whenCancelled to
// learn when the party that asked has gone (the web view cancelled the
// load, the connection closed), so that it can let the request go.
//
// Thread safety: localReceiveResponse and whenCancelled may be called from
// any thread.
#ifndef ZN_WEBREQUEST_KXDATAREQUESTCONTROLLER_H_
#define ZN_WEBREQUEST_KXDATAREQUESTCONTROLLER_H_

#include <functional>
#include <optional>

#include "platform/Error.h"
#include "platform/HTTPURLResponse.h"
#include "platform/Value.h"

class KXDataRequestController {
 public:
  virtual ~KXDataRequestController() = default;

  virtual void localReceiveResponse(std::optional<kx::HTTPURLResponse> response,
                                    std::optional<kx::Bytes> data, kx::Error error) = 0;

  // Calls `cancelled` once, from any thread, when the asking party goes
  // away before the answer; at once when it has already gone. Receivers
  // that cannot tell never call it.
  virtual void whenCancelled(std::function<void()> cancelled) { (void)cancelled; }
};

#endif  // ZN_WEBREQUEST_KXDATAREQUESTCONTROLLER_H_
