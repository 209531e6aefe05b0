#include "account/KXNetworkOperation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "Data/client/KXStoreState.h"
#include "platform/GlobalQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "platform/SleepNotifications.h"
#include "platform/URL.h"
#include "support/QueueBarrier.h"
#include "support/TempAppRoot.h"
#include "support/TestNoteService.h"

namespace {

using kxtest::Fault;
using kxtest::RecordedRequest;
using kxtest::Reply;

constexpr const char* kCommon = "keyfrom=note.1.0.mac&os=OS_X";

struct BlockOutcome {
  kx::Value result;
  kx::HTTPResponseHead response;
  kx::Error error;
};

// Records what an operation tells its delegate, in order.
class RecordingDelegate : public KXNetworkOperationDelegate {
 public:
  explicit RecordingDelegate(bool handlesFailure) : handlesFailure_(handlesFailure) {}
  void didNetworkOperationSuccessCompleted(const kx::Value& result, KXNetworkOperation&) override {
    record("success");
    result_ = result;
  }
  void didNetworkOperationFailWithError(const kx::Error& error, KXNetworkOperation&) override {
    record("fail");
    error_ = error;
  }
  void didNetworkOperationRecievedHttpHeaders(const kx::Dictionary& headers,
                                              KXNetworkOperation&) override {
    record("headers");
    headers_ = headers;
  }
  void didNetworkOperationRecievedHttpCode(std::int64_t code, KXNetworkOperation& op) override {
    record("code " + std::to_string(code) + " state " + std::to_string(op.state()));
  }
  bool handlesFailure() const override { return handlesFailure_; }

  std::vector<std::string> messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }

  kx::Value result_;
  kx::Error error_;
  kx::Dictionary headers_;

 private:
  void record(std::string m) {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.push_back(std::move(m));
  }
  bool handlesFailure_;
  std::mutex mu_;
  std::vector<std::string> messages_;
};

class CountingConcurrentDelegate : public KXConcurrentDelegate {
 public:
  void completeWithOperator(KXNetworkOperation&) override { ++calls; }
  std::atomic<int> calls{0};
};

// Waits (with a limit) until `condition` holds, yielding in between.
bool eventually(const std::function<bool()>& condition, double seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

class KXNetworkOperationTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start(nullptr));
    service_.attach(KXNetworkOperation::sharedTransport());
    KXNetworkOperation::setCommonStaticsProvider([] { return std::string(kCommon); });
  }
  void TearDown() override { KXNetworkOperation::setCommonStaticsProvider(nullptr); }

  std::string url(const std::string& pathAndQuery) const {
    return service_.baseURL() + pathAndQuery;
  }

  static std::shared_ptr<KXNetworkOperation> operation(kx::Dictionary options) {
    auto op = std::make_shared<KXNetworkOperation>();
    op->setOption(std::move(options));
    return op;
  }

  // Runs the block form and waits for the block.
  static BlockOutcome runBlock(const std::shared_ptr<KXNetworkOperation>& op) {
    auto done = std::make_shared<std::promise<BlockOutcome>>();
    auto future = done->get_future();
    op->asyncNetworkOperationWithCallback([done](const kx::Value& result,
                                                 const kx::HTTPResponseHead& response,
                                                 const kx::Error& error) {
      done->set_value(BlockOutcome{result, response, error});
    });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    BlockOutcome outcome = future.get();
    EXPECT_TRUE(eventually([&] { return op->isFinished(); }));
    return outcome;
  }

  // Runs the delegate form and waits until the operation has finished.
  static void runDelegate(const std::shared_ptr<KXNetworkOperation>& op) {
    op->asyncNetworkOperation();
    ASSERT_TRUE(eventually([&] { return op->isFinished(); }, 20));
  }

  static std::string text(const kx::Value& v) {
    return v.isData() ? std::string(v.bytes().begin(), v.bytes().end()) : v.stringValue();
  }

  kxtest::TestNoteService service_;
};

