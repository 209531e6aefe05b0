#include "support/TestNoteService.h"

#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <set>
#include <thread>

#include "platform/TLSAuthority.h"

namespace kxtest {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

namespace {

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string jsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof(buffer), "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

struct Authority {
  std::unique_ptr<kx::TLSAuthority> ca;
  std::mutex mu;
  std::map<std::string, kx::TLSIdentity> leaves;  // guarded by mu
};

Authority& authority() {
  static Authority* a = [] {
    auto* made = new Authority();
    kx::Error error;
    made->ca = kx::TLSAuthority::create("ZarvelNote test authority", 2, &error);
    return made;
  }();
  return *a;
}

kx::TLSIdentity leafFor(const std::string& host) {
  Authority& a = authority();
  std::lock_guard<std::mutex> lock(a.mu);
  auto it = a.leaves.find(host);
  if (it != a.leaves.end()) return it->second;
  kx::Error error;
  kx::TLSIdentity leaf =
      a.ca ? a.ca->issue({host, "localhost", "127.0.0.1"}, &error) : kx::TLSIdentity{};
  a.leaves[host] = leaf;
  return leaf;
}

double monotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (sameName(k, name)) return v;
  }
  return {};
}

bool RecordedRequest::hasHeader(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (sameName(k, name)) return true;
  }
  return false;
}

Reply Reply::json(int status, const std::string& body) {
  Reply reply;
  reply.status = status;
  reply.headers.emplace_back("Content-Type", "application/json");
  reply.body = body;
  return reply;
}

Fault Fault::withStatus(int status, std::string jsonBody) {
  Fault f;
  f.status = status;
  f.jsonBody = std::move(jsonBody);
  return f;
}
Fault Fault::delayed(double seconds) {
  Fault f;
  f.delaySeconds = seconds;
  return f;
}
Fault Fault::held() {
  Fault f;
  f.hold = true;
  return f;
}
Fault Fault::dropped() {
  Fault f;
  f.dropConnection = true;
  return f;
}
Fault Fault::truncated() {
  Fault f;
  f.truncateBody = true;
  return f;
}
Fault Fault::malformed() {
  Fault f;
  f.malformedJSON = true;
  return f;
}

std::vector<std::pair<std::string, std::string>> splitQuery(const std::string& query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t start = 0;
  while (start <= query.size() && !query.empty()) {
    std::size_t amp = query.find('&', start);
    std::string pair =
        query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    std::size_t eq = pair.find('=');
    if (eq != std::string::npos) pairs.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return pairs;
}

std::string queryValue(const std::string& query, const std::string& key) {
  for (const auto& [k, v] : splitQuery(query)) {
    if (k == key) return v;
  }
  return {};
}

std::string formValue(const std::string& text, const std::string& key) {
  const std::string raw = queryValue(text, key);
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size()) {
      out += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (raw[i] == '+') {
      out += ' ';
    } else {
      out += raw[i];
    }
  }
  return out;
}

// The parameters of a Content-Disposition value ("form-data; name=\"a\";
// filename=\"b\""), in order: a quoted value runs to the next quote (a
// quote inside is sent escaped as %22), any other to the next ";".
static std::vector<std::pair<std::string, std::string>> dispositionParameters(
    std::string_view value) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t at = value.find(';');
  while (at != std::string_view::npos && at < value.size()) {
    ++at;  // past the ";"
    while (at < value.size() && value[at] == ' ') ++at;
    const std::size_t keyEnd = value.find_first_of("=;", at);
    std::string key(value.substr(at, keyEnd - at));
    if (keyEnd == std::string_view::npos || value[keyEnd] == ';') {
      at = keyEnd;
      continue;
    }
    at = keyEnd + 1;
    std::string parameter;
    if (at < value.size() && value[at] == '"') {
      const std::size_t close = value.find('"', at + 1);
      parameter = std::string(value.substr(at + 1, close - at - 1));
      at = close == std::string_view::npos ? close : value.find(';', close);
    } else {
      const std::size_t end = value.find(';', at);
      parameter = std::string(value.substr(at, end - at));
      at = end;
    }
    out.emplace_back(std::move(key), std::move(parameter));
  }
  return out;
}

