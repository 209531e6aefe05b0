#include "WebRequest/KXWebEditorHandler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HandlerTestSupport.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

class WebEditorHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    editor_ = root_.path() + "/editor";
    std::filesystem::create_directories(editor_ + "/v7/collab/img");
    std::filesystem::create_directories(editor_ + "/v6/collab");
    std::ofstream(editor_ + "/v7/collab/index.html") << "<html></html>";
    std::ofstream(editor_ + "/v7/collab/img/logo.png") << "PNG";
    std::ofstream(editor_ + "/v7/collab/data.bin") << "%PDF-1.4\n";
    std::ofstream(editor_ + "/v6/collab/old.js") << "old";
    std::ofstream(root_.path() + "/secret.css") << "secret";
  }

  KXWebEditorHandler Handler(std::optional<std::string> version) {
    return KXWebEditorHandler([version] { return version; }, [this] { return editor_; });
  }
  std::shared_ptr<AnswerRecorder> Ask(KXWebEditorHandler& handler, const std::string& path) {
    auto recorder = std::make_shared<AnswerRecorder>();
    handler.handleRequest(ServiceRequest(path), recorder);
    EXPECT_EQ(recorder->count(), 1) << path;
    return recorder;
  }

  kxtest::TempAppRoot root_;
  std::string editor_;
};

TEST_F(WebEditorHandlerTest, AcceptsEditorPathsOnTheServiceHostWhileADownloadedVersionIsCurrent) {
  KXWebEditorHandler current = Handler("v7");
  KXWebEditorHandler builtIn = Handler(std::nullopt);
  EXPECT_TRUE(current.acceptRequest(ServiceRequest("/editor/collab/index.html")));
  EXPECT_FALSE(builtIn.acceptRequest(ServiceRequest("/editor/collab/index.html")));
  EXPECT_FALSE(current.acceptRequest(ServiceRequest("/editor/other/index.html")));
  EXPECT_FALSE(current.acceptRequest(
      ServiceRequest("/editor/collab/index.html", "", "https://evil.example")));
  KXWebEditorHandler badVersion = Handler("../v6");
  EXPECT_FALSE(badVersion.acceptRequest(ServiceRequest("/editor/collab/old.js")));
}

TEST_F(WebEditorHandlerTest, ServesTheCurrentVersionsFilesWithTypeAndCacheLifetime) {
  KXWebEditorHandler handler = Handler("v7");
  struct Case {
    const char* path;
    const char* type;
    const char* body;
  };
  for (const Case& c : {Case{"/editor/collab/index.html", "text/html", "<html></html>"},
                        Case{"/editor/collab/img/logo.png", "image/png", "PNG"},
                        Case{"/editor/collab/data.bin", "application/pdf", "%PDF-1.4\n"},
                        Case{"/editor/collab/missing.css", "text/css", ""}}) {
    auto answer = Ask(handler, c.path);
    EXPECT_EQ(answer->status(), 200) << c.path;
    EXPECT_EQ(answer->header("Content-Type").value_or(""), c.type) << c.path;
    EXPECT_EQ(answer->header("Cache-Control").value_or(""), "max-age=2592000") << c.path;
    EXPECT_EQ(answer->text(), c.body) << c.path;
  }
}

TEST_F(WebEditorHandlerTest, PathsThatLeaveTheVersionFolderAreRefused) {
  KXWebEditorHandler handler = Handler("v7");
  for (const char* path :
       {"/editor/collab/../../v6/collab/old.js", "/editor/collab/%2e%2e/%2e%2e/%2e%2e/secret.css",
        "/editor/collab//index.html", "/editor/collab/a%00.css"}) {
    auto answer = Ask(handler, path);
    EXPECT_TRUE(answer->failedWith(KXURLErrorCannotConnectToHost)) << path << " " << answer->text();
  }
}

}  // namespace
