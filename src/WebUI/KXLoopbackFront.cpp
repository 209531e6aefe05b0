#include "WebUI/KXLoopbackFront.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <chrono>
#include <deque>
#include <limits>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "WebRequest/KXLocalFileHost.h"
#include "WebRequest/KXRequestBody.h"
#include "WebRequest/KXURLError.h"
#include "WebUI/KXAddressPolicy.h"
#include "WebUI/KXFrontBodyStream.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "platform/Crypto.h"
#include "platform/GlobalQueue.h"
#include "platform/Mutex.h"
#include "platform/SerialQueue.h"
#include "platform/TLSAuthority.h"
#include "platform/Value.h"

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

constexpr const char* kFrontErrorDomain = "com.zarvel.note.front";
// The largest request header.
constexpr std::size_t kHeaderLimit = 64 * 1024;
// Bytes read ahead (a next request) while a load runs.
constexpr std::size_t kReadAheadLimit = 64 * 1024;
// One read from the socket.
constexpr std::size_t kReadSize = 16 * 1024;

std::string_view sv(boost::beast::string_view s) { return std::string_view(s.data(), s.size()); }

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && kx::HTTPHeaderFields::namesEqual(a, b);
}

// Fields that belong to one connection, never passed on.
bool isHopByHop(std::string_view name) {
  static const char* const kNames[] = {"Connection",
                                       "Keep-Alive",
                                       "Proxy-Authorization",
                                       "Proxy-Authenticate",
                                       "Proxy-Connection",
                                       "TE",
                                       "Trailer",
                                       "Transfer-Encoding",
                                       "Upgrade",
                                       "Content-Length",
                                       "Expect"};
  for (const char* n : kNames) {
    if (kx::HTTPHeaderFields::namesEqual(name, n)) return true;
  }
  return false;
}

bool hasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

std::string simpleAnswer(int status, bool keepAlive, const std::string& extra = {}) {
  std::string reason(http::obsolete_reason(static_cast<http::status>(status)));
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + extra +
         "Content-Length: 0\r\n" + (keepAlive ? "" : "Connection: close\r\n") + "\r\n";
}

// Splits "host:port" or "[v6]:port"; false when either part is missing or
// the port is not a number of 1 to 65535.
bool splitAuthority(std::string_view text, std::string* host, std::uint16_t* port) {
  std::string_view h, p;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
      return false;
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
    if (h.find(':') != std::string_view::npos) return false;
  }
  if (h.empty() || p.empty() || p.size() > 5) return false;
  unsigned value = 0;
  for (char c : p) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value == 0 || value > 65535) return false;
  for (char c : h) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@') return false;
  }
  *host = lower(std::string(h));
  *port = static_cast<std::uint16_t>(value);
  return true;
}

class Connection;

// Where load events go: the front's io_context while it runs; nowhere once
// the front has stopped.
class Mailbox {
 public:
  explicit Mailbox(net::io_context* io) : io_(io) {}
  template <class F>
  void post(F f) {
    kx::MutexLock lock(mu_);
    if (io_) net::post(*io_, std::move(f));
  }
  void close() {
    kx::MutexLock lock(mu_);
    io_ = nullptr;
  }

 private:
  kx::Mutex mu_;
  net::io_context* io_ GUARDED_BY(mu_);
};

// One leaf: its certificate and the TLS context that presents it.
struct Leaf {
  std::string pem;
  std::shared_ptr<ssl::context> context;
  bool allowed = false;  // kept for the launch
};

using LeafReady = std::function<void(std::shared_ptr<ssl::context>)>;

}  // namespace

class KXLoopbackFront::Impl {
 public:
  Impl(Options options)
      : options_(std::move(options)),
        acceptor_(io_),
        acceptDelay_(io_),
        mailbox_(std::make_shared<Mailbox>(&io_)),
        leafQueue_("com.zarvel.note.queue.front.leaf") {}

  [[nodiscard]] bool start(kx::Error* error);
  void stop();

  bool intercepts(const std::string& host) const;
  // Whether `host` is intercepted by name (service, analytics, extra hosts),
  // not only as an image host of the search engine.
  bool interceptsByName(const std::string& host) const;
  std::string leafFor(const std::string& host, kx::Error* error);
  // Calls `ready` on the front's thread with the TLS context for `host`, or
  // null when there is none or the web view may not trust it.
  void tlsContextFor(const std::string& host, LeafReady ready);
  bool authorized(std::string_view value) const;
  // The mapped endpoint for host:port (tests), if any.
  std::optional<tcp::endpoint> mappedEndpoint(const std::string& host, std::uint16_t port) const;

  void accept();
  void forget(Connection* c);
  // Connection bookkeeping, on the front's thread.
  void authenticated(Connection* c);
  void holds(const std::shared_ptr<Connection>& c);
  void releases(Connection* c);
  Counts counts() const;

  const Options options_;
  net::io_context io_;
  tcp::acceptor acceptor_;
  net::steady_timer acceptDelay_;
  std::chrono::milliseconds acceptBackoff_{0};
  std::thread thread_;
  std::uint16_t port_ = 0;
  std::string secret_;
  std::string authorization_;
  std::string token_;  // base64 of "username:secret"
  std::unique_ptr<kx::TLSAuthority> authority_;
  std::vector<std::string> intercepted_;
  const std::shared_ptr<Mailbox> mailbox_;
  kx::SerialQueue leafQueue_;

  // Front's thread only.
  std::list<std::weak_ptr<Connection>> unauthenticated_;  // oldest first
  std::list<std::weak_ptr<Connection>> held_;             // oldest first
  std::map<std::string, std::vector<LeafReady>> minting_;
  std::atomic<std::size_t> failedAccepts_{0};
  std::atomic<std::size_t> unauthenticatedCount_{0};
  std::atomic<std::size_t> heldCount_{0};

