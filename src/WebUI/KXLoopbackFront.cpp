#include "WebUI/KXLoopbackFront.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "WebUI/RNCachingURL/RNCachingURLProtocol.h"
#include "platform/Crypto.h"
#include "platform/GlobalQueue.h"
#include "platform/TLSAuthority.h"
#include "platform/Value.h"

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

constexpr const char* kFrontErrorDomain = "com.zarvel.note.front";

std::string_view sv(boost::beast::string_view s) { return std::string_view(s.data(), s.size()); }

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// Addresses a tunnel must never reach: this machine and the networks
// around it.
bool isForbiddenAddress(const net::ip::address& address) {
  if (address.is_v6()) {
    const net::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped())
      return isForbiddenAddress(net::ip::make_address_v4(net::ip::v4_mapped, v6));
    const auto b = v6.to_bytes();
    return v6.is_unspecified() || v6.is_loopback() || v6.is_link_local() || v6.is_multicast() ||
           v6.is_site_local() || (b[0] & 0xfe) == 0xfc;  // fc00::/7, unique local
  }
  const std::uint32_t a = address.to_v4().to_uint();
  auto in = [a](std::uint32_t net, int bits) { return (a >> (32 - bits)) == (net >> (32 - bits)); };
  return in(0x00000000, 8) ||   // 0.0.0.0/8
         in(0x0a000000, 8) ||   // 10/8
         in(0x7f000000, 8) ||   // 127/8
         in(0x64400000, 10) ||  // 100.64/10, shared address space
         in(0xa9fe0000, 16) ||  // 169.254/16, link-local
         in(0xac100000, 12) ||  // 172.16/12
         in(0xc0a80000, 16) ||  // 192.168/16
         in(0xe0000000, 4) ||   // multicast
         a == 0xffffffff;
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
                                       "Content-Length"};
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
    std::lock_guard<std::mutex> lock(mu_);
    if (io_) net::post(*io_, std::move(f));
  }
  void close() {
    std::lock_guard<std::mutex> lock(mu_);
    io_ = nullptr;
  }

 private:
  std::mutex mu_;
  net::io_context* io_;  // guarded by mu_
};

}  // namespace

class KXLoopbackFront::Impl {
 public:
  Impl(Options options)
      : options_(std::move(options)), acceptor_(io_), mailbox_(std::make_shared<Mailbox>(&io_)) {}

  bool start(kx::Error* error);
  void stop();

  bool intercepts(const std::string& host) const;
  std::string leafFor(const std::string& host, kx::Error* error);
  std::shared_ptr<ssl::context> tlsContextFor(const std::string& host);
  bool authorized(std::string_view value) const;
  // The mapped endpoint for host:port (tests), if any.
  std::optional<tcp::endpoint> mappedEndpoint(const std::string& host, std::uint16_t port) const;

  void accept();
  void forget(Connection* c);

  const Options options_;
  net::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
  std::uint16_t port_ = 0;
  std::string secret_;
  std::string authorization_;
  std::unique_ptr<kx::TLSAuthority> authority_;
  std::vector<std::string> intercepted_;
  const std::shared_ptr<Mailbox> mailbox_;

