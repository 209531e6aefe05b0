// kx::HTTPTransport is the process's one HTTP client, over libcurl. Every
// request the program sends to the note service goes through it: the HTTP
// operations of the account and sync layers and the forwarder of the web
// interface's requests.
//
// How it works:
//  - A few loops (one for every two hardware threads, at most four), each one
//    libcurl multi handle driven by one thread of its own (a transport
//    thread); no multi handle is ever driven by another thread. A request is
//    an easy handle added to the multi handle of the loop that runs the
//    fewest requests (the first of equals, so requests sent one at a time
//    keep to one loop); there is no thread per request. Each multi handle
//    keeps its own connection pool, so parallel requests are sent, encrypted
//    and read on several threads at once.
//    The easy handles of ended requests are reset and kept for the loop's
//    next requests.
//  - One process-wide cookie jar, shared by every request through libcurl's
//    share interface (with the DNS cache; TLS sessions are kept by each easy
//    handle, never used by two threads). Requests store the
//    answers' Set-Cookie headers in it and send its cookies; cookies() lists
//    it, setCookie() and deleteCookie() change one cookie, clearCookies()
//    empties it, and a handler hears of every change (to keep the jar in a
//    file).
//  - Redirects are not followed unless a request asks for it.
//  - Request bodies come from memory, from a file (from an offset) or from a
//    reader called chunk by chunk; answer bodies are collected in memory,
//    written to a file, or handed on chunk by chunk (see HTTPRequest).
//  - The completion of an asynchronous request is queued on an executor (the
//    request's completionQueue, by default the default global queue), never
//    run on a transport thread, so a completion may itself make
//    synchronous requests. perform() waits on the transport's result
//    directly, not on any executor.
//  - Tests map the service host to a local port (setConnectTo, libcurl's
//    CONNECT_TO: the URL, Host header and TLS name stay the service's) and
//    trust their own certificate authority (setTrustedCertificates).
//
// Failures are reported as kx::Error in kURLErrorDomain with the platform's
// URL error codes (kHTTPTransportCancelled, kHTTPTransportTimedOut, ...) and the
// libcurl code and message in the user info ("curlCode", NSLocalizedDescription).
// An answer with any status, 4xx and 5xx included, is a success at this level.
//
// Thread safety: every member may be called from any thread. The shared
// transport is created once, under a once-only guard, and never freed; when
// the process exits, what it still runs is cancelled and its threads ended.
// Callbacks of HTTPRequest that run on a transport thread (bodyReader, and
// onHead/onData when no streamQueue is given) must return quickly and must not
// wait for the transport (no perform(), no waiting on another request).
#ifndef ZN_PLATFORM_HTTPTRANSPORT_H_
#define ZN_PLATFORM_HTTPTRANSPORT_H_

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Queue.h"
#include "platform/Value.h"

namespace kx {

// URL error codes the transport reports (the platform's values).
inline constexpr std::int64_t kHTTPTransportUnknown = -1;  // anything else
inline constexpr std::int64_t kHTTPTransportCancelled = -999;
inline constexpr std::int64_t kHTTPTransportBadURL = -1000;
inline constexpr std::int64_t kHTTPTransportTimedOut = -1001;
inline constexpr std::int64_t kHTTPTransportCannotFindHost = -1003;
inline constexpr std::int64_t kHTTPTransportCannotConnect = -1004;
inline constexpr std::int64_t kHTTPTransportConnectionLost = -1005;
inline constexpr std::int64_t kHTTPTransportBadServerResponse = -1011;
inline constexpr std::int64_t kHTTPTransportCannotOpenFile = -3000;  // body or download file
inline constexpr std::int64_t kHTTPTransportCannotWriteFile = -3003;
inline constexpr std::int64_t kHTTPTransportSecureConnectionFailed = -1200;

using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

// The status line and header fields of one answer.
struct HTTPResponseHead {
  long status = 0;
  // Header fields as received, in order, repeated names kept (Set-Cookie).
  HTTPHeaders headers;
  // The first value of a header, compared case-insensitively; "" when absent.
  std::string header(std::string_view name) const;
};

struct HTTPResponse : HTTPResponseHead {
  // The collected body (empty when the body was streamed or downloaded).
  Bytes body;
  // The URL the answer came from (differs from the request's only when
  // redirects were followed).
  std::string url;
};

struct HTTPRequest {
  // Any method; "GET" and "HEAD" send no body.
  std::string method = "GET";
  // Absolute http or https URL, sent as it is.
  std::string url;
  // Sent in order. A field with an empty value is sent empty ("Name:"), not
  // dropped. A field named here replaces the one libcurl would add
  // (Content-Type, Content-Length, Accept, ...). No User-Agent is sent unless
  // given here.
  HTTPHeaders headers;

  // The body: `body`, else the file `bodyFile` from byte `bodyFileOffset` to
  // its end, else the bytes bodyReader() copies into the buffer it is given
  // (it returns how many; 0 ends the body). A file that cannot be opened
  // fails the request with kHTTPTransportCannotOpenFile before anything is sent.
  Bytes body;
  std::string bodyFile;
  std::int64_t bodyFileOffset = 0;
  std::function<std::size_t(char* buffer, std::size_t capacity)> bodyReader;
  // Known length of a bodyReader body; -1 sends it chunked.
  std::int64_t bodyReaderLength = -1;

