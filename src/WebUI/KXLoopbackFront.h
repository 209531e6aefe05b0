// KXLoopbackFront carries the web view's traffic into the URL protocol
// (RNCachingURLProtocol). It is an HTTP proxy on 127.0.0.1, on a port the
// system picks, that the web view uses for http and https:
//
//  - a request in absolute form ("GET http://host/path HTTP/1.1") for an
//    intercepted host is loaded through the protocol, without its
//    Proxy-Authorization; one for any other host is answered 403;
//  - CONNECT to an intercepted host on port 443 is answered by ending TLS
//    here, with a leaf certificate for that host issued by the front's own
//    authority (made at each launch, kept in memory, sent in the chain). The
//    requests inside the tunnel are loaded through the protocol with their
//    https URL;
//  - CONNECT to any other host is tunnelled byte for byte, unread; refused
//    (403) when the host is or resolves to an address KXAddressPolicy
//    refuses, when the port is the front's own, and when an intercepted host
//    is asked for on another port than 443.
//
// Intercepted hosts, each with its rule: the service host and the two
// analytics hosts (and Options::extraHosts) go to the protocol; any other
// host whose name holds the search engine's name is an outside image host,
// and only what the protocol fetches as an outside image (GET, no body, the
// default port) is handed on; the rest is 403. On "127.0.0.1" (plain http)
// only the interface's own files are answered.
//
// Leaves: minted on a queue of their own, never on the I/O thread. Before a
// CONNECT to a name without a leaf is answered, Options::allowLeaf (when
// set) is asked whether the web view may trust the new leaf for that host;
// a leaf so allowed stays for the life of the front, since another leaf for
// the host would be one the view never allowed. Other leaves (no hook, or
// leafCertificatePEM) are kept for the maxLeaves names used last.
//
// Security: a peer other than 127.0.0.1 is disconnected before anything is
// read. Every request on the proxy connection, CONNECT included, must carry
// the launch's secret as "Proxy-Authorization: Basic base64(user:secret)"
// (the scheme in any case; a second Proxy-Authorization field is answered
// 400); without it the answer is 407 with "Proxy-Authenticate" and, when the
// request has no body, the connection stays open for the retry. The secret
// and the target are checked on the header, before any byte of a body is
// read. A request in origin form ("GET /path"), which is what a page of
// another browser or a rebound DNS name would send to the port, is answered
// 400 and the connection closed; so are other forms and requests that do not
// parse. The secret leaves the process only through writeCredentials (a new
// file made with mode 0600), never on a command line.
//
// Bodies (see KXRequestBody): a body of at most
// KXRequestBody::kInlineBodyLimit bytes with a known length is read whole
// before the load starts (HTTPBody, and a stream over the same bytes); a
// larger or chunked body of a request a local handler takes reaches it as
// HTTPBodyStream (KXFrontBodyStream), fed as it arrives with at most
// bodyStreamCapacity bytes held (the socket is not read while the handler
// lags), and at most maxBodySize bytes in all; a body the protocol forwards
// is held whole, at most maxBufferedBodySize bytes. A larger body is answered
// 413. A load whose answer ends before its body was read whole closes the
// connection.
//
// Limits: a header must be complete within headerTimeout of its first byte;
// a connection with no request (or a body that stops arriving) closes after
// idleTimeout; a TLS handshake inside a tunnel must end within
// handshakeTimeout. Loads themselves have no limit here (held answers wait
// as long as their handler wants). At most maxUnauthenticated connections
// that have not shown the secret are open (the oldest closes for a new one);
// at most maxConnections in all (a new one beyond is closed at once). Loads
// of the push server's long poll ("/pushserver3/..." on the service host),
// which its handler holds open on purpose, are counted apart, at most
// maxHeldPolls (the oldest closes). A failed accept (no descriptors left)
// waits before the next, from 10 ms doubling to 1 s.
//
// Answers: the head as soon as the protocol gives it, the body in chunks as
// it arrives; "not allowed" cache storage becomes "Cache-Control: no-store";
// a redirect is answered with its redirect response; a failed load closes
// the connection without an answer (or cuts the body short). A request the
// protocol does not take is answered 403. A client that disconnects stops
// its load. Pipelined requests are answered in order.
//
// Threads: one thread of the front's own runs every connection on one
// io_context; a load that waits (a held answer, a long poll) holds no thread.
// Loads start on the default global queue, because the protocol may check
// reachability synchronously.
//
// Thread safety: every public method may be called from any thread. The
// destructor closes the listener and every connection, stops their loads
// and joins the front's thread.
#ifndef ZN_WEBUI_KXLOOPBACKFRONT_H_
#define ZN_WEBUI_KXLOOPBACKFRONT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"