  mutable kx::Mutex mu_;
  std::map<std::string, Leaf> leaves_ GUARDED_BY(mu_);  // host → leaf
  std::list<std::string> leafOrder_ GUARDED_BY(mu_);    // unallowed, last used first
  // Open connections, held here while no operation of theirs runs (a body
  // waiting for its reader).
  std::map<Connection*, std::shared_ptr<Connection>> connections_ GUARDED_BY(mu_);

 private:
  // Makes a leaf and its context; false with *error on failure.
  [[nodiscard]] bool mint(const std::string& host, Leaf* leaf, kx::Error* error);
  // Keeps `leaf` for `host` (replacing any) and trims the unallowed ones.
  void keep(const std::string& host, Leaf leaf);
  void touch(const std::string& host) REQUIRES(mu_);
  void afterAcceptFailure(const boost::system::error_code& ec);
};

namespace {

// Tells one connection what the protocol reports for its current load.
class FrontLoadClient : public RNURLProtocolClient {
 public:
  FrontLoadClient(std::weak_ptr<Connection> connection, std::shared_ptr<Mailbox> mailbox,
                  std::uint64_t load)
      : connection_(std::move(connection)), mailbox_(std::move(mailbox)), load_(load) {}

  void wasRedirectedToRequest(const kx::URLRequest&, const kx::HTTPURLResponse& response) override;
  void didReceiveResponse(const kx::HTTPURLResponse& response,
                          RNURLCacheStoragePolicy policy) override;
  void didLoadData(const kx::Bytes& data) override;
  void didFinishLoading() override;
  void didFailWithError(const kx::Error& error) override;

 private:
  const std::weak_ptr<Connection> connection_;
  const std::shared_ptr<Mailbox> mailbox_;
  const std::uint64_t load_;
};

// One client connection: proxy requests, then maybe a TLS tunnel ended
// here or a tunnel passed through. Runs only on the front's thread.
//
// Reading: one read at a time lands in readChunk_ and is appended to buffer_
// when it completes; process() parses what is there (so pipelined requests
// need no new bytes), in one of three states: the
// header of the next request, its body, or nothing (the request is read and
// its load runs; what comes meanwhile waits in the buffer, up to a limit).
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(KXLoopbackFront::Impl* front, tcp::socket socket)
      : front_(front), socket_(std::move(socket)), upstream_(front->io_), timer_(front->io_) {}
  ~Connection() { stopLoad(); }

  void start() {
    boost::system::error_code ec;
    const tcp::endpoint peer = socket_.remote_endpoint(ec);
    if (ec || peer.address() != net::ip::make_address_v4("127.0.0.1")) {
      close();
      return;
    }
    // Answers go out in pieces (head, then body chunks); without this each
    // small write after the first waits for the client's delayed ACK, some
    // 40 ms per request on a kept-alive connection.
    socket_.set_option(tcp::no_delay(true), ec);
    setTimer(Timer::Idle);
    arm();
  }

  // Ends everything: the load, the body, the sockets.
  void close() {
    if (closed_) return;
    closed_ = true;
    // The front's list holds the connection until here.
    std::shared_ptr<Connection> keep = shared_from_this();
    failBody("the connection closed before the request body ended");
    stopLoad();
    boost::system::error_code ec;
    timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    upstream_.close(ec);
    front_->forget(this);
  }

  bool closed() const { return closed_; }

  // A streamed body's reader made room.
  void resumeBody() {
    if (closed_) return;
    process();
    arm();
  }

  // Load events, on the front's thread.
  void onRedirect(std::uint64_t load, kx::HTTPURLResponse response) {
    if (!current(load)) return;
    sendHead(response, RNURLCacheStoragePolicy::NotAllowed, /*withBody=*/false);
    endLoad(true);
  }
  void onResponse(std::uint64_t load, kx::HTTPURLResponse response,
                  RNURLCacheStoragePolicy policy) {
    if (!current(load) || headSent_) return;
    sendHead(response, policy, true);
  }
  void onData(std::uint64_t load, kx::Bytes data) {
    if (!current(load) || !headSent_ || !chunked_ || data.empty()) return;
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    std::string chunk(size);
    chunk.append(data.begin(), data.end());
    chunk += "\r\n";
    send(std::move(chunk));
  }
  void onFinish(std::uint64_t load) {
    if (!current(load)) return;
    if (!headSent_) {  // a load that ends without a response is a failure
      endLoad(false);
      return;
    }
    if (chunked_) send("0\r\n\r\n");
    endLoad(true);
  }
  void onFail(std::uint64_t load) {
    if (!current(load)) return;
    endLoad(false);
  }

 private:
  enum class Reading { Header, Body, Done, Tunnel };
  enum class Timer { None, Idle, Header, Handshake };

  template <class F>
  void withStream(F&& f) {
    if (tls_) {
      f(*tls_);
    } else {
      f(socket_);
    }
  }

  bool current(std::uint64_t load) const { return !closed_ && loading_ && load == loadId_; }

  // --- Time limits -----------------------------------------------------------

