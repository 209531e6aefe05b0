#include "WebUI/RNCachingURL/RNTransportConnectionFactory.h"

#include <atomic>
#include <utility>

#include "CommonUtils/KXServiceBaseURL.h"
#include "WebRequest/KXLocalResponse.h"
#include "WebUI/KXAddressPolicy.h"
#include "platform/Mutex.h"
#include "platform/QueueCheck.h"

// One forwarded request: its transport id and the guard that keeps events
// from reaching the delegate after cancel.
class RNTransportConnection : public RNURLConnection {
 public:
  RNTransportConnection(kx::HTTPTransport& transport,
                        std::shared_ptr<RNURLConnectionDelegate> delegate)
      : transport_(transport), delegate_(std::move(delegate)) {}

  void setID(kx::HTTPTransport::RequestID id) { id_.store(id); }

  void cancel() override {
    {
      kx::RecursiveMutexLock lock(mu_);
      if (cancelled_) return;
      cancelled_ = true;
      delegate_.reset();
    }
    if (kx::HTTPTransport::RequestID id = id_.load()) transport_.cancel(id);
  }

  // Runs `event` with the delegate unless cancelled; false when cancelled.
  template <typename Event>
  bool dispatch(Event&& event) {
    kx::RecursiveMutexLock lock(mu_);
    if (cancelled_ || !delegate_) return false;
    std::shared_ptr<RNURLConnectionDelegate> delegate = delegate_;
    event(*delegate);
    return !cancelled_;
  }

  // After the last event nothing more is sent.
  void close() {
    kx::RecursiveMutexLock lock(mu_);
    delegate_.reset();
  }

 private:
  kx::HTTPTransport& transport_;
  std::atomic<kx::HTTPTransport::RequestID> id_{0};
  kx::RecursiveMutex mu_;
  bool cancelled_ GUARDED_BY(mu_) = false;
  std::shared_ptr<RNURLConnectionDelegate> delegate_ GUARDED_BY(mu_);
};

RNTransportConnectionFactory::RNTransportConnectionFactory(kx::HTTPTransport* transport,
                                                           AddressPolicy allowAddress)
    : transport_(transport ? *transport : kx::HTTPTransport::shared()),
      allowAddress_(allowAddress ? std::move(allowAddress)
                                 : AddressPolicy(&KXIsPublicSocketAddress)),
      queue_(kQueueLabel) {}

std::shared_ptr<RNURLConnection> RNTransportConnectionFactory::start(
    const kx::URLRequest& request, std::shared_ptr<RNURLConnectionDelegate> delegate) {
  auto connection = std::make_shared<RNTransportConnection>(transport_, std::move(delegate));

  kx::HTTPRequest wire = request.transportRequest();
  std::erase_if(wire.headers, [](const std::pair<std::string, std::string>& field) {
    return kx::HTTPHeaderFields::namesEqual(field.first, "Cookie") ||
           (kx::HTTPHeaderFields::namesEqual(field.first, "Referer") && field.second.empty());
  });
  // Only the service is reached wherever it is; everything else (outside
  // images, and whatever the page's referrer sends out) only at public
  // addresses, as tunnels are.
  if (!kx::HTTPHeaderFields::namesEqual(request.url().host(), KXServiceHost()))
    wire.allowAddress = allowAddress_;
  wire.useCookieJar = true;
  wire.followRedirects = false;
  wire.streamQueue = &queue_;
  wire.completionQueue = &queue_;

  kx::URL url = request.url();
  const kx::SerialQueue* queue = &queue_;
  wire.onHead = [connection, url, queue](const kx::HTTPResponseHead& head) {
    KX_DCHECK_ON_QUEUE(*queue, "a connection's events are reported on the factory's queue");
    kx::HTTPHeaderFields fields;
    for (const auto& [name, value] : head.headers) fields.add(name, value);
    kx::HTTPURLResponse response(url, static_cast<int>(head.status), KXLocalResponse::kHTTPVersion,
                                 std::move(fields));
    return connection->dispatch([&](RNURLConnectionDelegate& delegate) {
      delegate.connectionDidReceiveResponse(response);
    });
  };
  wire.onData = [connection, queue](const char* data, std::size_t size) {
    KX_DCHECK_ON_QUEUE(*queue, "a connection's events are reported on the factory's queue");
    kx::Bytes chunk(reinterpret_cast<const std::uint8_t*>(data),
                    reinterpret_cast<const std::uint8_t*>(data) + size);
    return connection->dispatch(
        [&](RNURLConnectionDelegate& delegate) { delegate.connectionDidReceiveData(chunk); });
  };
  kx::HTTPTransport::RequestID id = transport_.start(
      std::move(wire), [connection, queue](kx::HTTPResponse /*response*/, const kx::Error& error) {
        KX_DCHECK_ON_QUEUE(*queue, "a connection's events are reported on the factory's queue");
        connection->dispatch([&](RNURLConnectionDelegate& delegate) {
          if (error) {
            delegate.connectionDidFailWithError(error);
          } else {
            delegate.connectionDidFinishLoading();
          }
        });
        connection->close();
      });
  connection->setID(id);
  return connection;
}