TEST_F(KXNetworkOperationTest,
       URLKeepsItsQueryAddsStatisticsThenParamsAndGoesToHTTPSOnTheDefaultPort) {
  struct Case {
    std::string url;
    const char* method;
    kx::Value params;
    std::string query;
  } cases[] = {
      {url("/test/echo"), "GET", kx::Value(), kCommon},
      {url("/test/echo?a=1"), "GET", kx::Value::dict({{"b", "x y"}, {"n", 2}}),
       std::string("a=1&") + kCommon + "&b=x%20y&n=2"},
      {"http://user:pw@" + service_.host() + ":8080/test/echo?a=1", "GET", kx::Value(),
       std::string("a=1&") + kCommon},
      {"ftp://" + service_.host() + ":21/test/echo", "POST", kx::Value::dict({{"b", "2"}}),
       kCommon},
      {url("/test/echo"), "DELETE", kx::Value::dict({{"b", "2"}}), std::string(kCommon) + "&b=2"},
  };
  for (const auto& c : cases) {
    service_.clearRequests();
    kx::Dictionary options{{"url", c.url}, {"method", c.method}};
    if (!c.params.isNull()) options.set("params", c.params);
    auto op = operation(options);
    BlockOutcome o = runBlock(op);
    ASSERT_FALSE(o.error) << c.url << ": " << o.error.localizedDescription();
    auto seen = service_.requests("/test/echo");
    ASSERT_EQ(seen.size(), 1u) << c.url;
    EXPECT_EQ(seen[0].query, c.query) << c.url;
    EXPECT_EQ(seen[0].method, std::string(c.method) == "POST" ? "POST" : "GET") << c.url;
    EXPECT_EQ(seen[0].header("Host"), service_.host()) << c.url;
    EXPECT_FALSE(seen[0].hasHeader("Authorization")) << c.url;
    EXPECT_EQ(op->host(), service_.host());
    EXPECT_EQ(op->requestURI(), "/test/echo?" + c.query) << c.url;
  }
}

TEST_F(KXNetworkOperationTest, BodiesAndHeadersAreSentByteForByte) {
  const std::string streamBytes("\x00\x01stream\xff", 9);
  kx::Value params = kx::Value::dict({{"a", "1"}, {"b", "x&y"}});
  std::string json = text(kx::Value(JSONDataWithOptions(params, JKSerializeOptionPretty, nullptr)));
  struct Case {
    const char* name;
    kx::Dictionary options;
    std::string contentType;  // "-": absent
    std::string body;
    std::string parametersLength;  // "-": absent
    std::string fileSize;          // "-": absent
  } cases[] = {
      {"form", {{"params", params}}, "application/x-www-form-urlencoded", "a=1&b=x%26y", "-", "-"},
      {"empty params", {{"params", kx::Dictionary()}}, "-", "", "-", "-"},
      {"no params", {}, "-", "", "-", "-"},
      {"stream with params and data",
       {{"params", params},
        {"encoding", "application/qopal-stream"},
        {"KXStreamData", kx::Value::data(streamBytes.data(), streamBytes.size())}},
       "application/qopal-stream",
       json + streamBytes,
       std::to_string(json.size()),
       "9"},
      {"stream with params only",
       {{"params", params}, {"encoding", "application/qopal-stream"}},
       "application/qopal-stream",
       json,
       std::to_string(json.size()),
       "-"},
      {"stream without params",
       {{"encoding", "application/qopal-stream"},
        {"KXStreamData", kx::Value::data(streamBytes.data(), streamBytes.size())}},
       "application/qopal-stream",
       "",
       "0",
       "-"},
  };
  for (auto& c : cases) {
    service_.clearRequests();
    kx::Dictionary options = c.options;
    options.set("url", url("/test/echo"));
    options.set(
        "headers",
        kx::Value::dict({{"User-Agent", "mine"}, {"KX-NetworkOperation", "x"}, {"X-Extra", "e"}}));
    BlockOutcome o = runBlock(operation(options));
    ASSERT_FALSE(o.error) << c.name;
    auto seen = service_.requests("/test/echo");
    ASSERT_EQ(seen.size(), 1u) << c.name;
    const RecordedRequest& r = seen[0];
    EXPECT_EQ(r.method, "POST") << c.name;
    EXPECT_EQ(r.body, c.body) << c.name;
    EXPECT_EQ(r.hasHeader("Content-Type") ? r.header("Content-Type") : "-", c.contentType)
        << c.name;
    EXPECT_EQ(r.hasHeader("parameters-length") ? r.header("parameters-length") : "-",
              c.parametersLength)
        << c.name;
    EXPECT_EQ(r.hasHeader("File-Size") ? r.header("File-Size") : "-", c.fileSize) << c.name;
    EXPECT_EQ(r.header("User-Agent"), "Lumbox Client Mac") << c.name;
    EXPECT_TRUE(r.hasHeader("KX-NetworkOperation")) << c.name;
    EXPECT_EQ(r.header("KX-NetworkOperation"), "") << c.name;
    EXPECT_EQ(r.header("X-Extra"), "e") << c.name;
  }
}