class KXLoopbackFront {
 public:
  struct Options {
    // Hosts intercepted besides the default ones, lower case.
    std::vector<std::string> extraHosts;
    // Tests only: "host:port:address:port" entries that send tunnels for
    // host:port to address:port without resolving or checking the name.
    std::vector<std::string> connectTo;
    // The user name the web view answers with, beside the secret.
    std::string username = "zarvelnote";
    // The largest request body taken, in bytes (streamed to a handler).
    std::uint64_t maxBodySize = 512ull * 1024 * 1024;
    // The largest body held whole in memory (a forwarded request's).
    std::uint64_t maxBufferedBodySize = 32ull * 1024 * 1024;
    // Bytes of a streamed body held between the socket and its reader.
    std::size_t bodyStreamCapacity = 256 * 1024;
    // Time limits, in seconds.
    double headerTimeout = 15;
    double idleTimeout = 120;
    double handshakeTimeout = 15;
    // Connection caps.
    std::size_t maxConnections = 512;
    std::size_t maxUnauthenticated = 64;
    std::size_t maxHeldPolls = 16;
    // Leaves kept for names that no web view was allowed to trust.
    std::size_t maxLeaves = 64;
    // Asked, on the front's thread, before a CONNECT to `host` is answered
    // with a new leaf: call `done` (from any thread, once) with whether the
    // web view may trust `leafPEM` for `host`. Unset: allowed, and the leaf
    // is kept as the other unallowed ones are.
    std::function<void(const std::string& host, const std::string& leafPEM,
                       std::function<void(bool allowed)> done)>
        allowLeaf;
  };

  // What the front holds at one moment (tests, diagnostics).
  struct Counts {
    std::size_t connections = 0;      // open, held polls included
    std::size_t unauthenticated = 0;  // open without the secret shown yet
    std::size_t heldPolls = 0;
    std::size_t leaves = 0;         // leaves kept, allowed ones included
    std::size_t failedAccepts = 0;  // since the start
  };

  // Makes the authority and the secret and listens on 127.0.0.1. Returns
  // nullptr with *error filled when that fails.
  static std::unique_ptr<KXLoopbackFront> start(Options options, kx::Error* error);

  ~KXLoopbackFront();
  KXLoopbackFront(const KXLoopbackFront&) = delete;
  KXLoopbackFront& operator=(const KXLoopbackFront&) = delete;

  std::uint16_t port() const;
  const std::string& username() const;
  const std::string& secret() const;
  // The header value every proxy request must carry: "Basic " and the
  // Base64 of "username:secret".
  std::string proxyAuthorization() const;
  // The launch's authority certificate, PEM.
  const std::string& authorityCertificatePEM() const;
  // The leaf certificate (PEM) the front presents for `host` now, issued
  // when there is none (on the caller's thread); "" with *error filled when
  // `host` is not intercepted or OpenSSL fails.
  std::string leafCertificatePEM(const std::string& host, kx::Error* error);
  bool intercepts(const std::string& host) const;
  Counts counts() const;

  // Writes {"port", "username", "password", "authority"} as JSON into a new
  // file at `path`, made with mode 0600; fails when the file exists.
  [[nodiscard]] bool writeCredentials(const std::string& path, kx::Error* error) const;

  // The front's state; defined with its connections.
  class Impl;

 private:
  explicit KXLoopbackFront(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

#endif  // ZN_WEBUI_KXLOOPBACKFRONT_H_
