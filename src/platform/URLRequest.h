// kx::URLRequest is what the platform's URL request was: a URL, a method,
// header fields, a body, a cache policy and a time limit. Copies are
// independent (the mutable copy of the platform is simply a copy here).
//
// Thread safety: plain values.
#ifndef ZN_PLATFORM_URLREQUEST_H_
#define ZN_PLATFORM_URLREQUEST_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/HTTPHeaderFields.h"
#include "platform/HTTPTransport.h"
#include "platform/InputStream.h"
#include "platform/URL.h"
#include "platform/Value.h"

namespace kx {

enum class URLRequestCachePolicy {
  UseProtocolCachePolicy = 0,
  ReloadIgnoringLocalCacheData = 1,
  ReturnCacheDataElseLoad = 2,
  ReturnCacheDataDontLoad = 3,
};

class URLRequest {
 public:
  static constexpr double kDefaultTimeoutInterval = 60;

  URLRequest() = default;
  explicit URLRequest(URL url) : url_(std::move(url)) {}

  const URL& url() const { return url_; }
  void setURL(URL url) { url_ = std::move(url); }

  // "GET" unless set.
  const std::string& HTTPMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }

  const HTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
    return headers_.value(name);
  }
  void setValue(std::string_view value, std::string_view field) { headers_.set(field, value); }
  bool removeHTTPHeaderField(std::string_view name) { return headers_.remove(name); }

  // The body; nullopt when none was set.
  const std::optional<Bytes>& HTTPBody() const { return body_; }
  void setHTTPBody(std::optional<Bytes> body) { body_ = std::move(body); }

  // A body read in pieces instead of held whole (a large upload); null when
  // none was set. Copies of the request share the one stream, which only
  // one of them may read.
  const std::shared_ptr<InputStream>& HTTPBodyStream() const { return bodyStream_; }
  void setHTTPBodyStream(std::shared_ptr<InputStream> stream) { bodyStream_ = std::move(stream); }

  URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }

  // Seconds the whole exchange may take.
  double timeoutInterval() const { return timeout_; }
  void setTimeoutInterval(double seconds) { timeout_ = seconds; }

  // The request as the transport sends it: URL, method, header fields in
  // order (empty values kept), body, time limit; redirects not followed.
  HTTPRequest transportRequest() const;

 private:
  URL url_;
  std::string method_ = "GET";
  HTTPHeaderFields headers_;
  std::optional<Bytes> body_;
  std::shared_ptr<InputStream> bodyStream_;
  URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
  double timeout_ = kDefaultTimeoutInterval;
};

}  // namespace kx

#endif  // ZN_PLATFORM_URLREQUEST_H_