TEST_F(KXNetworkOperationTest, BlockAndDelegateJudgeStatusesDifferently) {
  service_.route("", "/partial",
                 [](const RecordedRequest&) { return Reply::json(206, "{\"part\":1}"); });
  service_.setFault("/broken", Fault::withStatus(500, "{\"error\":\"boom\"}"));

  // 206: failure for a block...
  BlockOutcome o =
      runBlock(operation({{"url", url("/partial")}, {"dataType", "application/json"}}));
  EXPECT_EQ(o.error.domain(), kx::kURLErrorDomain);
  EXPECT_EQ(o.error.code(), -1011);
  EXPECT_EQ(o.error.userInfo()["statusCode"].intValue(), 206);
  EXPECT_EQ(o.response.status, 206);
  EXPECT_EQ(o.result["part"].intValue(), 1);

  struct Case {
    const char* path;
    bool handlesFailure;
    std::vector<std::string> messages;
    std::uint16_t state;
  } cases[] = {
      // ...and success for a delegate.
      {"/partial", true, {"code 206 state 4", "headers", "success"}, 5},
      {"/partial", false, {"code 206 state 4", "headers", "success"}, 5},
      // 500 with a JSON body: the failure alone, with no transport error...
      {"/broken", true, {"fail"}, 999},
      // ...or, for a delegate without a failure method, code, headers and body.
      {"/broken", false, {"code 500 state 4", "headers", "success"}, 5},
  };
  for (const auto& c : cases) {
    auto delegate = std::make_shared<RecordingDelegate>(c.handlesFailure);
    auto op = std::make_shared<KXNetworkOperation>(delegate);
    op->setOption({{"url", url(c.path)}, {"dataType", "application/json"}});
    runDelegate(op);
    EXPECT_EQ(delegate->messages(), c.messages) << c.path << " " << c.handlesFailure;
    EXPECT_EQ(op->state(), c.state) << c.path;
    if (c.handlesFailure && std::string(c.path) == "/broken") {
      EXPECT_FALSE(delegate->error_);
    } else {
      EXPECT_EQ(delegate->headers_["Content-Type"].stringValue(), "application/json");
      EXPECT_TRUE(delegate->result_.isDictionary()) << c.path;
    }
  }
}

