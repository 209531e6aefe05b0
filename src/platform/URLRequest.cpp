#include "platform/URLRequest.h"

namespace kx {

HTTPRequest URLRequest::transportRequest() const {
  HTTPRequest request;
  request.method = method_;
  request.url = url_.absoluteString();
  for (const auto& field : headers_.fields()) request.headers.push_back(field);
  if (body_) request.body = *body_;
  request.timeoutSeconds = timeout_;
  request.followRedirects = false;
  return request;
}

}  // namespace kx
