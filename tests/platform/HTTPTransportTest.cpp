#include "platform/HTTPTransport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "platform/GlobalQueue.h"
#include "platform/Semaphore.h"
#include "platform/SerialQueue.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"

namespace {

using kx::HTTPRequest;
using kx::HTTPResponse;
using kx::HTTPTransport;
using kxtest::Fault;
using kxtest::Reply;

struct Outcome {
  HTTPResponse response;
  kx::Error error;
  bool onGlobalQueue = false;
  std::thread::id thread;
};

class HTTPTransportTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start(nullptr));
    service_.attach(transport_);
  }

  // "/moved" answers 302 to "/test/echo?from=moved".
  void routeMoved() {
    service_.route("GET", "/moved", [](const kxtest::RecordedRequest&) {
      Reply r;
      r.status = 302;
      r.headers.emplace_back("Location", "/test/echo?from=moved");
      return r;
    });
  }
  std::string url(const std::string& pathAndQuery) const {
    return service_.baseURL() + pathAndQuery;
  }

  // Starts the request and waits (with a limit) for its completion.
  Outcome run(HTTPRequest request) {
    auto done = std::make_shared<std::promise<Outcome>>();
    auto result = done->get_future();
    transport_.start(std::move(request), [done](HTTPResponse response, const kx::Error& error) {
      Outcome o{std::move(response), error, kx::GlobalQueue::get().isCurrent(),
                std::this_thread::get_id()};
      done->set_value(std::move(o));
    });
    EXPECT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return result.get();
  }

  static std::string text(const kx::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
  }

  kxtest::TestNoteService service_;
  HTTPTransport transport_;
};

TEST_F(HTTPTransportTest, SendsMethodHeadersAndBodyAsGivenAndCompletesOnTheGlobalQueue) {
  HTTPRequest request;
  request.method = "POST";
  request.url = url("/test/echo?a=1&b=%20x");
  request.headers = {{"X-One", "1"}, {"KX-Empty", ""}};
  std::string body = "k=v&x=%26";
  request.body.assign(body.begin(), body.end());
  Outcome o = run(request);
  ASSERT_FALSE(o.error) << o.error.localizedDescription();
  EXPECT_EQ(o.response.status, 200);
  EXPECT_TRUE(o.onGlobalQueue);
  EXPECT_EQ(o.response.header("content-type"), "application/json");

  auto seen = service_.requests("/test/echo");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].query, "a=1&b=%20x");
  EXPECT_EQ(seen[0].body, body);
  EXPECT_EQ(seen[0].header("Host"), service_.host());
  EXPECT_EQ(seen[0].header("X-One"), "1");
  EXPECT_TRUE(seen[0].hasHeader("KX-Empty"));
  EXPECT_EQ(seen[0].header("KX-Empty"), "");
  // Nothing the caller did not ask for.
  EXPECT_FALSE(seen[0].hasHeader("Content-Type"));
  EXPECT_FALSE(seen[0].hasHeader("Expect"));
  EXPECT_FALSE(seen[0].hasHeader("User-Agent"));
}

TEST_F(HTTPTransportTest, PostWithoutBodySendsEmptyBodyAndGetSendsNone) {
  for (const char* method : {"POST", "GET"}) {
    service_.clearRequests();
    HTTPRequest request;
    request.method = method;
    request.url = url("/test/echo");
    Outcome o = run(request);
    ASSERT_FALSE(o.error);
    auto seen = service_.requests("/test/echo");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, method);
    EXPECT_EQ(seen[0].body, "");
    EXPECT_FALSE(seen[0].hasHeader("Content-Type")) << method;
  }
}

