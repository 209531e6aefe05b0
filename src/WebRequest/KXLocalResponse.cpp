#include "WebRequest/KXLocalResponse.h"

#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"

kx::HTTPURLResponse KXLocalResponse::response(const kx::URL& url, int statusCode,
                                              kx::HTTPHeaderFields headers) {
  return kx::HTTPURLResponse(url, statusCode, kHTTPVersion, std::move(headers));
}

kx::Bytes KXLocalResponse::JSONBody(const kx::Value& object) {
  return JSONDataWithOptions(object, JKSerializeOptionPretty, nullptr);
}

void KXLocalResponse::sendJSON(KXDataRequestController& sender, const kx::URL& url, int statusCode,
                               const kx::Value& object) {
  sender.localReceiveResponse(response(url, statusCode), JSONBody(object), kx::Error());
}