  void setTimer(Timer kind) {
    if (closed_) return;
    if (kind == timerKind_ && kind != Timer::Idle) return;  // a header's limit runs from its start
    timerKind_ = kind;
    const std::uint64_t generation = ++timerGeneration_;
    if (kind == Timer::None) {
      timer_.cancel();
      return;
    }
    const double seconds = kind == Timer::Idle     ? front_->options_.idleTimeout
                           : kind == Timer::Header ? front_->options_.headerTimeout
                                                   : front_->options_.handshakeTimeout;
    timer_.expires_after(std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6)));
    std::weak_ptr<Connection> weak = weak_from_this();
    timer_.async_wait([weak, generation](boost::system::error_code ec) {
      auto self = weak.lock();
      if (ec || !self || self->timerGeneration_ != generation) return;
      self->close();
    });
  }

  // --- Reading ----------------------------------------------------------------

  // Starts a read unless one runs or nothing should be read now.
  void arm() {
    if (closed_ || reading_ || reading == Reading::Tunnel) return;
    if (reading == Reading::Body && bodyStream_ && bodyStream_->room() == 0) return;
    if (reading == Reading::Done && buffer_.size() >= kReadAheadLimit) return;
    if (reading == Reading::Header && buffer_.size() > kHeaderLimit) return;
    reading_ = true;
    auto self = shared_from_this();
    withStream([&](auto& stream) {
      // Not into buffer_.prepare(): a streamed body's reader may have the
      // front process() the buffer while this read is outstanding, and a
      // consume() that empties the flat buffer moves its output area back
      // to the start, under the bytes this read is writing.
      stream.async_read_some(
          net::buffer(readChunk_), [self](boost::system::error_code ec, std::size_t n) {
            self->reading_ = false;
            if (self->closed_) return;
            if (ec) {
              self->close();
              return;
            }
            self->buffer_.commit(
                net::buffer_copy(self->buffer_.prepare(n), net::buffer(self->readChunk_, n)));
            self->process();
            self->arm();
          });
    });
  }

  // Parses what the buffer holds.
  void process() {
    while (!closed_) {
      if (reading == Reading::Header) {
        if (buffer_.size() == 0) return;
        if (!parser_) {
          parser_.emplace();
          parser_->header_limit(kHeaderLimit);
          parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        }
        boost::system::error_code ec;
        const std::size_t n = parser_->put(buffer_.data(), ec);
        buffer_.consume(n);
        if (ec == http::error::need_more) {
          if (buffer_.size() > kHeaderLimit) return refuse(431);
          setTimer(Timer::Header);
          return;
        }
        if (ec) return refuse(400);
        if (!parser_->is_header_done()) continue;
        setTimer(Timer::None);
        onHeader();
      } else if (reading == Reading::Body) {
        if (!feedBody()) return;
      } else {
        return;
      }
    }
  }

  // Moves body bytes from the buffer to the body's sink; true when the
  // body is complete (the state changed).
  bool feedBody() {
    for (;;) {
      if (parser_->is_done()) {
        bodyComplete();
        return true;
      }
      if (buffer_.size() == 0) {
        setTimer(Timer::Idle);
        return false;
      }
      std::size_t room = scratch_.size();
      if (bodyStream_) room = std::min(room, bodyStream_->room());
      if (room == 0) {
        setTimer(Timer::None);  // the reader lags, not the client
        return false;
      }
      auto& body = parser_->get().body();
      body.data = scratch_.data();
      body.size = room;
      body.more = true;
      boost::system::error_code ec;
      const std::size_t n = parser_->put(buffer_.data(), ec);
      buffer_.consume(n);
      const std::size_t produced = room - body.size;
      if (ec == http::error::need_buffer) ec = {};
      if (ec && ec != http::error::need_more) {
        failBody("the request body is malformed");
        if (loading_) return close(), false;
        refuse(400);
        return false;
      }
      bodyReceived_ += produced;
      if (bodyReceived_ > bodyLimit_) {
        failBody("the request body is too large");
        if (loading_) return close(), false;
        refuse(413);
        return false;
      }
      if (produced > 0) {
        setTimer(Timer::Idle);
        if (bodyStream_) {
          bodyStream_->write(scratch_.data(), produced);
        } else {
          bodyWhole_.insert(bodyWhole_.end(), scratch_.begin(), scratch_.begin() + produced);
        }
      }
      if (n == 0 && produced == 0) return false;  // more bytes are needed
    }
  }

  void bodyComplete() {
    setTimer(Timer::None);
    reading = Reading::Done;
    parser_.reset();
    if (bodyStream_) {
      bodyStream_->end();
      bodyStream_.reset();
      return;
    }
    if (pending_) {
      kx::URLRequest request = std::move(*pending_);
      pending_.reset();
      auto bytes = std::make_shared<kx::Bytes>(std::move(bodyWhole_));
      bodyWhole_ = {};
      request.setHTTPBodyStream(std::make_shared<kx::BytesInputStream>(*bytes));
      request.setHTTPBody(std::move(*bytes));
      startLoad(std::move(request));
    }
  }

  void failBody(const char* why) {
    if (bodyStream_) {
      bodyStream_->fail(KXURLError::make(KXURLErrorNetworkConnectionLost,
                                         kx::Value::dict({{"NSLocalizedDescription", why}})));
      bodyStream_.reset();
    }
    pending_.reset();
  }

  // --- One request's header ------------------------------------------------

  void onHeader() {
    auto& request = parser_->get();
    const std::string target(request.target());
    keepAlive_ = request.keep_alive();
    const bool hasBody = !parser_->is_done();
    const boost::optional<std::uint64_t> length = parser_->content_length();
    std::string urlText;

    if (tls_) {
      // Inside a tunnel ended here: origin form, for the tunnel's host.
      if (target.empty() || target[0] != '/') return refuse(400);
      urlText = "https://" + tunnelHost_ + target;
    } else {
      const bool isConnect = request.method() == http::verb::connect;
      const bool absolute = lower(target.substr(0, 7)) == "http://";
      if (!isConnect && !absolute) return refuse(400);
      std::size_t fields = 0;
      std::string_view value;
      for (auto it = request.find(http::field::proxy_authorization);
           it != request.end() && it->name() == http::field::proxy_authorization; ++it) {
        ++fields;
        value = sv(it->value());
      }
      if (fields > 1) return refuse(400);
      if (fields == 0 || !front_->authorized(value)) {
        return answer(407, !hasBody, "Proxy-Authenticate: Basic realm=\"ZarvelNote\"\r\n");
      }
      if (!authenticated_) {
        authenticated_ = true;
        front_->authenticated(this);
      }
      if (isConnect) {
        if (hasBody) return refuse(400);
        reading = Reading::Tunnel;
        parser_.reset();
        connect(target);
        return;
      }
      urlText = target;
    }

    std::optional<kx::URL> url = kx::URL::parse(urlText);
    if (!url) return refuse(400);
    kx::URLRequest r(*url);
    r.setHTTPMethod(std::string(request.method_string()));
    for (const auto& field : request) {
      if (isHopByHop(sv(field.name_string()))) continue;
      // A repeated field is joined into one, as HTTP allows.
      const std::string name(field.name_string());
      std::optional<std::string> earlier = r.valueForHTTPHeaderField(name);
      r.setValue(
          earlier ? *earlier + ", " + std::string(field.value()) : std::string(field.value()),
          name);
    }
    isHead_ = request.method() == http::verb::head;

    const std::string host = lower(url->host());
    // The loopback address names the interface's own files, and nothing else.
    const bool loopbackFiles = !tls_ && host == "127.0.0.1";
    if (!tls_ && !loopbackFiles && !front_->intercepts(host)) {
      KXLOG("front: not intercepted: %s", host.c_str());
      return answer(403, !hasBody);
    }
    if (!RNCachingURLProtocol::canInitWithRequest(r)) {
      KXLOG("front: not taken: %s %s", r.HTTPMethod().c_str(), url->absoluteString().c_str());
      return answer(403, !hasBody);
    }
    const KXRequestType type = RNCachingURLProtocol::requestType(r);
    if (loopbackFiles) {
      if (type != KXRequestTypeLocalFile || hasBody) return answer(403, !hasBody);
    } else if (!front_->interceptsByName(host)) {
      // An image host of the search engine: only its images, as fetched.
      if (type != KXRequestTypeOutsideImage || hasBody ||
          !RNCachingURLProtocol::outsideImageAllowed(r)) {
        KXLOG("front: not an outside image: %s %s", r.HTTPMethod().c_str(),
              url->absoluteString().c_str());
        return answer(403, !hasBody);
      }
    }

    if (!hasBody) {
      reading = Reading::Done;
      parser_.reset();
      startLoad(std::move(r));
      return;
    }
    const Options& o = front_->options_;
    bodyReceived_ = 0;
    const bool inline_ = length && *length <= KXRequestBody::kInlineBodyLimit;
    if (type == KXRequestTypeLocalHandler && !inline_) {
      if (length && *length > o.maxBodySize) return refuse(413);
      bodyLimit_ = o.maxBodySize;
      std::weak_ptr<Connection> weak = weak_from_this();
      std::shared_ptr<Mailbox> mailbox = front_->mailbox_;
      bodyStream_ = std::make_shared<KXFrontBodyStream>(
          o.bodyStreamCapacity, length ? static_cast<std::int64_t>(*length) : -1, [weak, mailbox] {
            mailbox->post([weak] {
              if (auto c = weak.lock()) c->resumeBody();
            });
          });
      r.setHTTPBodyStream(bodyStream_);
      reading = Reading::Body;
      startLoad(std::move(r));
      return;
    }
    bodyLimit_ =
        type == KXRequestTypeLocalHandler ? KXRequestBody::kInlineBodyLimit : o.maxBufferedBodySize;
    if (length && *length > bodyLimit_) return refuse(413);
    bodyWhole_.clear();
    if (length) bodyWhole_.reserve(*length);
    pending_ = std::move(r);
    reading = Reading::Body;
  }

  // Answers `status` with no body and closes the connection.
  void refuse(int status) { answer(status, false); }

  // Answers `status` with no body outside a load; the connection stays for
  // the next request when `keepOpen` and the client keeps it alive.
  void answer(int status, bool keepOpen, const std::string& extra = {}) {
    const bool open = keepOpen && keepAlive_ && !loading_;
    failBody("the request was refused");
    parser_.reset();
    reading = Reading::Done;
    send(simpleAnswer(status, open, extra));
    if (open) {
      answered_ = true;
    } else {
      closeAfterWrite_ = true;
    }
  }

  // --- Loads through the protocol ------------------------------------------

  void startLoad(kx::URLRequest r) {
    loading_ = true;
    headSent_ = false;
    chunked_ = false;
    const std::uint64_t id = ++loadId_;
    const std::string& path = r.url().path();
    if (equalsIgnoringCase(r.url().host(), KXServiceHost()) &&
        (path == "/pushserver3" || path.rfind("/pushserver3/", 0) == 0)) {
      front_->holds(shared_from_this());
      held_ = true;
    }
    auto client = std::make_shared<FrontLoadClient>(weak_from_this(), front_->mailbox_, id);
    protocol_ = RNCachingURLProtocol::create(std::move(r), client);
    std::shared_ptr<RNCachingURLProtocol> protocol = protocol_;
    kx::GlobalQueue::get().async([protocol] { protocol->startLoading(); });
  }

  void sendHead(const kx::HTTPURLResponse& response, RNURLCacheStoragePolicy policy,
                bool withBody) {
    const int status = response.statusCode();
    const bool noBody =
        !withBody || isHead_ || (status >= 100 && status < 200) || status == 204 || status == 304;
    // An answer that ends before its request's body was read closes the
    // connection: the rest of the body cannot be told from a next request.
    if (reading == Reading::Body) keepAlive_ = false;
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                       std::string(http::obsolete_reason(static_cast<http::status>(status))) +
                       "\r\n";
    for (const auto& [name, value] : response.allHeaderFields().fields()) {
      if (isHopByHop(name) || hasLineBreak(name) || hasLineBreak(value) || name.empty()) continue;
      if (policy == RNURLCacheStoragePolicy::NotAllowed &&
          kx::HTTPHeaderFields::namesEqual(name, "Cache-Control"))
        continue;
      head += name + ": " + value + "\r\n";
    }
    if (policy == RNURLCacheStoragePolicy::NotAllowed) head += "Cache-Control: no-store\r\n";
    if (noBody) {
      if (!isHead_) head += "Content-Length: 0\r\n";
    } else {
      head += "Transfer-Encoding: chunked\r\n";
      chunked_ = true;
    }
    if (!keepAlive_) head += "Connection: close\r\n";
    head += "\r\n";
    headSent_ = true;
    send(std::move(head));
  }

  void send(std::string text) {
    out_.push_back(std::move(text));
    if (!writing_) writeNext();
  }

  void writeNext() {
    if (closed_) return;
    if (out_.empty()) {
      writing_ = false;
      if (closeAfterWrite_) {
        close();
      } else if (answered_) {
        answered_ = false;
        afterAnswer();
      }
      return;
    }
    writing_ = true;
    auto self = shared_from_this();
    withStream([&](auto& stream) {
      net::async_write(stream, net::buffer(out_.front()),
                       [self](boost::system::error_code ec, std::size_t) {
                         if (ec) {
                           self->close();
                           return;
                         }
                         self->out_.pop_front();
                         self->writeNext();
                       });
    });
  }

  // The load has ended: well (`ok`, the answer is complete once written) or
  // not (the connection closes, cutting any answer short).
  void endLoad(bool ok) {
    loading_ = false;
    protocol_.reset();
    if (held_) {
      held_ = false;
      front_->releases(this);
    }
    if (!ok) {
      close();
      return;
    }
    if (reading == Reading::Body) keepAlive_ = false;
    if (keepAlive_) {
      answered_ = true;
    } else {
      closeAfterWrite_ = true;
    }
    if (!writing_) writeNext();
  }

  // A whole answer is written: parse the next request (maybe buffered).
  void afterAnswer() {
    if (closed_) return;
    reading = Reading::Header;
    setTimer(Timer::Idle);
    process();
    arm();
  }

  void stopLoad() {
    if (protocol_) {
      std::shared_ptr<RNCachingURLProtocol> protocol = std::move(protocol_);
      protocol->stopLoading();
    }
    loading_ = false;
    if (held_) {
      held_ = false;
      front_->releases(this);
    }
  }

  // --- CONNECT --------------------------------------------------------------

  void connect(const std::string& authority) {
    std::string host;
    std::uint16_t port = 0;
    if (!splitAuthority(authority, &host, &port)) return refuse(400);
    if (port == front_->port_) return refuse(403);
    if (front_->intercepts(host)) {
      if (port != 443) return refuse(403);
      endTLSHere(host);
      return;
    }
    if (std::optional<tcp::endpoint> mapped = front_->mappedEndpoint(host, port)) {
      tunnelTo({*mapped});
      return;
    }
    boost::system::error_code ec;
    const net::ip::address literal = net::ip::make_address(host, ec);
    if (!ec) {
      if (!KXIsPublicAddress(literal)) return refuse(403);
      tunnelTo({tcp::endpoint(literal, port)});
      return;
    }
    auto resolver = std::make_shared<tcp::resolver>(front_->io_);
    auto self = shared_from_this();
    resolver->async_resolve(
        host, std::to_string(port),
        [self, resolver](boost::system::error_code ec, tcp::resolver::results_type results) {
          if (self->closed_) return;
          if (ec || results.empty()) return self->refuse(502);
          std::vector<tcp::endpoint> endpoints;
          for (const auto& entry : results) {
            // A name with any address inside is refused whole; the tunnel
            // connects only to the addresses checked here.
            if (!KXIsPublicAddress(entry.endpoint().address())) return self->refuse(403);
            endpoints.push_back(entry.endpoint());
          }
          self->tunnelTo(std::move(endpoints));
        });
  }

  void endTLSHere(const std::string& host) {
    auto self = shared_from_this();
    front_->tlsContextFor(host, [self, host](std::shared_ptr<ssl::context> context) {
      if (self->closed_) return;
      if (!context) return self->refuse(502);
      self->tlsContext_ = std::move(context);
      self->tunnelHost_ = host;
      auto established =
          std::make_shared<std::string>("HTTP/1.1 200 Connection established\r\n\r\n");
      self->setTimer(Timer::Handshake);
      net::async_write(self->socket_, net::buffer(*established),
                       [self, established](boost::system::error_code ec, std::size_t) {
                         if (ec || self->closed_) return self->close();
                         if (self->buffer_.size() != 0)
                           return self->close();  // TLS bytes before the answer
                         self->tls_ = std::make_unique<ssl::stream<tcp::socket&>>(
                             self->socket_, *self->tlsContext_);
                         self->tls_->async_handshake(ssl::stream_base::server,
                                                     [self](boost::system::error_code ec) {
                                                       if (self->closed_) return;
                                                       if (ec) return self->close();
                                                       self->timerKind_ = Timer::None;
                                                       self->afterAnswer();
                                                     });
                       });
    });
  }

  void tunnelTo(std::vector<tcp::endpoint> endpoints) {
    auto remaining = std::make_shared<std::vector<tcp::endpoint>>(std::move(endpoints));
    connectNext(remaining);
  }

  void connectNext(std::shared_ptr<std::vector<tcp::endpoint>> remaining) {
    if (remaining->empty()) return refuse(502);
    const tcp::endpoint endpoint = remaining->front();
    remaining->erase(remaining->begin());
    auto self = shared_from_this();
    boost::system::error_code ignored;
    upstream_.close(ignored);
    upstream_.async_connect(endpoint, [self, remaining](boost::system::error_code ec) {
      if (self->closed_) return;
      if (ec) return self->connectNext(remaining);
      auto established =
          std::make_shared<std::string>("HTTP/1.1 200 Connection established\r\n\r\n");
      net::async_write(self->socket_, net::buffer(*established),
                       [self, established](boost::system::error_code ec, std::size_t) {
                         if (ec || self->closed_) return self->close();
                         // Bytes the client sent early go first.
                         auto early = std::make_shared<std::string>(
                             boost::beast::buffers_to_string(self->buffer_.data()));
                         self->buffer_.consume(self->buffer_.size());
                         net::async_write(self->upstream_, net::buffer(*early),
                                          [self, early](boost::system::error_code ec, std::size_t) {
                                            if (ec) return self->close();
                                            self->pump(self->socket_, self->upstream_, self->down_);
                                            self->pump(self->upstream_, self->socket_, self->up_);
                                          });
                       });
    });
  }

  void pump(tcp::socket& from, tcp::socket& to, std::array<char, 16384>& scratch) {
    auto self = shared_from_this();
    from.async_read_some(net::buffer(scratch), [self, &from, &to, &scratch](
                                                   boost::system::error_code ec, std::size_t n) {
      if (ec || self->closed_) return self->close();
      net::async_write(to, net::buffer(scratch.data(), n),
                       [self, &from, &to, &scratch](boost::system::error_code ec, std::size_t) {
                         if (ec || self->closed_) return self->close();
                         self->pump(from, to, scratch);
                       });
    });
  }

  using Options = KXLoopbackFront::Options;

  KXLoopbackFront::Impl* const front_;
  tcp::socket socket_;
  tcp::socket upstream_;
  net::steady_timer timer_;
  Timer timerKind_ = Timer::None;
  std::uint64_t timerGeneration_ = 0;
  std::array<char, 16384> up_{}, down_{};
  std::array<std::uint8_t, 64 * 1024> scratch_{};
  std::shared_ptr<ssl::context> tlsContext_;
  std::unique_ptr<ssl::stream<tcp::socket&>> tls_;
  std::string tunnelHost_;
  std::array<char, kReadSize> readChunk_{};
  boost::beast::flat_buffer buffer_;
  Reading reading = Reading::Header;
  std::optional<http::request_parser<http::buffer_body>> parser_;
  // The body of the request being read: streamed, or whole for pending_.
  std::shared_ptr<KXFrontBodyStream> bodyStream_;
  std::optional<kx::URLRequest> pending_;
  kx::Bytes bodyWhole_;
  std::uint64_t bodyReceived_ = 0;
  std::uint64_t bodyLimit_ = 0;
  std::deque<std::string> out_;
  std::shared_ptr<RNCachingURLProtocol> protocol_;
  std::uint64_t loadId_ = 0;
  bool closed_ = false;
  bool reading_ = false;
  bool keepAlive_ = true;
  bool loading_ = false;
  bool writing_ = false;
  bool answered_ = false;         // once written, read the next request
  bool closeAfterWrite_ = false;  // once written, close
  bool headSent_ = false;
  bool chunked_ = false;
  bool isHead_ = false;
  bool authenticated_ = false;
  bool held_ = false;
};