TEST_F(HTTPTransportTest, BodyFromFileFromOffsetAndMissingFileFailsBeforeSending) {
  kxtest::TempAppRoot root;
  auto path = std::filesystem::path(root.path()) / "body.bin";
  std::ofstream(path, std::ios::binary) << "0123456789";
  struct Case {
    std::int64_t offset;
    std::string expected;
  } cases[] = {{0, "0123456789"}, {4, "456789"}, {-3, "0123456789"}, {10, ""}, {99, ""}};
  for (const auto& c : cases) {
    service_.clearRequests();
    HTTPRequest request;
    request.method = "POST";
    request.url = url("/test/echo");
    request.bodyFile = path.string();
    request.bodyFileOffset = c.offset;
    Outcome o = run(request);
    ASSERT_FALSE(o.error) << c.offset;
    auto seen = service_.requests("/test/echo");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, c.expected) << c.offset;
    EXPECT_EQ(seen[0].header("Content-Length"), std::to_string(c.expected.size())) << c.offset;
  }

  service_.clearRequests();
  HTTPRequest missing;
  missing.method = "POST";
  missing.url = url("/test/echo");
  missing.bodyFile = (std::filesystem::path(root.path()) / "absent.bin").string();
  Outcome o = run(missing);
  EXPECT_EQ(o.error.domain(), kx::kURLErrorDomain);
  EXPECT_EQ(o.error.code(), kx::kHTTPTransportCannotOpenFile);
  EXPECT_TRUE(o.onGlobalQueue);
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(HTTPTransportTest, BodyFromReaderChunked) {
  auto chunks =
      std::make_shared<std::vector<std::string>>(std::vector<std::string>{"ab", "cde", "f"});
  auto next = std::make_shared<std::size_t>(0);
  HTTPRequest request;
  request.method = "PUT";
  request.url = url("/test/echo");
  request.bodyReader = [chunks, next](char* buffer, std::size_t capacity) -> std::size_t {
    if (*next == chunks->size()) return 0;
    const std::string& c = (*chunks)[(*next)++];
    std::memcpy(buffer, c.data(), c.size());
    return c.size();
  };
  Outcome o = run(request);
  ASSERT_FALSE(o.error);
  auto seen = service_.requests("/test/echo");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "PUT");
  EXPECT_EQ(seen[0].body, "abcdef");
}