TEST_F(KXNetworkOperationTest, JSONResultsAndMalformedJSONLoggedAtMostOneKilobyte) {
  kxtest::TempAppRoot root;
  KXHooks::setCurrentUserDataDirectoryProvider([dir = root.path()] { return dir; });
  KXLogger::sharedLogger().reset();

  BlockOutcome good = runBlock(operation(
      {{"url", url("/test/echo?x=1")}, {"method", "GET"}, {"dataType", "application/json"}}));
  ASSERT_FALSE(good.error);
  EXPECT_EQ(good.result["path"].stringValue(), "/test/echo");

  // Comments and text after the value are accepted (options 15).
  service_.route("", "/loose", [](const RecordedRequest&) {
    return Reply::json(200, "/*c*/ {\"a\": 1} trailing");
  });
  BlockOutcome loose =
      runBlock(operation({{"url", url("/loose")}, {"dataType", "application/json"}}));
  EXPECT_EQ(loose.result["a"].intValue(), 1);

  // Without the JSON data type the body comes as it is.
  BlockOutcome raw = runBlock(operation({{"url", url("/loose")}}));
  EXPECT_EQ(text(raw.result), "/*c*/ {\"a\": 1} trailing");

  // A body cut short by the service is no result, and no failure of the request.
  service_.setFault("/loose", Fault::malformed());
  BlockOutcome cut =
      runBlock(operation({{"url", url("/loose")}, {"dataType", "application/json"}}));
  EXPECT_FALSE(cut.error);
  EXPECT_TRUE(cut.result.isNull());

  std::string longBad = "{\"k\": \"" + std::string(3000, 'z') + "MARK";
  service_.route("", "/bad",
                 [longBad](const RecordedRequest&) { return Reply::json(200, longBad); });
  BlockOutcome bad = runBlock(operation({{"url", url("/bad")}, {"dataType", "application/json"}}));
  EXPECT_FALSE(bad.error);
  EXPECT_TRUE(bad.result.isNull());

  KXLogger::sharedLogger().drain();
  std::ifstream in(KXLogger::sharedLogger().logFilePath());
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = log.rfind("parse json error");  // the long body's line
  ASSERT_NE(at, std::string::npos) << log;
  std::size_t shown = log.find("string is ", at);
  ASSERT_NE(shown, std::string::npos);
  std::string line = log.substr(shown + 10, log.find('\n', shown) - shown - 10);
  EXPECT_EQ(line, longBad.substr(0, 1024));
  EXPECT_EQ(log.find("MARK"), std::string::npos);
  KXHooks::resetForTesting();
  KXLogger::sharedLogger().reset();
}

TEST_F(KXNetworkOperationTest, UploadSendsTheFileFromTheStartByteAndRefusesAMissingFile) {
  kxtest::TempAppRoot root;
  std::string path = root.path() + "/up.bin";
  std::ofstream(path, std::ios::binary) << "0123456789";
  struct Case {
    kx::Value startByte;
    std::string body;
  } cases[] = {
      {kx::Value(), "0123456789"}, {0, "0123456789"}, {-5, "0123456789"}, {3, "3456789"}, {10, ""}};
  for (const auto& c : cases) {
    service_.clearRequests();
    kx::Dictionary options{
        {"url", url("/test/echo")}, {"byteFile", path}, {"params", kx::Value::dict({{"p", 1}})}};
    if (!c.startByte.isNull()) options.set("startByte", c.startByte);
    BlockOutcome o = runBlock(operation(options));
    ASSERT_FALSE(o.error) << c.body;
    auto seen = service_.requests("/test/echo");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, c.body);
    EXPECT_EQ(seen[0].header("Content-Length"), std::to_string(c.body.size()));
  }

  // A missing file, or a folder, fails the operation; nothing is sent.
  service_.clearRequests();
  for (const std::string& bad :
       std::vector<std::string>{root.path() + "/absent.bin", root.path()}) {
    auto op = operation({{"url", url("/test/echo")}, {"byteFile", bad}});
    BlockOutcome o = runBlock(op);
    EXPECT_EQ(o.error.domain(), kx::kURLErrorDomain) << bad;
    EXPECT_EQ(o.error.code(), -1100) << bad;
    EXPECT_EQ(o.response.status, 0);
    EXPECT_EQ(op->state(), KXNetworkOperation::kStateFailed);

    auto delegate = std::make_shared<RecordingDelegate>(true);
    auto viaDelegate = std::make_shared<KXNetworkOperation>(delegate);
    viaDelegate->setOption({{"url", url("/test/echo")}, {"byteFile", bad}});
    runDelegate(viaDelegate);
    EXPECT_EQ(delegate->messages(), std::vector<std::string>{"fail"});
    EXPECT_EQ(delegate->error_.code(), -1100);
  }
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(KXNetworkOperationTest, DownloadIsMovedIntoPlaceOnlyAfterA200) {
  kxtest::TempAppRoot root;
  std::string dest = root.path() + "/got.bin";
  BlockOutcome o =
      runBlock(operation({{"url", url("/test/bytes?size=70000")},
                          {"method", "GET"},
                          {"downloadFile", kx::URL::fileURLWithPath(dest).absoluteString()}}));
  ASSERT_FALSE(o.error) << o.error.localizedDescription();
  EXPECT_EQ(o.result.stringValue(), kx::URL::fileURLWithPath(dest).absoluteString());
  ASSERT_TRUE(std::filesystem::exists(dest));
  EXPECT_EQ(std::filesystem::file_size(dest), 70000u);

  std::string missing = root.path() + "/never.bin";
  BlockOutcome notFound =
      runBlock(operation({{"url", url("/nowhere")}, {"method", "GET"}, {"downloadFile", missing}}));
  EXPECT_EQ(notFound.error.code(), -1011);
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_NE(notFound.result.stringValue(), kx::URL::fileURLWithPath(missing).absoluteString());
  // No temporary file stays behind once the transport's completion, which
  // removes it after the delivery, has returned.
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
    std::string name = entry.path().filename().string();
    if (name.find("got.bin") != std::string::npos || name.find("never.bin") != std::string::npos) {
      names.push_back(name);
    }
  }
  EXPECT_EQ(names, std::vector<std::string>{"got.bin"});
}

