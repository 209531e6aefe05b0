// KXLoopbackFront carries the web view's traffic into the URL protocol
// (RNCachingURLProtocol). It is an HTTP proxy on 127.0.0.1, on a port the
// system picks, that the web view uses for http and https:
//
//  - a request in absolute form ("GET http://host/path HTTP/1.1") is loaded
//    through the protocol as it is, without its Proxy-Authorization;
//  - CONNECT to an intercepted host on port 443 is answered by ending TLS
//    here, with a leaf certificate for that host issued by the front's own
//    authority (made at each launch, kept in memory, sent in the chain); one
//    leaf per host for the life of the front. The requests inside the tunnel
//    are loaded through the protocol with their https URL;
//  - CONNECT to any other host is tunnelled byte for byte, unread; refused
//    (403) when the host is or resolves to a loopback, private, link-local,
//    multicast or unspecified address, when the port is the front's own, and
//    when an intercepted host is asked for on another port than 443.
//
// Intercepted hosts: the service host, the two analytics hosts, the image
// hosts of the search engine the protocol names, and Options::extraHosts.
//
// Security: a peer other than 127.0.0.1 is disconnected before anything is
// read. Every request on the proxy connection, CONNECT included, must carry
// the launch's secret as "Proxy-Authorization: Basic base64(user:secret)";
// without it the answer is 407 with "Proxy-Authenticate" and the connection
// stays open for the retry. A request in origin form ("GET /path"), which is
// what a page of another browser or a rebound DNS name would send to the
// port, is answered 400 and the connection closed; so are other forms. The
// secret leaves the process only through writeCredentials (a new file made
// with mode 0600), never on a command line.
//
// Answers: the head as soon as the protocol gives it, the body in chunks as
// it arrives; "not allowed" cache storage becomes "Cache-Control: no-store";
// a redirect is answered with its redirect response; a failed load closes
// the connection without an answer (or cuts the body short). A request the
// protocol does not take is answered 403. A client that disconnects stops
// its load.
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

#include <cstdint>
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
    // The largest request body taken, in bytes.
    std::uint64_t maxBodySize = 512ull * 1024 * 1024;
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
  // The one leaf certificate (PEM) the front presents for `host`, issued on
  // first use; "" with *error filled when `host` is not intercepted or
  // OpenSSL fails. The web view is told to trust exactly these.
  std::string leafCertificatePEM(const std::string& host, kx::Error* error);
  bool intercepts(const std::string& host) const;

  // Writes {"port", "username", "password", "authority"} as JSON into a new
  // file at `path`, made with mode 0600; fails when the file exists.
  bool writeCredentials(const std::string& path, kx::Error* error) const;

  // The front's state; defined with its connections.
  class Impl;

 private:
  explicit KXLoopbackFront(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

#endif  // ZN_WEBUI_KXLOOPBACKFRONT_H_