void FrontLoadClient::wasRedirectedToRequest(const kx::URLRequest&,
                                             const kx::HTTPURLResponse& response) {
  mailbox_->post([c = connection_, id = load_, response] {
    if (auto conn = c.lock()) conn->onRedirect(id, response);
  });
}
void FrontLoadClient::didReceiveResponse(const kx::HTTPURLResponse& response,
                                         RNURLCacheStoragePolicy policy) {
  mailbox_->post([c = connection_, id = load_, response, policy] {
    if (auto conn = c.lock()) conn->onResponse(id, response, policy);
  });
}
void FrontLoadClient::didLoadData(const kx::Bytes& data) {
  mailbox_->post([c = connection_, id = load_, data] {
    if (auto conn = c.lock()) conn->onData(id, data);
  });
}
void FrontLoadClient::didFinishLoading() {
  mailbox_->post([c = connection_, id = load_] {
    if (auto conn = c.lock()) conn->onFinish(id);
  });
}
void FrontLoadClient::didFailWithError(const kx::Error&) {
  mailbox_->post([c = connection_, id = load_] {
    if (auto conn = c.lock()) conn->onFail(id);
  });
}

}  // namespace

// --- The front ---------------------------------------------------------------

bool KXLoopbackFront::Impl::start(kx::Error* error) {
  authority_ = kx::TLSAuthority::create("ZarvelNote launch authority", 30, error);
  if (!authority_) return false;
  std::optional<kx::Bytes> random = kx::Crypto::randomBytes(32, error);
  if (!random) return false;
  static const char kHex[] = "0123456789abcdef";
  for (std::uint8_t b : *random) {
    secret_ += kHex[b >> 4];
    secret_ += kHex[b & 15];
  }
  const std::string pair = options_.username + ":" + secret_;
  token_ = kx::Crypto::base64Encode(kx::ByteView(pair.data(), pair.size()));
  authorization_ = "Basic " + token_;

  // The local-file host never reaches the network: its files are answered
  // here by their own handler.
  intercepted_ = {KXServiceHost(), RNCachingURLProtocol::kSearchStatisticsHost,
                  RNCachingURLProtocol::kWebAnalyticsHost, kKXLocalFileHostName};
  for (const std::string& h : options_.extraHosts) intercepted_.push_back(lower(h));

  boost::system::error_code ec;
  const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), 0);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    if (error)
      *error = kx::Error::make(kFrontErrorDomain, ec.value(),
                               "cannot listen on 127.0.0.1: " + ec.message());
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  accept();
  thread_ = std::thread([this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception& e) {
        KXLOG("front: %s", e.what());
      } catch (...) {
        KXLOG("front: unknown exception");
      }
    }
  });
  return true;
}