TEST_F(KXNetworkOperationTest, MultipartCarriesTheQueryPairsAndTheFilePart) {
  const std::string bytes("\x89PNG\r\n--not-a-boundary\r\n\x00\x01", 26);
  BlockOutcome o =
      runBlock(operation({{"url", url("/test/echo?a=1&b=%20")},
                          {"multipart/form-data", kx::Value::data(bytes.data(), bytes.size())},
                          {"name", "upfile"},
                          {"Content-type", "image/png"},
                          {"params", kx::Value::dict({{"ignored", "yes"}})}}));
  ASSERT_FALSE(o.error);
  auto seen = service_.requests("/test/echo");
  ASSERT_EQ(seen.size(), 1u);
  std::string contentType = seen[0].header("Content-Type");
  EXPECT_EQ(contentType.rfind("multipart/form-data; boundary=Boundary-", 0), 0u) << contentType;
  std::vector<kxtest::MultipartPart> parts;
  ASSERT_TRUE(kxtest::parseMultipart(contentType, seen[0].body, &parts)) << seen[0].body;
  std::vector<std::pair<std::string, std::string>> fields;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i)
    fields.emplace_back(parts[i].name, parts[i].data);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"a", "1"}, {"b", "%20"}, {"keyfrom", "note.1.0.mac"}, {"os", "OS_X"}};
  EXPECT_EQ(fields, expected);
  ASSERT_FALSE(parts.empty());
  EXPECT_EQ(parts.back().name, "upfile");
  EXPECT_EQ(parts.back().filename, "file");
  EXPECT_EQ(parts.back().contentType, "image/png");
  EXPECT_EQ(parts.back().data, bytes);
}