  mutable std::mutex mu_;
  std::map<std::string, std::string> leaves_;                      // guarded by mu_; host → PEM
  std::map<std::string, std::shared_ptr<ssl::context>> contexts_;  // guarded by mu_
  std::map<Connection*, std::weak_ptr<Connection>> connections_;   // guarded by mu_
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
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(KXLoopbackFront::Impl* front, tcp::socket socket)
      : front_(front), socket_(std::move(socket)), upstream_(front->io_) {}
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
    readRequest();
  }

  // Ends everything: the load, the sockets.
  void close() {
    if (closed_) return;
    closed_ = true;
    stopLoad();
    boost::system::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    upstream_.close(ec);
    front_->forget(this);
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
  template <class F>
  void withStream(F&& f) {
    if (tls_) {
      f(*tls_);
    } else {
      f(socket_);
    }
  }

  bool current(std::uint64_t load) const { return !closed_ && loading_ && load == loadId_; }

  void readRequest() {
    if (closed_) return;
    parser_.emplace();
    parser_->header_limit(64 * 1024);
    parser_->body_limit(front_->options_.maxBodySize);
    auto self = shared_from_this();
    withStream([&](auto& stream) {
      http::async_read(stream, buffer_, *parser_,
                       [self](boost::system::error_code ec, std::size_t) { self->onRequest(ec); });
    });
  }

  void onRequest(boost::system::error_code ec) {
    if (closed_) return;
    if (ec) {
      close();
      return;
    }
    http::request<http::string_body> request = parser_->release();
    parser_.reset();
    const std::string target(request.target());
    keepAlive_ = request.keep_alive();

    if (tls_) {
      // Inside a tunnel ended here: origin form, for the tunnel's host.
      if (target.empty() || target[0] != '/') return refuse(400);
      load(std::move(request), "https://" + tunnelHost_ + target);
      return;
    }
    const bool isConnect = request.method() == http::verb::connect;
    const bool absolute = lower(target.substr(0, 7)) == "http://";
    if (!isConnect && !absolute) return refuse(400);
    const auto auth = request.find(http::field::proxy_authorization);
    if (auth == request.end() || !front_->authorized(sv(auth->value()))) {
      sendRaw(simpleAnswer(407, keepAlive_, "Proxy-Authenticate: Basic realm=\"ZarvelNote\"\r\n"),
              keepAlive_);
      return;
    }
    if (isConnect) {
      connect(target);
      return;
    }
    load(std::move(request), target);
  }

  // Answers `status` with no body and closes the connection.
  void refuse(int status) { sendRaw(simpleAnswer(status, false), false); }

  // Writes a whole answer outside a load, then reads on or closes.
  void sendRaw(std::string text, bool keepOpen) {
    auto self = shared_from_this();
    auto data = std::make_shared<std::string>(std::move(text));
    withStream([&](auto& stream) {
      net::async_write(stream, net::buffer(*data),
                       [self, data, keepOpen](boost::system::error_code ec, std::size_t) {
                         if (ec || !keepOpen) {
                           self->close();
                         } else {
                           self->readRequest();
                         }
                       });
    });
  }

  // --- Loads through the protocol ------------------------------------------

  void load(http::request<http::string_body> request, const std::string& urlText) {
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
    if (!request.body().empty()) {
      const std::string& body = request.body();
      r.setHTTPBody(kx::Bytes(body.begin(), body.end()));
    }
    if (!RNCachingURLProtocol::canInitWithRequest(r)) {
      KXLOG("front: not taken: %s %s", r.HTTPMethod().c_str(), url->absoluteString().c_str());
      sendRaw(simpleAnswer(403, keepAlive_), keepAlive_);
      return;
    }
    isHead_ = request.method() == http::verb::head;
    loading_ = true;
    headSent_ = false;
    chunked_ = false;
    const std::uint64_t id = ++loadId_;
    auto client = std::make_shared<FrontLoadClient>(weak_from_this(), front_->mailbox_, id);
    protocol_ = RNCachingURLProtocol::create(std::move(r), client);
    std::shared_ptr<RNCachingURLProtocol> protocol = protocol_;
    kx::GlobalQueue::get().async([protocol] { protocol->startLoading(); });
    watchPeer();
  }

  // Reads while a load runs, so that a client that goes away stops it; what
  // arrives meanwhile (a next request) stays in the buffer for the parser.
  void watchPeer() {
    if (watching_ || closed_) return;
    watching_ = true;
    auto self = shared_from_this();
    withStream([&](auto& stream) {
      stream.async_read_some(buffer_.prepare(16 * 1024),
                             [self](boost::system::error_code ec, std::size_t n) {
                               self->watching_ = false;
                               if (self->closed_) return;
                               if (ec) {
                                 self->close();
                                 return;
                               }
                               self->buffer_.commit(n);
                               if (self->loading_ || self->writing_) {
                                 if (self->buffer_.size() < 1024 * 1024) self->watchPeer();
                               } else {
                                 self->readRequest();
                               }
                             });
    });
  }

  void sendHead(const kx::HTTPURLResponse& response, RNURLCacheStoragePolicy policy,
                bool withBody) {
    const int status = response.statusCode();
    const bool noBody =
        !withBody || isHead_ || (status >= 100 && status < 200) || status == 204 || status == 304;
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
      if (!loading_) afterLoad();
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
    if (!ok) {
      close();
      return;
    }
    if (!writing_) afterLoad();
  }

  // Everything of the answer is written: read the next request, or close.
  void afterLoad() {
    if (!keepAlive_) {
      close();
      return;
    }
    if (!watching_) readRequest();  // else the pending read resumes it
  }

  void stopLoad() {
    if (protocol_) {
      std::shared_ptr<RNCachingURLProtocol> protocol = std::move(protocol_);
      protocol->stopLoading();
    }
    loading_ = false;
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
      if (isForbiddenAddress(literal)) return refuse(403);
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
            // A name with any address inside is refused whole.
            if (isForbiddenAddress(entry.endpoint().address())) return self->refuse(403);
            endpoints.push_back(entry.endpoint());
          }
          self->tunnelTo(std::move(endpoints));
        });
  }

  void endTLSHere(const std::string& host) {
    std::shared_ptr<ssl::context> context = front_->tlsContextFor(host);
    if (!context) return refuse(502);
    tlsContext_ = context;
    tunnelHost_ = host;
    auto self = shared_from_this();
    auto established = std::make_shared<std::string>("HTTP/1.1 200 Connection established\r\n\r\n");
    net::async_write(socket_, net::buffer(*established),
                     [self, established](boost::system::error_code ec, std::size_t) {
                       if (ec || self->closed_) return self->close();
                       if (self->buffer_.size() != 0)
                         return self->close();  // TLS bytes before the answer
                       self->tls_ = std::make_unique<ssl::stream<tcp::socket&>>(self->socket_,
                                                                                *self->tlsContext_);
                       self->tls_->async_handshake(ssl::stream_base::server,
                                                   [self](boost::system::error_code ec) {
                                                     if (ec) return self->close();
                                                     self->readRequest();
                                                   });
                     });
  }

  void tunnelTo(std::vector<tcp::endpoint> endpoints) {
    auto self = shared_from_this();
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

  KXLoopbackFront::Impl* const front_;
  tcp::socket socket_;
  tcp::socket upstream_;
  std::array<char, 16384> up_{}, down_{};
  std::shared_ptr<ssl::context> tlsContext_;
  std::unique_ptr<ssl::stream<tcp::socket&>> tls_;
  std::string tunnelHost_;
  boost::beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::deque<std::string> out_;
  std::shared_ptr<RNCachingURLProtocol> protocol_;
  std::uint64_t loadId_ = 0;
  bool closed_ = false;
  bool keepAlive_ = true;
  bool loading_ = false;
  bool watching_ = false;
  bool writing_ = false;
  bool headSent_ = false;
  bool chunked_ = false;
  bool isHead_ = false;
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
void FrontLoadClient::didFailWithError(const kx::Error& error) {
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
  authorization_ = "Basic " + kx::Crypto::base64Encode(kx::ByteView(pair.data(), pair.size()));

  intercepted_ = {KXServiceHost(), RNCachingURLProtocol::kSearchStatisticsHost,
                  RNCachingURLProtocol::kWebAnalyticsHost};
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
    std::vector<std::shared_ptr<Connection>> open;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& [raw, weak] : connections_) {
        if (auto c = weak.lock()) open.push_back(c);
      }
    }
    for (auto& c : open) c->close();
    io_.stop();
  });
  if (thread_.joinable()) thread_.join();
}

