#include "CommonUtils/NSURLTmp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXURLOpener.h"

namespace {

class RecordingURLOpener : public KXURLOpener {
 public:
  void openURL(const kx::URL& url) override {
    std::lock_guard<std::mutex> lock(mu_);
    opened_.push_back(url.absoluteString());
  }
  std::vector<std::string> opened() {
    std::lock_guard<std::mutex> lock(mu_);
    return opened_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> opened_;
};

class NSURLTmpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv(kKXServiceBaseURLEnvironmentVariable);
    opener_ = std::make_shared<RecordingURLOpener>();
    KXURLOpener::install(opener_);
    KXHooks::setLoginInfoOpener([this](const std::string& url) { signedIn_.push_back(url); });
  }
  void TearDown() override {
    KXURLOpener::install(nullptr);
    KXHooks::resetForTesting();
    unsetenv(kKXServiceBaseURLEnvironmentVariable);
  }
  void open(const std::string& text) {
    std::optional<kx::URL> url = kx::URL::parse(text);
    ASSERT_TRUE(url) << text;
    NSURLTmp::outterOpen(*url);
  }

  std::shared_ptr<RecordingURLOpener> opener_;
  std::vector<std::string> signedIn_;
};

TEST(NSURLTmpTmpURLTest, IsASiblingWithTmpAppended) {
  EXPECT_EQ(NSURLTmp::tmpURL("/a/b/content"), "/a/b/content.tmp");
}

TEST_F(NSURLTmpTest, ServiceLinksOpenSignedInAndThePlanPageNamesTheUser) {
  KXHooks::setCurrentUserProvider([] { return std::string("u42"); });
  struct Case {
    const char* link;
    const char* signedIn;
  };
  const Case cases[] = {
      {"https://note.zarvel.com/charge/setMeal.html",
       "https://note.zarvel.com/charge/setMeal.html?username=u42"},
      {"https://note.zarvel.com/charge/setMeal.html?from=menu",
       "https://note.zarvel.com/charge/setMeal.html?from=menu&username=u42"},
      {"https://NOTE.zarvel.com/CHARGE/SETMEAL.HTML",
       "https://NOTE.zarvel.com/CHARGE/SETMEAL.HTML?username=u42"},
      {"https://note.zarvel.com/charge/setMeal.html#plans",
       "https://note.zarvel.com/charge/setMeal.html?username=u42#plans"},
      {"https://note.zarvel.com/help/index.html", "https://note.zarvel.com/help/index.html"},
  };
  for (const Case& c : cases) open(c.link);
  ASSERT_EQ(signedIn_.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(signedIn_[i], cases[i].signedIn);
  EXPECT_TRUE(opener_->opened().empty());
}

TEST_F(NSURLTmpTest, UserNameIsPercentEncoded) {
  KXHooks::setCurrentUserProvider([] { return std::string("a&b=c d+é#"); });
  open("https://note.zarvel.com/charge/setMeal.html?x=1");
  ASSERT_EQ(signedIn_.size(), 1u);
  EXPECT_EQ(signedIn_[0],
            "https://note.zarvel.com/charge/setMeal.html?x=1&username=a%26b%3Dc%20d%2B%C3%A9%23");

  // Nobody signed in: the anonymous user.
  KXHooks::setCurrentUserProvider(nullptr);
  open("https://note.zarvel.com/charge/setMeal.html");
  EXPECT_EQ(signedIn_.back(), "https://note.zarvel.com/charge/setMeal.html?username=EmptyUser");
}

TEST_F(NSURLTmpTest, OtherHostsOpenDirectlyWithoutLoginTicket) {
  open("https://example.org/charge/setMeal.html");
  open("mailto:someone@example.org");
  open("https://note.zarvel.com.evil.example/");
  EXPECT_TRUE(signedIn_.empty());
  EXPECT_EQ(opener_->opened(), (std::vector<std::string>{"https://example.org/charge/setMeal.html",
                                                         "mailto:someone@example.org",
                                                         "https://note.zarvel.com.evil.example/"}));
}

TEST_F(NSURLTmpTest, ServiceHostFollowsTheConfiguredOrigin) {
  setenv(kKXServiceBaseURLEnvironmentVariable, "https://staging.example", 1);
  open("https://staging.example/charge/setMeal.html");
  open("https://note.zarvel.com/charge/setMeal.html");
  ASSERT_EQ(signedIn_.size(), 1u);
  EXPECT_EQ(signedIn_[0], "https://staging.example/charge/setMeal.html?username=EmptyUser");
  EXPECT_EQ(opener_->opened(),
            std::vector<std::string>{"https://note.zarvel.com/charge/setMeal.html"});
}

TEST_F(NSURLTmpTest, WithoutAnOpenerNothingHappens) {
  KXURLOpener::install(nullptr);
  open("https://example.org/");
  EXPECT_TRUE(opener_->opened().empty());
}

}  // namespace