TEST_F(KXNetworkOperationTest, MultipartNamesAndTypesCannotAddHeadersOrCutTheName) {
  BlockOutcome o = runBlock(operation({{"url", url("/test/echo")},
                                       {"multipart/form-data", kx::Value::data("x", 1)},
                                       {"name", "up\"; filename=\"evil\r\nX-Injected: 1"},
                                       {"Content-type", "text/plain\r\nX-Injected: 2"}}));
  ASSERT_FALSE(o.error);
  auto seen = service_.requests("/test/echo");
  ASSERT_EQ(seen.size(), 1u);
  std::vector<kxtest::MultipartPart> parts;
  ASSERT_TRUE(kxtest::parseMultipart(seen[0].header("Content-Type"), seen[0].body, &parts))
      << seen[0].body;
  ASSERT_FALSE(parts.empty());
  const kxtest::MultipartPart& file = parts.back();
  EXPECT_EQ(file.name, "up%22; filename=%22evil%0D%0AX-Injected: 1");
  EXPECT_EQ(file.filename, "file");
  EXPECT_EQ(file.contentType, "text/plain%0D%0AX-Injected: 2");
  EXPECT_EQ(file.headers.size(), 2u);
  EXPECT_EQ(file.data, "x");

  // The service side reads parameters, not text: a name may hold what looks
  // like another parameter.
  const std::string body =
      "--B\r\nContent-Disposition: form-data; name=\"filename=\"; filename=\"f\"\r\n\r\n"
      "v\r\n--B--\r\n";
  parts.clear();
  ASSERT_TRUE(kxtest::parseMultipart("multipart/form-data; boundary=B", body, &parts));
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].name, "filename=");
  EXPECT_EQ(parts[0].filename, "f");
}

TEST_F(KXNetworkOperationTest, InvalidOptionsFailWithBadURL) {
  for (kx::Dictionary options : {kx::Dictionary(), kx::Dictionary{{"method", "GET"}}}) {
    auto op = operation(options);
    BlockOutcome o = runBlock(op);
    EXPECT_EQ(o.error.code(), -1000);
    EXPECT_EQ(op->state(), KXNetworkOperation::kStateFailed);
    kx::Error error;
    EXPECT_TRUE(operation(options)->syncRequestWithError(&error).isNull());
    EXPECT_EQ(error.code(), -1000);
  }
  // Hosts whose escapes would change where the request goes once decoded.
  for (const std::string& bad : std::vector<std::string>{
           "https://x%40" + service_.host() + "/test/echo",
           "https://" + service_.host() + "%2Ftest%2Fecho%3F.evil.example/x",
           "https://" + service_.host() + "%3A443/test/echo",
           std::string("https://a%20b/test/echo"),
           "https://a..b/test/echo",
       }) {
    auto op = operation({{"url", bad}, {"method", "GET"}});
    EXPECT_EQ(runBlock(op).error.code(), -1000) << bad;
    EXPECT_FALSE(op->generateRequest()) << bad;
  }
  EXPECT_TRUE(service_.requests().empty());
}

TEST_F(KXNetworkOperationTest, SynchronousRequestAnswerShapes) {
  service_.route("", "/objects",
                 [](const RecordedRequest&) { return Reply::json(200, "[{\"a\":1},{\"b\":2}]"); });
  service_.route("", "/strings",
                 [](const RecordedRequest&) { return Reply::json(200, "[\"a\"]"); });
  service_.route("", "/number", [](const RecordedRequest&) { return Reply::json(200, "7"); });
  service_.route("", "/object",
                 [](const RecordedRequest&) { return Reply::json(200, "{\"ok\":true}"); });
  service_.setFault("/missing", Fault::withStatus(404, "{\"ok\":false}"));
  struct Case {
    const char* path;
    std::string json;
  } cases[] = {{"/object", "{\"ok\":true}"},
               {"/objects", "{\"data\":[{\"a\":1},{\"b\":2}]}"},
               {"/strings", "{}"},
               {"/number", "{}"},
               {"/missing", "{}"}};
  for (const auto& c : cases) {
    auto op = operation({{"url", url(c.path)}});
    kx::Error error;
    kx::Value v = op->syncRequestWithError(&error);
    EXPECT_FALSE(error) << c.path;
    EXPECT_EQ(JSONString(v), c.json) << c.path;
    EXPECT_TRUE(op->isFinished());
  }
  auto cancelled = operation({{"url", url("/object")}});
  cancelled->cancel();
  EXPECT_TRUE(cancelled->syncRequestWithError(nullptr).isNull());
}

