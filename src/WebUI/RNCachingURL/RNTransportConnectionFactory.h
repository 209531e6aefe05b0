// RNTransportConnectionFactory forwards the URL protocol's requests through
// a kx::HTTPTransport (the process's one by default):
//  - the request goes as it is, marker headers included (empty-valued
//    fields are sent empty); an empty "Referer" is left out, so an outside
//    image is fetched with no referrer at all;
//  - the page's own "Cookie" header is dropped: the transport's cookie jar
//    sends its cookies and keeps the answers' Set-Cookie fields, which are
//    also passed on to the page with the response;
//  - a request to any host but the service host connects only to a public
//    address (KXAddressPolicy), checked on the address connected to, with
//    a connection of its own;
//  - redirects are not followed; the response head, the body in pieces and
//    the end are reported to the delegate as they come, in order, on the
//    factory's serial queue "com.zarvel.note.queue.forward".
//
// Thread safety: start may be called from any thread; a connection's cancel
// from any thread, also from inside its own events, and no event is sent
// once it has returned. The factory must outlive its connections.
#ifndef ZN_WEBUI_RNCACHINGURL_RNTRANSPORTCONNECTIONFACTORY_H_
#define ZN_WEBUI_RNCACHINGURL_RNTRANSPORTCONNECTIONFACTORY_H_

#include <sys/socket.h>

#include <functional>
#include <memory>

#include "WebUI/RNCachingURL/RNURLConnectionFactory.h"
#include "platform/HTTPTransport.h"
#include "platform/SerialQueue.h"

class RNTransportConnectionFactory : public RNURLConnectionFactory {
 public:
  static constexpr const char* kQueueLabel = "com.zarvel.note.queue.forward";

  // Which addresses a request to a host other than the service host may
  // connect to.
  using AddressPolicy = std::function<bool(const ::sockaddr* address, socklen_t length)>;

  // `transport` must outlive the factory; the shared one when null.
  // `allowAddress` replaces KXIsPublicSocketAddress (tests whose outside
  // hosts live on loopback).
  explicit RNTransportConnectionFactory(kx::HTTPTransport* transport = nullptr,
                                        AddressPolicy allowAddress = {});

  std::shared_ptr<RNURLConnection> start(
      const kx::URLRequest& request, std::shared_ptr<RNURLConnectionDelegate> delegate) override;

 private:
  kx::HTTPTransport& transport_;
  const AddressPolicy allowAddress_;
  kx::SerialQueue queue_;
};

#endif  // ZN_WEBUI_RNCACHINGURL_RNTRANSPORTCONNECTIONFACTORY_H_