void KXLoopbackFront::Impl::stop() {
  mailbox_->close();
  net::post(io_, [this] {
    boost::system::error_code ec;
    acceptor_.close(ec);
    acceptDelay_.cancel();
    std::vector<std::shared_ptr<Connection>> open;
    {
      kx::MutexLock lock(mu_);
      for (auto& [raw, c] : connections_) open.push_back(c);
    }
    for (auto& c : open) c->close();
    io_.stop();
  });
  if (thread_.joinable()) thread_.join();
  // Mints still queued finish before the queue goes; their answers have
  // nowhere to go.
}

namespace {

// Closes the first connection of `list` that is still open and drops it.
bool closeOldest(std::list<std::weak_ptr<Connection>>& list) {
  while (!list.empty()) {
    std::shared_ptr<Connection> c = list.front().lock();
    list.pop_front();
    if (c && !c->closed()) {
      c->close();
      return true;
    }
  }
  return false;
}

void eraseFrom(std::list<std::weak_ptr<Connection>>& list, Connection* c) {
  list.remove_if([c](const std::weak_ptr<Connection>& w) {
    std::shared_ptr<Connection> p = w.lock();
    return !p || p.get() == c;
  });
}

}  // namespace

void KXLoopbackFront::Impl::accept() {
  acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (ec) {
      afterAcceptFailure(ec);
      return;
    }
    acceptBackoff_ = std::chrono::milliseconds(0);
    std::size_t open;
    {
      kx::MutexLock lock(mu_);
      open = connections_.size();
    }
    if (open - heldCount_.load() >= options_.maxConnections) {
      boost::system::error_code ignored;
      socket.close(ignored);
      accept();
      return;
    }
    while (unauthenticated_.size() >= options_.maxUnauthenticated &&
           closeOldest(unauthenticated_)) {
    }
    auto c = std::make_shared<Connection>(this, std::move(socket));
    {
      kx::MutexLock lock(mu_);
      connections_[c.get()] = c;
    }
    unauthenticated_.push_back(c);
    unauthenticatedCount_ = unauthenticated_.size();
    c->start();
    accept();
  });
}

