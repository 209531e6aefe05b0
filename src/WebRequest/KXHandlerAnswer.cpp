#include "WebRequest/KXHandlerAnswer.h"

#include <optional>
#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "WebRequest/KXLocalResponse.h"
#include "WebRequest/KXURLError.h"

void KXHandlerAnswer::fail(KXDataRequestController& sender, std::int64_t code) {
  error(sender, KXURLError::make(code));
}

void KXHandlerAnswer::error(KXDataRequestController& sender, const kx::Error& error) {
  sender.localReceiveResponse(std::nullopt, std::nullopt, error);
}

void KXHandlerAnswer::json(KXDataRequestController& sender, const kx::URL& url,
                           const kx::Value& object, kx::HTTPHeaderFields headers) {
  kx::Error writeError;
  kx::Bytes body = JSONDataWithOptions(object, JKSerializeOptionPretty, &writeError);
  if (writeError) {
    error(sender, writeError);
    return;
  }
  bytes(sender, url, std::move(body), std::move(headers));
}

void KXHandlerAnswer::bytes(KXDataRequestController& sender, const kx::URL& url, kx::Bytes body,
                            kx::HTTPHeaderFields headers) {
  sender.localReceiveResponse(KXLocalResponse::response(url, 200, std::move(headers)),
                              std::move(body), kx::Error());
}
