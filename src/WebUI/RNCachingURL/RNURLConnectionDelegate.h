// RNURLConnectionDelegate receives the events of one forwarded request: the
// response head (redirects are reported as responses; connections never
// follow them), the body in pieces, and then one failure or one finish.
//
// Thread safety: events of one connection come one at a time, in order, on
// any thread.
#ifndef ZN_WEBUI_RNCACHINGURL_RNURLCONNECTIONDELEGATE_H_
#define ZN_WEBUI_RNCACHINGURL_RNURLCONNECTIONDELEGATE_H_

#include "platform/Error.h"
#include "platform/HTTPURLResponse.h"
#include "platform/Value.h"

class RNURLConnectionDelegate {
 public:
  virtual ~RNURLConnectionDelegate() = default;

  virtual void connectionDidReceiveResponse(const kx::HTTPURLResponse& response) {}
  virtual void connectionDidReceiveData(const kx::Bytes& data) {}
  virtual void connectionDidFailWithError(const kx::Error& error) {}
  virtual void connectionDidFinishLoading() {}
};

#endif  // ZN_WEBUI_RNCACHINGURL_RNURLCONNECTIONDELEGATE_H_
