// kxtest::TestNoteService is a stand-in for the note service that tests start
// on 127.0.0.1: HTTPS (Boost.Beast over OpenSSL) with a certificate issued
// for the service's host by a certificate authority made once per test run.
// A client reaches it by mapping the service host to its port and trusting
// that authority (attach()), never by changing the URLs it sends.
//
// It records every request (method, path, query, headers, body, time), counts
// the requests in flight, answers from routes that tests and later service
// pieces register, and injects faults per path: a status with a JSON error
// body, a delay, a hold until the test releases it, a dropped connection, a
// truncated body, malformed JSON. A small in-memory model of the service's
// data (user, entries, resources, tags, version) is there for the routes to
// share; each piece of the client adds the endpoints it needs.
//
// Unrouted paths answer 404 with a JSON error body. Built-in routes:
//   "/test/echo"       200, JSON: {"method", "path", "query", "headers", "body"}
//   "/test/bytes"      200, "size" bytes (query "size", default 1024) of a
//                      repeating pattern, application/octet-stream
//   "/test/status"     the status of the query's "code" with a JSON body
//                      {"code": code}
//
// Threads: one accepting thread and one thread per connection (a test
// fixture, not the product). Thread safety: every member may be called from
// any thread; routes and faults may change while requests run.
#ifndef ZN_TESTS_SUPPORT_TESTNOTESERVICE_H_
#define ZN_TESTS_SUPPORT_TESTNOTESERVICE_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/HTTPTransport.h"
#include "platform/Value.h"

namespace kxtest {

struct RecordedRequest {
  std::string method;
  std::string target;  // as sent: path and query
  std::string path;
  std::string query;  // without "?"
  kx::HTTPHeaders headers;
  std::string body;
  double time = 0;  // seconds on a monotonic clock since the service started
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
};

struct Reply {
  int status = 200;
  kx::HTTPHeaders headers;  // Content-Length is added
  std::string body;
  static Reply json(int status, const std::string& body);
};

struct Fault {
  int status = 0;               // when not 0: answer this status...
  std::string jsonBody;         // ...with this JSON body (default {"error": status})
  double delaySeconds = 0;      // wait before answering
  bool hold = false;            // wait until releaseHeld() or stop()
  bool dropConnection = false;  // close without answering
  bool truncateBody = false;    // announce the full length, send half, close
  bool malformedJSON = false;   // 200 with a JSON body cut short

  static Fault withStatus(int status, std::string jsonBody = {});
  static Fault delayed(double seconds);
  static Fault held();
  static Fault dropped();
  static Fault truncated();
  static Fault malformed();
};

// The service's data, as far as the routes need it.
struct ServiceModel {
  std::mutex mu;
  kx::Value user;                              // guarded by mu
  std::map<std::string, kx::Value> entries;    // guarded by mu; by entry id
  std::map<std::string, kx::Value> resources;  // guarded by mu; by resource id
  std::map<std::string, kx::Value> tags;       // guarded by mu; by tag id
  std::int64_t version = 0;                    // guarded by mu
};

class TestNoteService {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  // `host` is the name the certificate is issued for and the client maps.
  explicit TestNoteService(std::string host = "note.zarvel.com");
  ~TestNoteService();
  TestNoteService(const TestNoteService&) = delete;
  TestNoteService& operator=(const TestNoteService&) = delete;

  // Listens on 127.0.0.1 on a free port.
  bool start(kx::Error* error);
  // Closes every connection and waits for the service's threads.
  void stop();

  std::uint16_t port() const { return port_; }
  const std::string& host() const { return host_; }
  // "https://<host>"
  std::string baseURL() const { return "https://" + host_; }
  // Maps the host (any port) to this service and trusts the test authority.
  void attach(kx::HTTPTransport& transport) const;
  // The certificate authority of this test run, PEM.
  static const std::string& authorityPEM();

  // Routes: method "" matches every method. A later route for the same
  // method and path replaces the earlier.
  void route(const std::string& method, const std::string& path, Handler handler);
  void setFault(const std::string& path, Fault fault);
  void clearFault(const std::string& path);
  // Lets every held request answer (and later ones pass while `open`).
  void releaseHeld();

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(const std::string& path) const;
  void clearRequests();
  int inFlight() const;
  // Connections accepted since the service started.
  int connectionsAccepted() const;
  // Wait until `count` requests for `path` ("" any path) have arrived, or
  // until `count` requests are in flight; false when the time ran out.
  bool waitForRequests(const std::string& path, std::size_t count,
                       double timeoutSeconds = 10) const;
  bool waitForInFlight(int count, double timeoutSeconds = 10) const;

  ServiceModel& model() { return model_; }

 private:
  class Server;
  friend class Server;

  Reply answer(const RecordedRequest& request, const Fault* fault);
  bool findFault(const std::string& path, Fault* fault) const;
  // Waits for a hold (a release after the releasesSeen-th) or a delay;
  // false when the service stops meanwhile.
  bool wait(const Fault& fault, std::uint64_t releasesSeen);

  const std::string host_;
  std::uint16_t port_ = 0;
  double startTime_ = 0;
  std::unique_ptr<Server> server_;
  ServiceModel model_;

  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  std::map<std::string, std::map<std::string, Handler>> routes_;  // guarded by mu_; path → method
  std::map<std::string, Fault> faults_;                           // guarded by mu_
  std::vector<RecordedRequest> requests_;                         // guarded by mu_
  int inFlight_ = 0;                                              // guarded by mu_
  std::uint64_t releases_ = 0;                                    // guarded by mu_
  bool stopping_ = false;                                         // guarded by mu_
};

// Service-side helpers for checking bodies.
struct MultipartPart {
  kx::HTTPHeaders headers;
  std::string name;
  std::string filename;
  std::string contentType;
  std::string data;
};
// Splits a multipart/form-data body by the boundary of `contentType`;
// false when the body does not follow the format.
bool parseMultipart(const std::string& contentType, const std::string& body,
                    std::vector<MultipartPart>* parts);
// Splits "a=1&b=2" into pairs, in order, values as sent (not unescaped).
std::vector<std::pair<std::string, std::string>> splitQuery(const std::string& query);
// The value of the first `key` in a query or form text, as sent; "" when
// missing.
std::string queryValue(const std::string& query, const std::string& key);
// The same, decoded ("%41" and "+"); "" when missing.
std::string formValue(const std::string& text, const std::string& key);

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTNOTESERVICE_H_
