#include "WebRequest/KXWebLocalFileHandler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "HandlerTestSupport.h"
#include "WebRequest/KXLocalFileHost.h"

namespace {

using kxtest::AnswerRecorder;

class WebLocalFileHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    appData_ = root_.path() + "/appdata";
    for (const char* dir :
         {"/bgImage/paper", "/alice/IconImage", "/alice/Contents", "/bob/IconImage"}) {
      std::filesystem::create_directories(appData_ + dir);
    }
    std::ofstream(appData_ + "/bgImage/paper/p1.png") << "PAPER";
    std::ofstream(appData_ + "/alice/IconImage/abc") << "ICON";
    std::ofstream(appData_ + "/alice/Contents/secret") << "SECRET";
    std::ofstream(appData_ + "/bob/IconImage/def") << "BOB";
    std::ofstream(root_.path() + "/outside") << "OUTSIDE";
    std::filesystem::create_symlink(appData_ + "/alice/Contents/secret",
                                    appData_ + "/bgImage/link.png");
    handler_ = std::make_unique<KXWebLocalFileHandler>(KXWebLocalFileHandler::Environment{
        [this] { return appData_; },
        [this] {
          return std::vector<std::string>{appData_ + "/bgImage", appData_ + "/alice/IconImage"};
        }});
  }

  std::shared_ptr<AnswerRecorder> Ask(const std::string& url) {
    auto recorder = std::make_shared<AnswerRecorder>();
    std::optional<kx::URL> parsed = kx::URL::parse(url);
    EXPECT_TRUE(parsed) << url;
    handler_->handleRequest(kx::URLRequest(parsed ? *parsed : kx::URL()), recorder);
    EXPECT_EQ(recorder->count(), 1) << url;
    return recorder;
  }

  kxtest::TempAppRoot root_;
  std::string appData_;
  std::unique_ptr<KXWebLocalFileHandler> handler_;
};

TEST_F(WebLocalFileHandlerTest, AcceptsTheLocalFileOriginExactly) {
  const std::string origin = KXLocalFileHost();
  const std::vector<std::pair<std::string, bool>> cases = {
      {origin + "/bgImage/paper/p1.png", true},
      {"https://LOCALFILE.zarvel.note/bgImage/x.png", true},
      {origin + ":443/bgImage/x.png", true},
      {origin + ".evil.example/bgImage/x.png", false},
      {origin + ":8443/bgImage/x.png", false},
      {"http://localfile.zarvel.note/bgImage/x.png", false},
      {"https://user@localfile.zarvel.note/bgImage/x.png", false},
      {"https://evil.example/" + origin, false},
  };
  for (const auto& [url, accepted] : cases) {
    EXPECT_EQ(handler_->acceptRequest(kx::URLRequest(*kx::URL::parse(url))), accepted) << url;
  }
}

TEST_F(WebLocalFileHandlerTest, ServesFilesOfTheAllowedFoldersAndEmptyForMissingOnes) {
  const std::string origin = KXLocalFileHost();
  EXPECT_EQ(Ask(origin + "/bgImage/paper/p1.png")->text(), "PAPER");
  EXPECT_EQ(Ask(origin + "/alice/IconImage/abc")->text(), "ICON");
  EXPECT_EQ(Ask(origin + "/bgImage/paper/p%31.png")->text(), "PAPER") << "decoded once";
  auto missing = Ask(origin + "/bgImage/none.png");
  EXPECT_EQ(missing->status(), 200);
  EXPECT_TRUE(missing->text().empty());
}

TEST_F(WebLocalFileHandlerTest, RefusesEverythingElse) {
  const std::string origin = KXLocalFileHost();
  for (const std::string path : {
           "/alice/Contents/secret",             // not an allowed folder
           "/bob/IconImage/def",                 // another user's icons
           "/bgImage/../alice/Contents/secret",  // ".." segment
           "/bgImage/%2e%2e/alice/Contents/secret",
           "/bgImage/paper%2F..%2F..%2Falice/Contents/secret",
           "/bgImage/%252e%252e/x",   // decoded once: a literal "%2e%2e" name
           "/bgImage//paper/p1.png",  // empty segment
           "/bgImage/p1%00.png",      // NUL
           "/bgImage/link.png",       // a link that leads outside
           "/bgImage",                // the folder itself
           "/",
       }) {
    auto answer = Ask(origin + path);
    if (path == "/bgImage/%252e%252e/x") {
      // Not a traversal, just a file that does not exist.
      EXPECT_EQ(answer->status(), 200) << path;
      EXPECT_TRUE(answer->text().empty()) << path;
      continue;
    }
    EXPECT_TRUE(answer->failedWith(KXURLErrorBadURL)) << path << " answered " << answer->text();
  }
}

}  // namespace