void KXLoopbackFront::Impl::afterAcceptFailure(const boost::system::error_code& ec) {
  ++failedAccepts_;
  // Out of descriptors (or another failure that will not pass at once): a
  // connection nobody has authenticated yet gives its descriptor back, and
  // the next accept waits, so the thread does not spin.
  if (ec == net::error::no_descriptors || ec.value() == ENFILE || ec.value() == ENOBUFS ||
      ec.value() == ENOMEM) {
    closeOldest(unauthenticated_);
    unauthenticatedCount_ = unauthenticated_.size();
  }
  acceptBackoff_ = std::min(std::chrono::milliseconds(1000),
                            std::max(std::chrono::milliseconds(10), acceptBackoff_ * 2));
  if (failedAccepts_ == 1 || failedAccepts_ % 100 == 0)
    KXLOG("front: accept failed (%zu times): %s", failedAccepts_.load(), ec.message().c_str());
  acceptDelay_.expires_after(acceptBackoff_);
  acceptDelay_.async_wait([this](boost::system::error_code ec) {
    if (ec || !acceptor_.is_open()) return;
    accept();
  });
}

void KXLoopbackFront::Impl::forget(Connection* c) {
  eraseFrom(unauthenticated_, c);
  unauthenticatedCount_ = unauthenticated_.size();
  std::shared_ptr<Connection> last;  // freed outside the lock
  kx::MutexLock lock(mu_);
  auto found = connections_.find(c);
  if (found == connections_.end()) return;
  last = std::move(found->second);
  connections_.erase(found);
}

