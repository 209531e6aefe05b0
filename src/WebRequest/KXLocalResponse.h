// KXLocalResponse builds the answers local handlers send: a response for
// the request's URL with a status code, "HTTP/1.1" and header fields, and a
// body of UTF-8 JSON written pretty-printed (or raw bytes).
//
// Thread safety: pure functions.
#ifndef ZN_WEBREQUEST_KXLOCALRESPONSE_H_
#define ZN_WEBREQUEST_KXLOCALRESPONSE_H_

#include <memory>

#include "WebRequest/KXDataRequestController.h"
#include "platform/HTTPURLResponse.h"
#include "platform/Value.h"

class KXLocalResponse {
 public:
  KXLocalResponse() = delete;

  static constexpr const char* kHTTPVersion = "HTTP/1.1";

  static kx::HTTPURLResponse response(const kx::URL& url, int statusCode,
                                      kx::HTTPHeaderFields headers = {});
  // The pretty-printed UTF-8 JSON of `object` (a dictionary or an array).
  static kx::Bytes JSONBody(const kx::Value& object);

  // Answers `sender` with `object` as JSON under `statusCode`.
  static void sendJSON(KXDataRequestController& sender, const kx::URL& url, int statusCode,
                       const kx::Value& object);
};

#endif  // ZN_WEBREQUEST_KXLOCALRESPONSE_H_