void KXLoopbackFront::Impl::accept() {
  acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
    if (!ec) {
      auto c = std::make_shared<Connection>(this, std::move(socket));
      {
        std::lock_guard<std::mutex> lock(mu_);
        connections_[c.get()] = c;
      }
      c->start();
    }
    accept();
  });
}

void KXLoopbackFront::Impl::forget(Connection* c) {
  std::lock_guard<std::mutex> lock(mu_);
  connections_.erase(c);
}

bool KXLoopbackFront::Impl::intercepts(const std::string& host) const {
  const std::string h = lower(host);
  if (std::find(intercepted_.begin(), intercepted_.end(), h) != intercepted_.end()) return true;
  return h.find(RNCachingURLProtocol::kSearchEngineName) != std::string::npos;
}

std::string KXLoopbackFront::Impl::leafFor(const std::string& host, kx::Error* error) {
  const std::string h = lower(host);
  if (!intercepts(h)) {
    if (error) *error = kx::Error::make(kFrontErrorDomain, 1, "not an intercepted host: " + h);
    return {};
  }
  std::lock_guard<std::mutex> lock(mu_);
  auto found = leaves_.find(h);
  if (found != leaves_.end()) return found->second;
  kx::TLSIdentity identity = authority_->issue({h}, error);
  if (identity.certificatePEM.empty()) return {};
  leaves_[h] = identity.certificatePEM;
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
    leaves_.erase(h);
    return {};
  }
  contexts_[h] = context;
  return identity.certificatePEM;
}

std::shared_ptr<ssl::context> KXLoopbackFront::Impl::tlsContextFor(const std::string& host) {
  kx::Error error;
  if (leafFor(host, &error).empty()) {
    KXLOG("front: no certificate for %s: %s", host.c_str(), error.localizedDescription().c_str());
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mu_);
  return contexts_[lower(host)];
}

bool KXLoopbackFront::Impl::authorized(std::string_view value) const {
  return value.size() == authorization_.size() &&
         CRYPTO_memcmp(value.data(), authorization_.data(), value.size()) == 0;
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
