// KXHandlerAnswer sends the usual answers of the local handlers: an error of
// the URL error domain, JSON written pretty-printed (a writer failure is
// sent instead), or raw bytes, each with status 200 and "HTTP/1.1" for the
// request's URL.
//
// Thread safety: pure functions; the sender is called on the caller's
// thread.
#ifndef ZN_WEBREQUEST_KXHANDLERANSWER_H_
#define ZN_WEBREQUEST_KXHANDLERANSWER_H_

#include <cstdint>

#include "WebRequest/KXDataRequestController.h"
#include "platform/HTTPHeaderFields.h"
#include "platform/URL.h"
#include "platform/Value.h"

class KXHandlerAnswer {
 public:
  KXHandlerAnswer() = delete;

  static void fail(KXDataRequestController& sender, std::int64_t code);
  static void error(KXDataRequestController& sender, const kx::Error& error);
  static void json(KXDataRequestController& sender, const kx::URL& url, const kx::Value& object,
                   kx::HTTPHeaderFields headers = {});
  static void bytes(KXDataRequestController& sender, const kx::URL& url, kx::Bytes body,
                    kx::HTTPHeaderFields headers = {});
};

#endif  // ZN_WEBREQUEST_KXHANDLERANSWER_H_