  // Where the answer's body goes: by default collected in HTTPResponse::body.
  // With downloadFile, written to that file (created or truncated; it holds
  // the body of the last answer, whatever its status).
  std::string downloadFile;
  // With onData, handed on chunk by chunk: onHead gets the answer's head once
  // it is complete (before the first chunk), onData each chunk; returning
  // false from either aborts the request (it completes with
  // kHTTPTransportCancelled). They run in order on streamQueue when one is
  // given (a serial queue that must outlive the request), else on the
  // transport thread. The completion is queued after the last of them.
  std::function<bool(const HTTPResponseHead& head)> onHead;
  std::function<bool(const char* data, std::size_t size)> onData;
  Queue* streamQueue = nullptr;

  // When set, a connection is opened only to an address this allows; it is
  // asked with the very address libcurl is about to connect to (after
  // resolution and any test mapping), so a name that resolves differently
  // from one look to the next gains nothing. A refused address fails the
  // request with kHTTPTransportCannotConnect. Such a request ignores proxy
  // settings of the environment and never shares a pooled connection. Runs
  // on the transport thread.
  std::function<bool(const ::sockaddr* address, socklen_t length)> allowAddress;

  // Whole-request time limit in seconds; 0 or negative: none.
  double timeoutSeconds = 0;
  bool followRedirects = false;
  // Send the jar's cookies and store Set-Cookie answers in it.
  bool useCookieJar = true;
  // Where the completion runs; nullptr: the default global queue.
  Queue* completionQueue = nullptr;
};

class HTTPTransport {
 public:
  // Gets the answer's head and body, or the failure (then `response` holds
  // whatever had arrived: a status of 0 when no head came).
  using Completion = std::function<void(HTTPResponse response, const Error& error)>;
  // 0 is never handed out.
  using RequestID = std::uint64_t;

  struct Cookie {
    std::string domain;
    bool includeSubdomains = false;
    std::string path;
    bool secure = false;
    bool httpOnly = false;
    std::int64_t expires = 0;  // seconds since 1970; 0: session cookie
    std::string name;
    std::string value;
  };

  // The process's transport, created on first use (once-only guard) and never
  // freed.
  static HTTPTransport& shared();

  // A transport of its own (tests, benchmarks): own thread, pool and jar.
  HTTPTransport();
  // Cancels what is still running (their completions are queued with
  // kHTTPTransportCancelled) and stops the thread.
  ~HTTPTransport();
  HTTPTransport(const HTTPTransport&) = delete;
  HTTPTransport& operator=(const HTTPTransport&) = delete;

  // Starts the request and returns at once. The completion is queued exactly
  // once, unless the completion is empty.
  RequestID start(HTTPRequest request, Completion completion);
  // Stops a running request; its completion is then queued with
  // kHTTPTransportCancelled. Unknown or finished requests are ignored.
  void cancel(RequestID id);
  // Sends the request and waits for its end; completionQueue is ignored.
  // Returns the answer; fills *error on failure. Must not be called on the
  // transport thread.
  HTTPResponse perform(HTTPRequest request, Error* error);

  // The jar's cookies (expired ones left out), and emptying it.
  std::vector<Cookie> cookies() const;
  void clearCookies();
  // Adds a cookie, replacing the one of the same domain, path and name;
  // false when a field holds a tab, a line break or a NUL, or the domain is
  // empty, ".", or starts with "#" after a leading "." (it would not
  // survive the jar's line format).
  bool setCookie(const Cookie& cookie);
  // Removes the cookie of the same domain, path and name, if any.
  void deleteCookie(const Cookie& cookie);
  // Called after the jar may have changed: an answer that carried
  // Set-Cookie (on a transport thread, before the request's completion is
  // queued), setCookie, deleteCookie, clearCookies (on the caller's thread).
  // It must return quickly and must not call the transport; an empty
  // function removes it.
  void setCookiesChangedHandler(std::function<void()> handler);

  // The jar's line format of one cookie (libcurl's "Netscape" line:
  // domain, subdomains, path, secure, expiry, name, value, tab-separated,
  // "#HttpOnly_" before the domain of an HTTP-only cookie), and back.
  static std::string cookieLine(const Cookie& cookie);
  static bool parseCookieLine(std::string_view line, Cookie* cookie);

  // Test hooks. setConnectTo takes libcurl CONNECT_TO entries
  // ("host:443:127.0.0.1:port") applied to every later request; an empty list
  // removes the mapping. setTrustedCertificates replaces the trusted
  // authorities of later requests by the given PEM certificates; "" restores
  // the system's.
  void setConnectTo(std::vector<std::string> entries);
  void setTrustedCertificates(std::string pem);

  // Requests started and not yet completed.
  std::size_t activeRequests() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_HTTPTRANSPORT_H_
