// KXRequestBody reads a request's body whole, for handlers that work on the
// whole body (form fields, JSON). How bodies reach the handlers from the
// web view's front:
//
//  - a body of at most kInlineBodyLimit bytes with a known length is read
//    whole before the request is offered: it is in HTTPBody(), and
//    HTTPBodyStream() reads the same bytes;
//  - a larger body, or one sent in chunks, is only in HTTPBodyStream(),
//    which reads it from the connection as the handler asks for it
//    (HTTPBody() is then unset); a handler that streams (an upload) reads it
//    in pieces, one that needs it whole calls bodyOf with a limit of its own.
//
// Thread safety: bodyOf reads the request's stream (one reader at a time);
// call it from a thread that may block (never the front's I/O thread).
#ifndef ZN_WEBREQUEST_KXREQUESTBODY_H_
#define ZN_WEBREQUEST_KXREQUESTBODY_H_

#include <cstddef>
#include <optional>

#include "platform/Error.h"
#include "platform/URLRequest.h"
#include "platform/Value.h"

class KXRequestBody {
 public:
  // Bodies up to this size reach handlers whole, in HTTPBody().
  static constexpr std::size_t kInlineBodyLimit = 1024 * 1024;

  // The whole body: HTTPBody() when set, else the stream read to its end;
  // empty bytes when the request has neither. nullopt with *error filled
  // when the stream fails or holds more than `limit` bytes (reading stops
  // there).
  static std::optional<kx::Bytes> bodyOf(const kx::URLRequest& request, std::size_t limit,
                                         kx::Error* error);
};

#endif  // ZN_WEBREQUEST_KXREQUESTBODY_H_
