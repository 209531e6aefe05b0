// RNURLConnectionFactory is the narrow door through which the URL protocol
// forwards requests to the network: it starts one request as given (method,
// headers, including empty-valued marker headers, and body) and reports its
// events to the delegate. Redirects are not followed. The program's factory
// wraps the process's one libcurl transport (with its cookie jar); tests use
// one that answers from memory.
//
// Thread safety: start may be called from any thread.
#ifndef ZN_WEBUI_RNCACHINGURL_RNURLCONNECTIONFACTORY_H_
#define ZN_WEBUI_RNCACHINGURL_RNURLCONNECTIONFACTORY_H_

#include <memory>

#include "WebUI/RNCachingURL/RNURLConnection.h"
#include "WebUI/RNCachingURL/RNURLConnectionDelegate.h"
#include "platform/URLRequest.h"

class RNURLConnectionFactory {
 public:
  virtual ~RNURLConnectionFactory() = default;

  // Starts `request`; the delegate is held until the last event.
  virtual std::shared_ptr<RNURLConnection> start(
      const kx::URLRequest& request, std::shared_ptr<RNURLConnectionDelegate> delegate) = 0;
};

#endif  // ZN_WEBUI_RNCACHINGURL_RNURLCONNECTIONFACTORY_H_