TEST_F(KXNetworkOperationTest, CancelledBeforeStartNeverSends) {
  auto concurrent = std::make_shared<CountingConcurrentDelegate>();
  auto op = operation({{"url", url("/test/echo")}});
  op->setConcurrentDelegate(concurrent);
  std::atomic<bool> called{false};
  op->setCallback(
      [&](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) { called = true; });
  op->cancel();
  EXPECT_TRUE(op->isCancelled());
  EXPECT_TRUE(op->isComplete());
  op->start();
  EXPECT_TRUE(op->isFinished());
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  EXPECT_FALSE(called.load());
  EXPECT_TRUE(service_.requests().empty());
  EXPECT_GE(concurrent->calls.load(), 1);
}

TEST_F(KXNetworkOperationTest, CancelledDuringTheRequestReportsNothing) {
  service_.setFault("/test/echo", Fault::held());
  auto concurrent = std::make_shared<CountingConcurrentDelegate>();
  auto delegate = std::make_shared<RecordingDelegate>(true);
  auto blockOp = operation({{"url", url("/test/echo")}});
  auto delegateOp = std::make_shared<KXNetworkOperation>(delegate);
  delegateOp->setOption({{"url", url("/test/echo")}});
  blockOp->setConcurrentDelegate(concurrent);
  std::atomic<bool> called{false};
  blockOp->asyncNetworkOperationWithCallback(
      [&](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) { called = true; });
  delegateOp->asyncNetworkOperation();
  ASSERT_TRUE(service_.waitForInFlight(2));
  EXPECT_TRUE(blockOp->isExecuting());
  blockOp->cancel();
  EXPECT_TRUE(blockOp->isFinished());
  EXPECT_FALSE(blockOp->isExecuting());
  // The sleep notification aborts the other one.
  kx::NotificationCenter::defaultCenter().post(kx::kWorkspaceWillSleepNotification);
  EXPECT_TRUE(delegateOp->isCancelled());
  EXPECT_TRUE(delegateOp->isFinished());
  service_.releaseHeld();
  ASSERT_TRUE(
      eventually([] { return KXNetworkOperation::sharedTransport().activeRequests() == 0; }));
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  EXPECT_FALSE(called.load());
  EXPECT_TRUE(delegate->messages().empty());
  // Told at least twice at the cancel (the completion, then the cancel).
  EXPECT_GE(concurrent->calls.load(), 2);
}

TEST_F(KXNetworkOperationTest, AnswerAlreadyOnItsWayIsDroppedAfterCancel) {
  service_.setFault("/test/echo", Fault::delayed(0.05));
  auto delegate = std::make_shared<RecordingDelegate>(false);
  auto blockOp = operation({{"url", url("/test/echo")}});
  auto delegateOp = std::make_shared<KXNetworkOperation>(delegate);
  delegateOp->setOption({{"url", url("/test/echo")}});
  std::atomic<bool> called{false};

  // Occupy every pool thread, so that completions queue up behind.
  const std::size_t pool = kx::GlobalQueue::poolSize();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<std::size_t> blocked{0};
  for (std::size_t i = 0; i < pool; ++i) {
    kx::GlobalQueue::get(kx::QueuePriority::High).async([&blocked, released] {
      ++blocked;
      released.wait_for(std::chrono::seconds(20));
    });
  }
  ASSERT_TRUE(eventually([&] { return blocked.load() == pool; }));

  blockOp->asyncNetworkOperationWithCallback(
      [&](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) { called = true; });
  delegateOp->asyncNetworkOperation();
  // Both answers arrive and their completions wait on the executor.
  ASSERT_TRUE(
      eventually([] { return KXNetworkOperation::sharedTransport().activeRequests() == 0; }));
  EXPECT_EQ(service_.requests("/test/echo").size(), 2u);
  blockOp->cancel();
  delegateOp->cancel();
  release.set_value();
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  EXPECT_FALSE(called.load());
  EXPECT_TRUE(delegate->messages().empty());
  EXPECT_TRUE(blockOp->isFinished());
}