bool parseMultipart(const std::string& contentType, const std::string& body,
                    std::vector<MultipartPart>* parts) {
  std::size_t b = contentType.find("boundary=");
  if (b == std::string::npos) return false;
  std::string boundary = "--" + contentType.substr(b + 9);
  std::size_t pos = 0;
  if (body.compare(0, boundary.size() + 2, boundary + "\r\n") != 0) return false;
  pos = boundary.size() + 2;
  for (;;) {
    std::size_t headEnd = body.find("\r\n\r\n", pos);
    if (headEnd == std::string::npos) return false;
    MultipartPart part;
    std::size_t line = pos;
    while (line < headEnd) {
      std::size_t eol = body.find("\r\n", line);
      if (eol == std::string::npos || eol > headEnd) eol = headEnd;
      std::string text = body.substr(line, eol - line);
      std::size_t colon = text.find(':');
      if (colon == std::string::npos) return false;
      std::string name = text.substr(0, colon);
      std::string value = text.substr(colon + 1);
      if (!value.empty() && value[0] == ' ') value.erase(0, 1);
      part.headers.emplace_back(name, value);
      if (sameName(name, "Content-Type")) part.contentType = value;
      if (sameName(name, "Content-Disposition")) {
        for (const auto& [key, parameter] : dispositionParameters(value)) {
          if (sameName(key, "name")) part.name = parameter;
          if (sameName(key, "filename")) part.filename = parameter;
        }
      }
      line = eol + 2;
    }
    std::string delimiter = "\r\n" + boundary;
    std::size_t dataEnd = body.find(delimiter, headEnd + 4);
    if (dataEnd == std::string::npos) return false;
    part.data = body.substr(headEnd + 4, dataEnd - headEnd - 4);
    parts->push_back(std::move(part));
    pos = dataEnd + delimiter.size();
    if (body.compare(pos, 4, "--\r\n") == 0) return pos + 4 == body.size();
    if (body.compare(pos, 2, "\r\n") != 0) return false;
    pos += 2;
  }
}

// The sockets and threads.
class TestNoteService::Server {
 public:
  explicit Server(TestNoteService* owner) : owner_(owner), tls_(ssl::context::tls_server) {}

  ~Server() { stop(); }