TEST_F(HTTPTransportTest, DownloadsToFileAndStreamsInOrderOnTheStreamQueue) {
  kxtest::TempAppRoot root;
  auto path = std::filesystem::path(root.path()) / "down.bin";
  HTTPRequest download;
  download.url = url("/test/bytes?size=300000");
  download.downloadFile = path.string();
  Outcome o = run(download);
  ASSERT_FALSE(o.error);
  EXPECT_TRUE(o.response.body.empty());
  EXPECT_EQ(std::filesystem::file_size(path), 300000u);

  kx::SerialQueue streamQueue("test.stream");
  std::string streamed;
  int heads = 0;
  bool headBeforeData = true;
  bool completionAfterData = false;
  HTTPRequest stream;
  stream.url = url("/test/bytes?size=300000");
  stream.streamQueue = &streamQueue;
  stream.onHead = [&](const kx::HTTPResponseHead& head) {
    ++heads;
    headBeforeData = streamed.empty() && head.status == 200;
    return true;
  };
  stream.onData = [&](const char* data, std::size_t size) {
    EXPECT_TRUE(streamQueue.isCurrent());
    streamed.append(data, size);
    return true;
  };
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  transport_.start(stream, [&, done](HTTPResponse response, const kx::Error& error) {
    EXPECT_FALSE(error);
    completionAfterData = streamed.size() == 300000;
    EXPECT_TRUE(response.body.empty());
    done->set_value();
  });
  ASSERT_EQ(finished.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(heads, 1);
  EXPECT_TRUE(headBeforeData);
  EXPECT_TRUE(completionAfterData);
  EXPECT_EQ(streamed.substr(0, 28), "abcdefghijklmnopqrstuvwxyzab");
}

TEST_F(HTTPTransportTest, StreamConsumerRefusingStopsTheRequestAsCancelled) {
  HTTPRequest stream;
  stream.url = url("/test/bytes?size=5000000");
  std::size_t seen = 0;
  stream.onData = [&](const char*, std::size_t size) {
    seen += size;
    return false;
  };
  Outcome o = run(stream);
  EXPECT_EQ(o.error.code(), kx::kHTTPTransportCancelled);
  EXPECT_LT(seen, 5000000u);
}

// While a request whose callbacks run on the transport thread is running,
// requests started elsewhere still go out and complete, and that request's
// callbacks all run on one thread, never on a thread that starts a request.
TEST_F(HTTPTransportTest, RequestsStartedBesideAStreamingRequestCompleteAndLeaveItsThreadAlone) {
  service_.setFault("/test/bytes", Fault::held());
  std::mutex mu;
  std::set<std::thread::id> callbackThreads;  // guarded by mu
  HTTPRequest stream;
  stream.url = url("/test/bytes?size=200000");
  stream.onHead = [&](const kx::HTTPResponseHead&) {
    std::lock_guard<std::mutex> lock(mu);
    callbackThreads.insert(std::this_thread::get_id());
    return true;
  };
  stream.onData = [&](const char*, std::size_t) {
    std::lock_guard<std::mutex> lock(mu);
    callbackThreads.insert(std::this_thread::get_id());
    return true;
  };
  std::future<Outcome> streamed = std::async(std::launch::async, [&] { return run(stream); });
  ASSERT_TRUE(service_.waitForInFlight(1));
  for (int i = 0; i < 3; ++i) {
    HTTPRequest plain;
    plain.url = url("/test/echo?beside=" + std::to_string(i));
    Outcome o = run(plain);
    EXPECT_FALSE(o.error) << i;
    EXPECT_EQ(o.response.status, 200) << i;
  }
  service_.releaseHeld();
  Outcome o = streamed.get();
  ASSERT_FALSE(o.error);
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(callbackThreads.size(), 1u);
  EXPECT_NE(*callbackThreads.begin(), std::this_thread::get_id());
}

TEST_F(HTTPTransportTest, RedirectsAreReportedUnlessFollowingIsAsked) {
  routeMoved();
  HTTPRequest request;
  request.url = url("/moved");
  Outcome o = run(request);
  ASSERT_FALSE(o.error);
  EXPECT_EQ(o.response.status, 302);
  EXPECT_EQ(o.response.header("Location"), "/test/echo?from=moved");
  EXPECT_TRUE(service_.requests("/test/echo").empty());

  request.followRedirects = true;
  o = run(request);
  ASSERT_FALSE(o.error);
  EXPECT_EQ(o.response.status, 200);
  EXPECT_EQ(o.response.url, url("/test/echo?from=moved"));
  EXPECT_EQ(service_.requests("/test/echo").size(), 1u);
}

TEST_F(HTTPTransportTest, OneCookieJarStoresSendsListsAndClears) {
  service_.route("GET", "/set", [](const kxtest::RecordedRequest&) {
    Reply r;
    r.headers.emplace_back("Set-Cookie", "QOPAL_SESS=abc; Path=/; Secure; HttpOnly");
    r.headers.emplace_back("Set-Cookie", "QOPAL_PERS=p1; Path=/; Max-Age=3600");
    return r;
  });
  HTTPRequest set;
  set.url = url("/set");
  ASSERT_FALSE(run(set).error);

  auto cookies = transport_.cookies();
  ASSERT_EQ(cookies.size(), 2u);
  std::map<std::string, HTTPTransport::Cookie> byName;
  for (const auto& c : cookies) byName[c.name] = c;
  EXPECT_EQ(byName["QOPAL_SESS"].value, "abc");
  EXPECT_TRUE(byName["QOPAL_SESS"].httpOnly);
  EXPECT_TRUE(byName["QOPAL_SESS"].secure);
  EXPECT_EQ(byName["QOPAL_SESS"].expires, 0);
  EXPECT_EQ(byName["QOPAL_PERS"].value, "p1");
  EXPECT_GT(byName["QOPAL_PERS"].expires, 0);
  EXPECT_EQ(byName["QOPAL_PERS"].domain, service_.host());

  HTTPRequest next;
  next.url = url("/test/echo");
  ASSERT_FALSE(run(next).error);
  std::string sent = service_.requests("/test/echo").back().header("Cookie");
  EXPECT_NE(sent.find("QOPAL_SESS=abc"), std::string::npos);
  EXPECT_NE(sent.find("QOPAL_PERS=p1"), std::string::npos);

  // A request outside the jar neither sends nor stores.
  HTTPRequest outside;
  outside.url = url("/test/echo");
  outside.useCookieJar = false;
  ASSERT_FALSE(run(outside).error);
  EXPECT_FALSE(service_.requests("/test/echo").back().hasHeader("Cookie"));

  transport_.clearCookies();
  EXPECT_TRUE(transport_.cookies().empty());
  ASSERT_FALSE(run(next).error);
  EXPECT_FALSE(service_.requests("/test/echo").back().hasHeader("Cookie"));
}

// Requests sent one after another reuse the easy handle of the one before.
// Each case sends a request shaped one way, then a plain GET on the handle it
// left: the GET must carry nothing of it (method, body, header fields, HEAD's
// empty answer, redirect following).
TEST_F(HTTPTransportTest, ARequestOnAKeptHandleCarriesNothingOfTheRequestBefore) {
  routeMoved();
  HTTPRequest post;
  post.method = "PUT";
  post.url = url("/test/echo");
  post.headers = {{"X-One", "1"}, {"Content-Type", "text/plain"}};
  const std::string body = "k=v";
  post.body.assign(body.begin(), body.end());
  HTTPRequest head;
  head.method = "HEAD";
  head.url = url("/test/echo");
  HTTPRequest follow;
  follow.url = url("/moved");
  follow.followRedirects = true;
  const struct {
    const char* name;
    HTTPRequest first;
  } cases[] = {{"body and fields", post}, {"HEAD", head}, {"redirects followed", follow}};
  for (const auto& c : cases) {
    ASSERT_FALSE(run(c.first).error) << c.name;
    service_.clearRequests();
    HTTPRequest plain;
    plain.url = url("/test/echo");
    Outcome o = run(plain);
    ASSERT_FALSE(o.error) << c.name;
    EXPECT_FALSE(o.response.body.empty()) << c.name;
    auto seen = service_.requests("/test/echo");
    ASSERT_EQ(seen.size(), 1u) << c.name;
    EXPECT_EQ(seen[0].method, "GET") << c.name;
    EXPECT_EQ(seen[0].body, "") << c.name;
    EXPECT_FALSE(seen[0].hasHeader("X-One")) << c.name;
    EXPECT_FALSE(seen[0].hasHeader("Content-Type")) << c.name;

    HTTPRequest moved;
    moved.url = url("/moved");
    o = run(moved);
    ASSERT_FALSE(o.error) << c.name;
    EXPECT_EQ(o.response.status, 302) << c.name;
  }
}

TEST_F(HTTPTransportTest, OneCookieIsSetOrDeletedAndEveryChangeOfTheJarIsHeard) {
  std::atomic<int> changes{0};
  transport_.setCookiesChangedHandler([&changes] { ++changes; });
  const HTTPTransport::Cookie host{service_.host(), false, "/", true, true, 0, "QOPAL_SESS", "s1"};
  const HTTPTransport::Cookie parent{"zarvel.com", true,       "/",          true,
                                     false,        4102444800, "QOPAL_PERS", "p1"};
  ASSERT_TRUE(transport_.setCookie(host));
  ASSERT_TRUE(transport_.setCookie(parent));
  EXPECT_EQ(changes.load(), 2);
  HTTPRequest echo;
  echo.url = url("/test/echo");
  ASSERT_FALSE(run(echo).error);
  EXPECT_EQ(changes.load(), 2) << "an answer without Set-Cookie changes nothing";
  std::string sent = service_.requests("/test/echo").back().header("Cookie");
  EXPECT_NE(sent.find("QOPAL_SESS=s1"), std::string::npos);
  EXPECT_NE(sent.find("QOPAL_PERS=p1"), std::string::npos);

  transport_.deleteCookie(host);
  EXPECT_EQ(changes.load(), 3);
  auto cookies = transport_.cookies();
  ASSERT_EQ(cookies.size(), 1u) << "a deleted cookie is not listed";
  EXPECT_EQ(cookies[0].name, "QOPAL_PERS");
  ASSERT_FALSE(run(echo).error);
  EXPECT_EQ(service_.requests("/test/echo").back().header("Cookie"), "QOPAL_PERS=p1");

  // Tabs and line breaks would break the jar's line format.
  HTTPTransport::Cookie broken = host;
  broken.value = "a\tb";
  EXPECT_FALSE(transport_.setCookie(broken));
  broken.value = "a\nb";
  EXPECT_FALSE(transport_.setCookie(broken));
  EXPECT_EQ(changes.load(), 3);

  // An answer that sets a cookie is heard before its completion runs.
  service_.route("GET", "/set", [](const kxtest::RecordedRequest&) {
    Reply r;
    r.headers.emplace_back("Set-Cookie", "QOPAL_LOGIN=true; Path=/");
    return r;
  });
  HTTPRequest set;
  set.url = url("/set");
  ASSERT_FALSE(run(set).error);
  EXPECT_EQ(changes.load(), 4);
  transport_.clearCookies();
  EXPECT_EQ(changes.load(), 5);
  transport_.setCookiesChangedHandler(nullptr);
}

TEST(HTTPTransportCookieLineTest, LinesRoundTrip) {
  const HTTPTransport::Cookie cookies[] = {
      {"note.zarvel.com", false, "/", true, true, 0, "QOPAL_SESS", "a=b c"},
      {".zarvel.com", true, "/x", false, false, 4102444800, "QOPAL_PERS", ""},
  };
  for (const auto& cookie : cookies) {
    HTTPTransport::Cookie back;
    ASSERT_TRUE(HTTPTransport::parseCookieLine(HTTPTransport::cookieLine(cookie), &back));
    EXPECT_EQ(back.domain, cookie.domain);
    EXPECT_EQ(back.includeSubdomains, cookie.includeSubdomains);
    EXPECT_EQ(back.path, cookie.path);
    EXPECT_EQ(back.secure, cookie.secure);
    EXPECT_EQ(back.httpOnly, cookie.httpOnly);
    EXPECT_EQ(back.expires, cookie.expires);
    EXPECT_EQ(back.name, cookie.name);
    EXPECT_EQ(back.value, cookie.value);
  }
  HTTPTransport::Cookie none;
  EXPECT_FALSE(HTTPTransport::parseCookieLine("note.zarvel.com\tFALSE\t/", &none));
}

TEST_F(HTTPTransportTest, CancelStopsARunningRequestWithOneCancelledCompletion) {
  service_.setFault("/held", Fault::held());
  std::atomic<int> calls{0};
  auto done = std::make_shared<std::promise<kx::Error>>();
  auto result = done->get_future();
  HTTPRequest request;
  request.url = url("/held");
  auto id = transport_.start(request, [&calls, done](HTTPResponse, const kx::Error& error) {
    if (calls.fetch_add(1) == 0) done->set_value(error);
  });
  ASSERT_TRUE(service_.waitForInFlight(1));
  transport_.cancel(id);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(result.get().code(), kx::kHTTPTransportCancelled);
  service_.releaseHeld();
  transport_.cancel(id);  // finished: ignored
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(transport_.activeRequests(), 0u);
}

// Requests running at once are spread over the transport's loops: each gets
// an id of its own, and a cancel reaches it on whichever loop runs it (a
// cancel sent to another loop would leave it held until released, and it
// would then complete without error).
TEST_F(HTTPTransportTest, CancelReachesEachOfManyRequestsRunningAtOnce) {
  service_.setFault("/held", Fault::held());
  constexpr int kCount = 9;
  std::atomic<int> calls{0};
  std::vector<std::shared_ptr<std::promise<kx::Error>>> done;
  std::set<HTTPTransport::RequestID> ids;
  HTTPRequest request;
  request.url = url("/held");
  for (int i = 0; i < kCount; ++i) {
    auto promise = std::make_shared<std::promise<kx::Error>>();
    done.push_back(promise);
    ids.insert(transport_.start(request, [&calls, promise](HTTPResponse, const kx::Error& e) {
      ++calls;
      promise->set_value(e);
    }));
  }
  EXPECT_EQ(ids.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(ids.count(0), 0u);
  ASSERT_TRUE(service_.waitForInFlight(kCount));
  EXPECT_EQ(transport_.activeRequests(), static_cast<size_t>(kCount));
  for (auto id : ids) transport_.cancel(id);
  for (auto& promise : done) {
    auto result = promise->get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(result.get().code(), kx::kHTTPTransportCancelled);
  }
  service_.releaseHeld();
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  EXPECT_EQ(calls.load(), kCount);
  EXPECT_EQ(transport_.activeRequests(), 0u);
}

TEST_F(HTTPTransportTest, FailuresOfTheServiceBecomeErrors) {
  struct Case {
    const char* name;
    Fault fault;
    double timeout;
    std::int64_t code;
  } cases[] = {
      {"dropped", Fault::dropped(), 0, kx::kHTTPTransportConnectionLost},
      {"truncated", Fault::truncated(), 0, kx::kHTTPTransportConnectionLost},
      {"held past the time limit", Fault::held(), 0.3, kx::kHTTPTransportTimedOut},
  };
  for (const auto& c : cases) {
    service_.setFault("/test/bytes", c.fault);
    HTTPRequest request;
    request.url = url("/test/bytes?size=100000");
    request.timeoutSeconds = c.timeout;
    Outcome o = run(request);
    EXPECT_EQ(o.error.domain(), kx::kURLErrorDomain) << c.name;
    EXPECT_EQ(o.error.code(), c.code) << c.name << ": " << o.error.localizedDescription();
    service_.releaseHeld();
  }
  // An answer with an error status is an answer.
  service_.setFault("/test/bytes", Fault::withStatus(503));
  HTTPRequest request;
  request.url = url("/test/bytes");
  Outcome o = run(request);
  EXPECT_FALSE(o.error);
  EXPECT_EQ(o.response.status, 503);
  EXPECT_EQ(text(o.response.body), "{\"error\":503}");
}

TEST_F(HTTPTransportTest, UntrustedCertificateAndUnmappedHostFail) {
  HTTPTransport stranger;
  HTTPRequest request;
  request.url = url("/test/echo");
  stranger.setConnectTo({service_.host() + "::127.0.0.1:" + std::to_string(service_.port())});

  kx::Error error;
  stranger.perform(request, &error);
  EXPECT_EQ(error.code(), kx::kHTTPTransportSecureConnectionFailed) << error.localizedDescription();
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(HTTPTransportTest, SynchronousRequestsInsideCompletionsNeverExhaustThePool) {
  // More completions than pool threads, each blocking on a synchronous
  // request: they finish because perform() waits on the transport itself.
  const std::size_t n = kx::GlobalQueue::poolSize() * 2 + 1;
  std::atomic<std::size_t> done{0};
  std::atomic<std::size_t> good{0};
  std::promise<void> all;
  for (std::size_t i = 0; i < n; ++i) {
    HTTPRequest outer;
    outer.url = url("/test/echo?outer=" + std::to_string(i));
    transport_.start(outer, [&, i](HTTPResponse, const kx::Error&) {
      HTTPRequest inner;
      inner.url = url("/test/echo?inner=" + std::to_string(i));
      kx::Error error;
      HTTPResponse r = transport_.perform(inner, &error);
      if (!error && r.status == 200) ++good;
      if (++done == n) all.set_value();
    });
  }
  ASSERT_EQ(all.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(good.load(), n);
}

// Connections kept alive by a burst of parallel requests stay pooled while
// requests run one at a time afterwards: the next burst of the same width
// reuses them all and opens no connection.
TEST_F(HTTPTransportTest, ABurstKeepsItsConnectionsForTheNextBurst) {
  constexpr int kWidth = 7;
  auto burst = [&] {
    service_.setFault("/test/echo", Fault::held());
    std::vector<std::future<Outcome>> outcomes;
    for (int i = 0; i < kWidth; ++i) {
      HTTPRequest request;
      request.url = url("/test/echo?i=" + std::to_string(i));
      outcomes.push_back(std::async(std::launch::async, [this, request] { return run(request); }));
    }
    EXPECT_TRUE(service_.waitForInFlight(kWidth));
    service_.releaseHeld();
    for (auto& o : outcomes) EXPECT_FALSE(o.get().error);
    service_.clearFault("/test/echo");
  };
  burst();
  const int opened = service_.connectionsAccepted();
  EXPECT_EQ(opened, kWidth);
  HTTPRequest single;
  single.url = url("/test/echo");
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(run(single).error) << i;
  burst();
  EXPECT_EQ(service_.connectionsAccepted(), opened);
}

TEST(HTTPTransportSharedTest, OneTransportForTheProcess) {
  std::vector<std::future<HTTPTransport*>> seen;
  for (int i = 0; i < 8; ++i) {
    seen.push_back(std::async(std::launch::async, [] { return &HTTPTransport::shared(); }));
  }
  HTTPTransport* first = seen[0].get();
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i].get(), first);
}

// The process exits while the shared transport opens connection after
// connection: what it runs is stopped before the TLS library's exit handler
// frees the state a new connection uses (a transfer left running crashed
// there, and the sanitizer's report of that crash could hang the exit).
constexpr const char* kExitChildVariable = "ZN_TRANSPORT_EXIT_CHILD";

// Requests one after another, each on a new connection, until one fails.
void RequestAgainAndAgain(HTTPTransport& transport, std::shared_ptr<kx::Semaphore> answered) {
  HTTPRequest request;
  request.url = "https://note.zarvel.com/again";
  request.headers.emplace_back("Connection", "close");
  transport.start(std::move(request), [&transport, answered](HTTPResponse, const kx::Error& e) {
    if (e) return;
    answered->signal();
    RequestAgainAndAgain(transport, answered);
  });
}

TEST(HTTPTransportExitChild, ExitsWhileConnecting) {
  const char* setting = std::getenv(kExitChildVariable);
  if (setting == nullptr) GTEST_SKIP() << "started by HTTPTransportExitTest";
  // "<port> <authority file>"
  const std::string value = setting;
  const std::size_t space = value.find(' ');
  const std::string port = value.substr(0, space);
  std::ifstream in(value.substr(space + 1));
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  HTTPTransport& transport = HTTPTransport::shared();
  transport.setConnectTo({"note.zarvel.com::127.0.0.1:" + port});
  transport.setTrustedCertificates(pem);

  auto answered = std::make_shared<kx::Semaphore>();
  for (int i = 0; i < 4; ++i) RequestAgainAndAgain(transport, answered);
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(answered->wait(30));
  std::exit(0);
}

TEST(HTTPTransportExitTest, ExitingWhileRequestsRunEndsCleanly) {
  kxtest::TestNoteService service;
  ASSERT_TRUE(service.start(nullptr));
  service.route("GET", "/again", [](const kxtest::RecordedRequest&) { return Reply{}; });
  kxtest::TempAppRoot root;
  const std::string pemFile = root.path() + "/authority.pem";
  std::ofstream(pemFile) << kxtest::TestNoteService::authorityPEM();

  std::vector<std::string> variables;
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind(std::string(kExitChildVariable) + "=", 0) != 0) {
      variables.emplace_back(*e);
    }
  }
  variables.push_back(std::string(kExitChildVariable) + "=" + std::to_string(service.port()) + " " +
                      pemFile);
  std::vector<char*> envp;
  for (auto& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=HTTPTransportExitChild.*";
  char* argv[] = {exe.data(), filter.data(), nullptr};
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ASSERT_EQ(rc, 0);

  // The child's output until it exits (its end of the pipe closes), within
  // a limit: a hung exit is a failure, not a hung test.
  std::string output;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{out[0], POLLIN, 0};
    if (::poll(&fd, 1, 1000) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got <= 0) {
      ended = true;
      break;
    }
    output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(ended) << "the child did not exit: " << output;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
}

}  // namespace