TEST_F(KXNetworkOperationTest, QueueWidthAndCancelAllWithOperations) {
  service_.setFault("/test/echo", Fault::held());
  kx::OperationQueue queue("com.zarvel.note.queue.concurrent", 7);
  auto concurrent = std::make_shared<CountingConcurrentDelegate>();
  std::atomic<int> blocks{0};
  std::vector<std::shared_ptr<KXNetworkOperation>> ops;
  for (int i = 0; i < 10; ++i) {
    auto op = operation({{"url", url("/test/echo?i=" + std::to_string(i))}});
    op->setConcurrentDelegate(concurrent);
    op->setCallback(
        [&](const kx::Value&, const kx::HTTPResponseHead&, const kx::Error&) { ++blocks; });
    ops.push_back(op);
    ASSERT_TRUE(queue.addOperation(op));
  }
  ASSERT_TRUE(service_.waitForInFlight(7));
  EXPECT_EQ(queue.runningCount(), 7u);
  EXPECT_EQ(queue.operationCount(), 10u);
  queue.cancelAllOperations();
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(20));
  service_.releaseHeld();
  ASSERT_TRUE(
      eventually([] { return KXNetworkOperation::sharedTransport().activeRequests() == 0; }));
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  EXPECT_EQ(blocks.load(), 0);
  for (auto& op : ops) EXPECT_TRUE(op->isFinished());
  EXPECT_EQ(service_.requests("/test/echo").size(), 7u);

  // The same queue then runs fresh operations to their blocks.
  service_.clearFault("/test/echo");
  std::promise<void> all;
  std::atomic<int> done{0};
  for (int i = 0; i < 3; ++i) {
    auto op = operation({{"url", url("/test/echo")}});
    op->setCallback([&](const kx::Value&, const kx::HTTPResponseHead& r, const kx::Error& e) {
      if (!e && r.status == 200 && ++done == 3) all.set_value();
    });
    queue.addOperation(op);
  }
  EXPECT_EQ(all.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

TEST_F(KXNetworkOperationTest, ReleasedOperationReportsNothing) {
  service_.setFault("/test/echo", Fault::held());
  auto delegate = std::make_shared<RecordingDelegate>(false);
  {
    auto op = std::make_shared<KXNetworkOperation>(delegate);
    op->setOption({{"url", url("/test/echo")}});
    op->asyncNetworkOperation();
    ASSERT_TRUE(service_.waitForInFlight(1));
  }
  service_.releaseHeld();
  ASSERT_TRUE(
      eventually([] { return KXNetworkOperation::sharedTransport().activeRequests() == 0; }));
  ASSERT_TRUE(kxtest::waitForQueue(kx::GlobalQueue::get()));
  EXPECT_TRUE(delegate->messages().empty());
}

TEST_F(KXNetworkOperationTest, OneSharedTransportWhateverThreadMakesTheFirstOperation) {
  std::vector<std::future<kx::HTTPTransport*>> seen;
  for (int i = 0; i < 8; ++i) {
    seen.push_back(std::async(std::launch::async, [] {
      auto op = std::make_shared<KXNetworkOperation>();
      return &KXNetworkOperation::sharedTransport();
    }));
  }
  kx::HTTPTransport* first = seen[0].get();
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i].get(), first);
  EXPECT_EQ(first, &kx::HTTPTransport::shared());
}

TEST_F(KXNetworkOperationTest, DescriptionAndRuntimeData) {
  auto op = operation({{"url", url("/test/echo")}});
  EXPECT_EQ(op->description(), "url is " + url("/test/echo") + ", state is 0");
  op->setRuntimeData(std::string("verdict"));
  EXPECT_EQ(std::any_cast<std::string>(op->runtimeData()), "verdict");
  op->clearRuntimeData();
  EXPECT_FALSE(op->runtimeData().has_value());
  EXPECT_TRUE(op->isValidForUse());
}

}  // namespace
