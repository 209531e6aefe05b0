#include "WebRequest/KXWebPreviewRequestHandler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HandlerTestSupport.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

TEST(WebPreviewRequestHandlerTest, WithoutAPluginInterfaceEveryPreviewIsRefused) {
  KXWebPreviewRequestHandler& shared = KXWebPreviewRequestHandler::sharedHandler();
  EXPECT_FALSE(shared.acceptRequest(ServiceRequest("/qrt/api/personal/preview/F1")));
  EXPECT_FALSE(shared.acceptRequest(ServiceRequest("/qrt/api/personal/preview")));

  KXWebPreviewRequestHandler withPlugin(true);
  EXPECT_TRUE(withPlugin.acceptRequest(ServiceRequest("/qrt/api/personal/preview/F1")));
  EXPECT_TRUE(withPlugin.acceptRequest(ServiceRequest("/qrt/api/personal/preview")));
  EXPECT_FALSE(withPlugin.acceptRequest(ServiceRequest("/qrt/api/personal/file/F1")));
}

TEST(WebPreviewRequestHandlerTest, WithoutAFileIdTheAnswerIsABadServerResponse) {
  KXWebPreviewRequestHandler withPlugin(true);
  auto answer = std::make_shared<AnswerRecorder>();
  withPlugin.handleRequest(ServiceRequest("/qrt/api/personal/preview"), answer);
  ASSERT_EQ(answer->count(), 1);
  EXPECT_TRUE(answer->failedWith(-1011));
}

TEST(WebPreviewRequestHandlerTest, PageEmbedsTheCopyWithItsType) {
  const std::string page = KXWebPreviewRequestHandler::previewPage(
      "window.changeBg = function() {};", "/tmp/alice/F1/report.pdf", "application/kxpreviewtype");
  EXPECT_EQ(page,
            "<html style=\"height: 100%; margin: 0;\"><body style=\"height: 100%; margin: 0;\">"
            "<script>window.changeBg = function() {};</script>"
            "<embed src=\"/tmp/alice/F1/report.pdf\" style=\"height: 100%; width: 100%;\" "
            "type=\"application/kxpreviewtype\"></embed></body></html>");
}

TEST(WebPreviewRequestHandlerTest, PageAttributesAndScriptCannotBeBrokenOutOf) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a\"onload=\"x()", "a&quot;onload=&quot;x()"},
      {"it's <b>&", "it&#39;s &lt;b&gt;&amp;"},
      {std::string("line\r\nbreak\0", 12), "linebreak"},
  };
  for (const auto& [raw, escaped] : cases) {
    EXPECT_EQ(KXWebPreviewRequestHandler::escapeAttribute(raw), escaped);
    const std::string page = KXWebPreviewRequestHandler::previewPage("", raw, "t");
    EXPECT_NE(page.find("src=\"" + escaped + "\""), std::string::npos) << page;
  }
  const std::string page =
      KXWebPreviewRequestHandler::previewPage("x = '</script><img src=y>';", "/f", "t");
  EXPECT_EQ(page.find("</script><img"), std::string::npos) << page;
}

}  // namespace
