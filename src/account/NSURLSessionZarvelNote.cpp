#include "account/NSURLSessionZarvelNote.h"

#include <utility>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"

std::optional<kx::Bytes> NSURLSessionZarvelNote::syncDataTaskWith(const kx::URLRequest& request,
                                                                  kx::Error* /*error*/,
                                                                  kx::HTTPTransport* transport) {
  kx::HTTPTransport& through = transport ? *transport : kx::HTTPTransport::shared();
  kx::Error failure;
  kx::HTTPResponse response = through.perform(request.transportRequest(), &failure);
  if (failure) {
    KXLOG("%s failed: %s", request.url().absoluteString().c_str(),
          failure.localizedDescription().c_str());
    return std::nullopt;
  }
  if (response.status != 200) return std::nullopt;
  return std::move(response.body);
}

kx::Dictionary NSURLSessionZarvelNote::syncDataTaskDictWith(const kx::URLRequest& request,
                                                            kx::Error* /*error*/,
                                                            kx::HTTPTransport* transport) {
  std::optional<kx::Bytes> body = syncDataTaskWith(request, nullptr, transport);
  if (!body) return kx::Dictionary();
  kx::Value parsed = objectFromJSONData(*body);
  if (parsed.isDictionary()) return parsed.dict();
  if (parsed.isArray()) {
    bool allObjects = true;
    for (const kx::Value& item : parsed.array()) allObjects = allObjects && item.isDictionary();
    if (allObjects) return kx::Dictionary{{"data", parsed}};
  }
  return kx::Dictionary();
}
