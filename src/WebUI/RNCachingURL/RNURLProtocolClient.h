// RNURLProtocolClient is whoever loads a request through the URL protocol
// (the web view's front, or a test): it learns of a redirect, the response,
// the body as it arrives, and the end (finished or failed). Each load ends
// with exactly one didFinishLoading or didFailWithError, or with a redirect
// report after which nothing more comes; after stopLoading returns, nothing
// at all comes.
//
// Thread safety: the methods may be called on any thread, one at a time for
// one load.
#ifndef ZN_WEBUI_RNCACHINGURL_RNURLPROTOCOLCLIENT_H_
#define ZN_WEBUI_RNCACHINGURL_RNURLPROTOCOLCLIENT_H_

#include "platform/Error.h"
#include "platform/HTTPURLResponse.h"
#include "platform/URLRequest.h"
#include "platform/Value.h"

// Whether the client may keep the answer in its cache.
enum class RNURLCacheStoragePolicy { Allowed = 0, AllowedInMemoryOnly = 1, NotAllowed = 2 };

class RNURLProtocolClient {
 public:
  virtual ~RNURLProtocolClient() = default;

  // The load is redirected to `request` (to be loaded afresh) by `response`.
  virtual void wasRedirectedToRequest(const kx::URLRequest& request,
                                      const kx::HTTPURLResponse& response) {}
  virtual void didReceiveResponse(const kx::HTTPURLResponse& response,
                                  RNURLCacheStoragePolicy policy) {}
  virtual void didLoadData(const kx::Bytes& data) {}
  virtual void didFinishLoading() {}
  virtual void didFailWithError(const kx::Error& error) {}
};

#endif  // ZN_WEBUI_RNCACHINGURL_RNURLPROTOCOLCLIENT_H_
