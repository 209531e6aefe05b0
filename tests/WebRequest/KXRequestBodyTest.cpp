#include "WebRequest/KXRequestBody.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A stream that gives its bytes in pieces of three, then ends or fails.
class PiecesStream : public kx::InputStream {
 public:
  PiecesStream(std::string text, bool fails) : text_(std::move(text)), fails_(fails) {}
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength, kx::Error* error) override {
    const std::size_t n = std::min({maxLength, std::size_t{3}, text_.size() - offset_});
    if (n == 0) {
      if (!fails_) return 0;
      if (error) *error = kx::Error::make("test", 7, "connection lost");
      return -1;
    }
    std::copy(text_.begin() + offset_, text_.begin() + offset_ + n, buffer);
    offset_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::string text_;
  std::size_t offset_ = 0;
  bool fails_;
};

TEST(KXRequestBody, ReadsTheBodyWholeUpToALimit) {
  struct Case {
    const char* what;
    std::optional<std::string> body;
    std::optional<std::string> stream;
    bool streamFails;
    std::size_t limit;
    std::optional<std::string> expected;  // nullopt: an error
  };
  const Case cases[] = {
      {"no body", std::nullopt, std::nullopt, false, 10, ""},
      {"body", "a=1&b=2", std::nullopt, false, 10, "a=1&b=2"},
      {"body at the limit", "abcd", std::nullopt, false, 4, "abcd"},
      {"body above the limit", "abcde", std::nullopt, false, 4, std::nullopt},
      {"stream in pieces", std::nullopt, "abcdefgh", false, 8, "abcdefgh"},
      {"stream above the limit", std::nullopt, "abcdefghi", false, 8, std::nullopt},
      {"stream that fails", std::nullopt, "abcd", true, 100, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kx::URLRequest request(*kx::URL::parse("https://h/x"));
    if (c.body) request.setHTTPBody(kx::Bytes(c.body->begin(), c.body->end()));
    if (c.stream)
      request.setHTTPBodyStream(std::make_shared<PiecesStream>(*c.stream, c.streamFails));
    kx::Error error;
    std::optional<kx::Bytes> got = KXRequestBody::bodyOf(request, c.limit, &error);
    if (c.expected) {
      ASSERT_TRUE(got) << error.localizedDescription();
      EXPECT_EQ(std::string(got->begin(), got->end()), *c.expected);
    } else {
      EXPECT_FALSE(got);
      EXPECT_TRUE(error);
    }
  }
}

}  // namespace