void KXLoopbackFront::Impl::authenticated(Connection* c) {
  eraseFrom(unauthenticated_, c);
  unauthenticatedCount_ = unauthenticated_.size();
}

void KXLoopbackFront::Impl::holds(const std::shared_ptr<Connection>& c) {
  held_.push_back(c);
  ++heldCount_;
  while (held_.size() > options_.maxHeldPolls && closeOldest(held_)) {
  }
}

void KXLoopbackFront::Impl::releases(Connection* c) {
  eraseFrom(held_, c);
  if (heldCount_ > 0) --heldCount_;
}

KXLoopbackFront::Counts KXLoopbackFront::Impl::counts() const {
  Counts counts;
  {
    kx::MutexLock lock(mu_);
    counts.connections = connections_.size();
    counts.leaves = leaves_.size();
  }
  counts.unauthenticated = unauthenticatedCount_;
  counts.heldPolls = heldCount_;
  counts.failedAccepts = failedAccepts_;
  return counts;
}

bool KXLoopbackFront::Impl::interceptsByName(const std::string& host) const {
  const std::string h = lower(host);
  return std::find(intercepted_.begin(), intercepted_.end(), h) != intercepted_.end();
}

bool KXLoopbackFront::Impl::intercepts(const std::string& host) const {
  if (interceptsByName(host)) return true;
  return lower(host).find(RNCachingURLProtocol::kSearchEngineName) != std::string::npos;
}

bool KXLoopbackFront::Impl::mint(const std::string& host, Leaf* leaf, kx::Error* error) {
  kx::TLSIdentity identity = authority_->issue({host}, error);
  if (identity.certificatePEM.empty()) return false;
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  boost::system::error_code ec;
  // The chain: the leaf, then the authority, so that a client that pins
  // the authority's key finds it.
  const std::string chain = identity.certificatePEM + authority_->certificatePEM();
  context->use_certificate_chain(net::buffer(chain), ec);
  if (!ec) context->use_private_key(net::buffer(identity.privateKeyPEM), ssl::context::pem, ec);
  if (ec) {
    if (error)
      *error = kx::Error::make(kFrontErrorDomain, ec.value(), "TLS context: " + ec.message());
    return false;
  }
  leaf->pem = identity.certificatePEM;
  leaf->context = std::move(context);
  return true;
}

void KXLoopbackFront::Impl::touch(const std::string& host) {
  auto found = leaves_.find(host);
  if (found == leaves_.end() || found->second.allowed) return;
  leafOrder_.remove(host);
  leafOrder_.push_front(host);
}

void KXLoopbackFront::Impl::keep(const std::string& host, Leaf leaf) {
  kx::MutexLock lock(mu_);
  leafOrder_.remove(host);
  const bool allowed = leaf.allowed;
  leaves_[host] = std::move(leaf);
  if (allowed) return;
  leafOrder_.push_front(host);
  while (leafOrder_.size() > std::max<std::size_t>(options_.maxLeaves, 1)) {
    leaves_.erase(leafOrder_.back());
    leafOrder_.pop_back();
  }
}