  bool start(kx::Error* error) {
    kx::TLSIdentity leaf = leafFor(owner_->host_);
    if (leaf.certificatePEM.empty()) {
      kx::SetError(error, kx::Error::make("kxtest.TestNoteService", 1, "no test certificate"));
      return false;
    }
    boost::system::error_code ec;
    tls_.use_certificate_chain(net::buffer(leaf.certificatePEM), ec);
    if (!ec) tls_.use_private_key(net::buffer(leaf.privateKeyPEM), ssl::context::pem, ec);
    if (!ec) {
      acceptor_.open(tcp::v4(), ec);
      if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
      if (!ec) acceptor_.bind(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), 0), ec);
      if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
      kx::SetError(error, kx::Error::make("kxtest.TestNoteService", ec.value(), ec.message()));
      return false;
    }
    port_ = acceptor_.local_endpoint().port();
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopped_) return;
      stopped_ = true;
      for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    if (acceptThread_.joinable()) {
      // Wake the blocking accept with a connection of our own.
      boost::system::error_code ec;
      tcp::socket waker(io_);
      waker.connect(tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), port_), ec);
      acceptThread_.join();
    }
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(mu_);
      threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
  }

  std::uint16_t port() const { return port_; }
  int accepted() {
    std::lock_guard<std::mutex> lock(mu_);
    return accepted_;
  }

 private:
  void acceptLoop() {
    for (;;) {
      tcp::socket socket(io_);
      boost::system::error_code ec;
      acceptor_.accept(socket, ec);
      std::lock_guard<std::mutex> lock(mu_);
      if (stopped_) return;
      if (ec) continue;
      ++accepted_;
      // Header and body go out in separate writes; without this, Nagle's
      // algorithm holds the body back for the client's delayed ACK.
      socket.set_option(tcp::no_delay(true), ec);
      int fd = socket.native_handle();
      open_.insert(fd);
      threads_.emplace_back(
          [this, s = std::move(socket), fd]() mutable { serve(std::move(s), fd); });
    }
  }

  void serve(tcp::socket socket, int fd) {
    try {
      serveConnection(std::move(socket));
    } catch (...) {
      // A fixture's connection ends quietly.
    }
    std::lock_guard<std::mutex> lock(mu_);
    open_.erase(fd);
  }

  void serveConnection(tcp::socket socket) {
    ssl::stream<tcp::socket> stream(std::move(socket), tls_);
    boost::system::error_code ec;
    stream.handshake(ssl::stream_base::server, ec);
    if (ec) return;
    boost::beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.body_limit(std::numeric_limits<std::uint64_t>::max());
      http::read(stream, buffer, parser, ec);
      if (ec) break;
      auto& req = parser.get();
      RecordedRequest record;
      record.method = std::string(req.method_string());
      record.target = std::string(req.target());
      std::size_t q = record.target.find('?');
      record.path = record.target.substr(0, q);
      if (q != std::string::npos) record.query = record.target.substr(q + 1);
      for (const auto& field : req) {
        record.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
      }
      record.body = req.body();
      bool keepAlive = req.keep_alive();
      bool head = req.method() == http::verb::head;
      record.time = monotonicSeconds() - owner_->startTime_;
      // A held request waits for a release after the moment it was counted
      // in flight: a test that saw it in flight and released at once must
      // not leave it held.
      std::uint64_t releasesSeen;
      {
        std::lock_guard<std::mutex> lock(owner_->mu_);
        owner_->requests_.push_back(record);
        ++owner_->inFlight_;
        releasesSeen = owner_->releases_;
      }
      owner_->changed_.notify_all();
      bool goOn = respond(stream, record, head, keepAlive, releasesSeen);
      {
        std::lock_guard<std::mutex> lock(owner_->mu_);
        --owner_->inFlight_;
      }
      owner_->changed_.notify_all();
      if (!goOn || !keepAlive) break;
    }
    stream.shutdown(ec);
    stream.lowest_layer().close(ec);
  }

  // Writes the answer; false when the connection must end.
  bool respond(ssl::stream<tcp::socket>& stream, const RecordedRequest& record, bool head,
               bool keepAlive, std::uint64_t releasesSeen) {
    Fault fault;
    bool faulty = owner_->findFault(record.path, &fault);
    if (faulty && !owner_->wait(fault, releasesSeen)) return false;
    if (faulty && fault.dropConnection) return false;
    Reply reply = owner_->answer(record, faulty ? &fault : nullptr);
    http::response<http::empty_body> res;
    res.result(static_cast<unsigned>(reply.status));
    res.version(11);
    for (const auto& [k, v] : reply.headers) res.insert(k, v);
    res.content_length(reply.body.size());
    res.keep_alive(keepAlive);
    http::response_serializer<http::empty_body> serializer(res);
    boost::system::error_code ec;
    http::write_header(stream, serializer, ec);
    if (ec) return false;
    if (head) return true;
    bool truncate = faulty && fault.truncateBody;
    std::size_t n = truncate ? reply.body.size() / 2 : reply.body.size();
    net::write(stream, net::buffer(reply.body.data(), n), ec);
    return !ec && !truncate;
  }

  TestNoteService* owner_;
  net::io_context io_;
  ssl::context tls_;
  tcp::acceptor acceptor_{io_};
  std::uint16_t port_ = 0;
  std::thread acceptThread_;
  std::mutex mu_;
  std::set<int> open_;                // guarded by mu_
  int accepted_ = 0;                  // guarded by mu_
  std::vector<std::thread> threads_;  // guarded by mu_
  bool stopped_ = false;              // guarded by mu_
};

TestNoteService::TestNoteService(std::string host) : host_(std::move(host)) {
  route("", "/test/echo", [](const RecordedRequest& r) {
    std::string headers = "{";
    for (const auto& [k, v] : r.headers) {
      if (headers.size() > 1) headers += ",";
      headers += jsonString(k) + ":" + jsonString(v);
    }
    headers += "}";
    return Reply::json(200, "{\"method\":" + jsonString(r.method) +
                                ",\"path\":" + jsonString(r.path) +
                                ",\"query\":" + jsonString(r.query) + ",\"headers\":" + headers +
                                ",\"body\":" + jsonString(r.body) + "}");
  });
  route("", "/test/bytes", [](const RecordedRequest& r) {
    std::string size = queryValue(r.query, "size");
    std::size_t n = size.empty() ? 1024 : std::stoull(size);
    Reply reply;
    reply.headers.emplace_back("Content-Type", "application/octet-stream");
    // The pattern is made once per size: benchmarks fetch large bodies often.
    static std::mutex mu;
    static std::map<std::size_t, std::string> made;
    std::lock_guard<std::mutex> lock(mu);
    std::string& body = made[n];
    if (body.size() != n) {
      body.resize(n);
      for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<char>('a' + i % 26);
    }
    reply.body = body;
    return reply;
  });
  route("", "/test/status", [](const RecordedRequest& r) {
    std::string code = queryValue(r.query, "code");
    int status = code.empty() ? 200 : std::stoi(code);
    return Reply::json(status, "{\"code\":" + std::to_string(status) + "}");
  });
}

