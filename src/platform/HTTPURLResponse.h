// kx::HTTPURLResponse is an HTTP answer's head, as the platform's HTTP URL
// response was: the URL it answers, the status code, the HTTP version text
// ("HTTP/1.1") and the header fields.
//
// Thread safety: a plain value.
#ifndef ZN_PLATFORM_HTTPURLRESPONSE_H_
#define ZN_PLATFORM_HTTPURLRESPONSE_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/HTTPHeaderFields.h"
#include "platform/URL.h"

namespace kx {

class HTTPURLResponse {
 public:
  HTTPURLResponse() = default;
  HTTPURLResponse(URL url, int statusCode, std::string httpVersion, HTTPHeaderFields headers)
      : url_(std::move(url)),
        statusCode_(statusCode),
        httpVersion_(std::move(httpVersion)),
        headers_(std::move(headers)) {}

  const URL& url() const { return url_; }
  int statusCode() const { return statusCode_; }
  const std::string& httpVersion() const { return httpVersion_; }
  const HTTPHeaderFields& allHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    return headers_.value(name);
  }

 private:
  URL url_;
  int statusCode_ = 0;
  std::string httpVersion_;
  HTTPHeaderFields headers_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_HTTPURLRESPONSE_H_