std::string KXLoopbackFront::Impl::leafFor(const std::string& host, kx::Error* error) {
  const std::string h = lower(host);
  if (!intercepts(h)) {
    if (error) *error = kx::Error::make(kFrontErrorDomain, 1, "not an intercepted host: " + h);
    return {};
  }
  {
    kx::MutexLock lock(mu_);
    auto found = leaves_.find(h);
    if (found != leaves_.end()) {
      touch(h);
      return found->second.pem;
    }
  }
  Leaf leaf;
  if (!mint(h, &leaf, error)) return {};
  std::string pem = leaf.pem;
  keep(h, std::move(leaf));
  return pem;
}

void KXLoopbackFront::Impl::tlsContextFor(const std::string& host, LeafReady ready) {
  {
    kx::MutexLock lock(mu_);
    auto found = leaves_.find(host);
    if (found != leaves_.end()) {
      touch(host);
      std::shared_ptr<ssl::context> context = found->second.context;
      ready(std::move(context));
      return;
    }
  }
  std::vector<LeafReady>& waiting = minting_[host];
  waiting.push_back(std::move(ready));
  if (waiting.size() > 1) return;  // a mint for this host is on its way
  auto finish = [this, host](std::shared_ptr<ssl::context> context) {
    auto found = minting_.find(host);
    if (found == minting_.end()) return;
    std::vector<LeafReady> waiters = std::move(found->second);
    minting_.erase(found);
    for (auto& w : waiters) w(context);
  };
  std::shared_ptr<Mailbox> mailbox = mailbox_;
  leafQueue_.async([this, host, mailbox, finish] {
    auto leaf = std::make_shared<Leaf>();
    kx::Error error;
    const bool made = mint(host, leaf.get(), &error);
    if (!made)
      KXLOG("front: no certificate for %s: %s", host.c_str(), error.localizedDescription().c_str());
    mailbox->post([this, host, leaf, made, mailbox, finish] {
      if (!made) return finish(nullptr);
      if (!options_.allowLeaf) {
        keep(host, *leaf);
        return finish(leaf->context);
      }
      auto once = std::make_shared<std::once_flag>();
      options_.allowLeaf(host, leaf->pem, [this, host, leaf, mailbox, finish, once](bool allowed) {
        std::call_once(*once, [&] {
          mailbox->post([this, host, leaf, allowed, finish] {
            if (!allowed) {
              KXLOG("front: the web view may not trust a new leaf for %s", host.c_str());
              return finish(nullptr);
            }
            leaf->allowed = true;
            keep(host, *leaf);
            finish(leaf->context);
          });
        });
      });
    });
  });
}

bool KXLoopbackFront::Impl::authorized(std::string_view value) const {
  // "Basic" in any case, one or more blanks, then the token.
  const std::size_t blank = value.find(' ');
  if (blank == std::string_view::npos || !equalsIgnoringCase(value.substr(0, blank), "Basic"))
    return false;
  std::string_view token = value.substr(blank);
  while (!token.empty() && (token.front() == ' ' || token.front() == '\t')) token.remove_prefix(1);
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.remove_suffix(1);
  return token.size() == token_.size() &&
         CRYPTO_memcmp(token.data(), token_.data(), token.size()) == 0;
}

std::optional<tcp::endpoint> KXLoopbackFront::Impl::mappedEndpoint(const std::string& host,
                                                                   std::uint16_t port) const {
  const std::string prefix = host + ":" + std::to_string(port) + ":";
  for (const std::string& entry : options_.connectTo) {
    if (entry.compare(0, prefix.size(), prefix) != 0) continue;
    std::string address;
    std::uint16_t to = 0;
    if (!splitAuthority(entry.substr(prefix.size()), &address, &to)) continue;
    boost::system::error_code ec;
    const net::ip::address a = net::ip::make_address(address, ec);
    if (!ec) return tcp::endpoint(a, to);
  }
  return std::nullopt;
}

std::unique_ptr<KXLoopbackFront> KXLoopbackFront::start(Options options, kx::Error* error) {
  auto impl = std::make_unique<Impl>(std::move(options));
  if (!impl->start(error)) return nullptr;
  return std::unique_ptr<KXLoopbackFront>(new KXLoopbackFront(std::move(impl)));
}

KXLoopbackFront::KXLoopbackFront(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

KXLoopbackFront::~KXLoopbackFront() { impl_->stop(); }

std::uint16_t KXLoopbackFront::port() const { return impl_->port_; }
const std::string& KXLoopbackFront::username() const { return impl_->options_.username; }
const std::string& KXLoopbackFront::secret() const { return impl_->secret_; }
std::string KXLoopbackFront::proxyAuthorization() const { return impl_->authorization_; }
const std::string& KXLoopbackFront::authorityCertificatePEM() const {
  return impl_->authority_->certificatePEM();
}
std::string KXLoopbackFront::leafCertificatePEM(const std::string& host, kx::Error* error) {
  return impl_->leafFor(host, error);
}
bool KXLoopbackFront::intercepts(const std::string& host) const { return impl_->intercepts(host); }
KXLoopbackFront::Counts KXLoopbackFront::counts() const { return impl_->counts(); }

bool KXLoopbackFront::writeCredentials(const std::string& path, kx::Error* error) const {
  kx::Dictionary d;
  d.set("port", kx::Value(static_cast<int>(impl_->port_)));
  d.set("username", kx::Value(impl_->options_.username));
  d.set("password", kx::Value(impl_->secret_));
  d.set("authority", kx::Value(impl_->authority_->certificatePEM()));
  const std::string text = JSONString(d);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (error) *error = kx::Error::posix(errno, path);
    return false;
  }
  bool ok = ::fchmod(fd, 0600) == 0;
  std::size_t written = 0;
  while (ok && written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  const int saved = errno;
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    if (error) *error = kx::Error::posix(saved ? saved : EIO, path);
    ::unlink(path.c_str());
  }
  return ok;
}
