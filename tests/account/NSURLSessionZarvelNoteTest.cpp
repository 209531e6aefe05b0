#include "account/NSURLSessionZarvelNote.h"

#include <gtest/gtest.h>

#include "support/TestNoteService.h"

namespace {

class NSURLSessionZarvelNoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kx::Error error;
    ASSERT_TRUE(service_.start(&error)) << error.localizedDescription();
    service_.attach(transport_);
    auto json = [this](const char* path, int status, const char* body) {
      std::string text = body;
      service_.route("GET", path, [status, text](const kxtest::RecordedRequest&) {
        return kxtest::Reply::json(status, text);
      });
    };
    json("/object", 200, "{\"a\":1}");
    json("/objects", 200, "[{\"a\":1},{\"b\":2}]");
    json("/strings", 200, "[\"a\",\"b\"]");
    json("/number", 200, "42");
    json("/text", 200, "not json");
    json("/missing", 404, "{\"error\":\"gone\"}");
  }
  void TearDown() override { service_.stop(); }

  kx::URLRequest requestFor(const std::string& path, double timeout = 30) {
    kx::URLRequest request(*kx::URL::parse("https://note.zarvel.com" + path));
    request.setTimeoutInterval(timeout);
    return request;
  }

  kxtest::TestNoteService service_;
  kx::HTTPTransport transport_;
};

TEST_F(NSURLSessionZarvelNoteTest, AnswerShapes) {
  std::optional<kx::Bytes> body =
      NSURLSessionZarvelNote::syncDataTaskWith(requestFor("/object"), nullptr, &transport_);
  ASSERT_TRUE(body);
  EXPECT_EQ(std::string(body->begin(), body->end()), "{\"a\":1}");
  EXPECT_FALSE(
      NSURLSessionZarvelNote::syncDataTaskWith(requestFor("/missing"), nullptr, &transport_))
      << "a 404 with a body gives nothing";

  kx::Dictionary object =
      NSURLSessionZarvelNote::syncDataTaskDictWith(requestFor("/object"), nullptr, &transport_);
  EXPECT_EQ(object["a"].intValue(), 1);
  kx::Dictionary wrapped =
      NSURLSessionZarvelNote::syncDataTaskDictWith(requestFor("/objects"), nullptr, &transport_);
  ASSERT_TRUE(wrapped["data"].isArray());
  EXPECT_EQ(wrapped["data"].array().size(), 2u);
  for (const char* path : {"/strings", "/number", "/text", "/missing"}) {
    EXPECT_TRUE(NSURLSessionZarvelNote::syncDataTaskDictWith(requestFor(path), nullptr, &transport_)
                    .empty())
        << path;
  }
}

TEST_F(NSURLSessionZarvelNoteTest, TheRequestsTimeLimitBoundsTheWait) {
  service_.setFault("/object", kxtest::Fault::held());
  EXPECT_FALSE(
      NSURLSessionZarvelNote::syncDataTaskWith(requestFor("/object", 0.5), nullptr, &transport_));
  service_.releaseHeld();
}

}  // namespace