TestNoteService::~TestNoteService() { stop(); }

bool TestNoteService::start(kx::Error* error) {
  startTime_ = monotonicSeconds();
  server_ = std::make_unique<Server>(this);
  if (!server_->start(error)) {
    server_.reset();
    return false;
  }
  port_ = server_->port();
  return true;
}

void TestNoteService::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (server_) server_->stop();
  server_.reset();
}

void TestNoteService::attach(kx::HTTPTransport& transport) const {
  transport.setConnectTo({host_ + "::127.0.0.1:" + std::to_string(port_)});
  transport.setTrustedCertificates(authorityPEM());
}

const std::string& TestNoteService::authorityPEM() {
  static const std::string empty;
  Authority& a = authority();
  return a.ca ? a.ca->certificatePEM() : empty;
}

void TestNoteService::route(const std::string& method, const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  routes_[path][method] = std::move(handler);
}

void TestNoteService::setFault(const std::string& path, Fault fault) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_[path] = std::move(fault);
}

void TestNoteService::clearFault(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  faults_.erase(path);
}

void TestNoteService::releaseHeld() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++releases_;
  }
  changed_.notify_all();
}

bool TestNoteService::findFault(const std::string& path, Fault* fault) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = faults_.find(path);
  if (it == faults_.end()) return false;
  *fault = it->second;
  return true;
}

bool TestNoteService::wait(const Fault& fault, std::uint64_t releasesSeen) {
  std::unique_lock<std::mutex> lock(mu_);
  if (fault.hold) {
    changed_.wait(lock, [&] { return stopping_ || releases_ != releasesSeen; });
  }
  if (fault.delaySeconds > 0) {
    changed_.wait_for(lock, std::chrono::duration<double>(fault.delaySeconds),
                      [&] { return stopping_; });
  }
  return !stopping_;
}

Reply TestNoteService::answer(const RecordedRequest& request, const Fault* fault) {
  if (fault && fault->malformedJSON) return Reply::json(200, "{\"result\": [1, 2,");
  if (fault && fault->status != 0) {
    return Reply::json(fault->status, fault->jsonBody.empty()
                                          ? "{\"error\":" + std::to_string(fault->status) + "}"
                                          : fault->jsonBody);
  }
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = routes_.find(request.path);
    if (it != routes_.end()) {
      auto m = it->second.find(request.method);
      if (m == it->second.end()) m = it->second.find("");
      if (m != it->second.end()) handler = m->second;
    }
  }
  if (!handler) return Reply::json(404, "{\"error\":\"no such path\"}");
  try {
    return handler(request);
  } catch (const std::exception& e) {
    return Reply::json(500, "{\"error\":" + jsonString(e.what()) + "}");
  }
}

std::vector<RecordedRequest> TestNoteService::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<RecordedRequest> TestNoteService::requests(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<RecordedRequest> out;
  for (const auto& r : requests_) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

void TestNoteService::clearRequests() {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.clear();
}

int TestNoteService::connectionsAccepted() const { return server_ ? server_->accepted() : 0; }

int TestNoteService::inFlight() const {
  std::lock_guard<std::mutex> lock(mu_);
  return inFlight_;
}

bool TestNoteService::waitForRequests(const std::string& path, std::size_t count,
                                      double timeoutSeconds) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
    std::size_t n = 0;
    for (const auto& r : requests_) {
      if (path.empty() || r.path == path) ++n;
    }
    return n >= count;
  });
}

bool TestNoteService::waitForInFlight(int count, double timeoutSeconds) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                           [&] { return inFlight_ >= count; });
}

}  // namespace kxtest
