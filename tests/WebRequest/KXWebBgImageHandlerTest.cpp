#include "WebRequest/KXWebBgImageHandler.h"

#include <gtest/gtest.h>

#include <memory>

#include "HandlerTestSupport.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

TEST(WebBgImageHandlerTest, AcceptsTheListMethodOnly) {
  KXWebBgImageHandler handler([] { return kx::Array(); });
  EXPECT_TRUE(
      handler.acceptRequest(ServiceRequest("/qrt/api/personal/notebackground?method=listBgImage")));
  EXPECT_FALSE(
      handler.acceptRequest(ServiceRequest("/qrt/api/personal/notebackground?method=get")));
  EXPECT_FALSE(handler.acceptRequest(ServiceRequest("/qrt/api/personal/notebackground")));
  EXPECT_FALSE(handler.acceptRequest(ServiceRequest("/qrt/api/personal/file?method=listBgImage")));
}

TEST(WebBgImageHandlerTest, AnswersTheListAndAnEmptyArrayWithoutOne) {
  kx::Array list{kx::Value::dict(
      {{"bgImageId", "p1.png"}, {"bgImageUrl", "https://localfile.zarvel.note/bgImage/p1.png"}})};
  KXWebBgImageHandler withList([list] { return list; });
  auto answer = std::make_shared<AnswerRecorder>();
  withList.handleRequest(ServiceRequest("/qrt/api/personal/notebackground?method=listBgImage"),
                         answer);
  ASSERT_EQ(answer->count(), 1);
  EXPECT_EQ(answer->status(), 200);
  EXPECT_EQ(answer->json().array().size(), 1u);
  EXPECT_EQ(answer->json().array()[0]["bgImageId"].stringValue(), "p1.png");

  // No provider installed: an empty array.
  KXWebBgImageHandler::setListProvider(nullptr);
  KXWebBgImageHandler without;
  auto empty = std::make_shared<AnswerRecorder>();
  without.handleRequest(ServiceRequest("/qrt/api/personal/notebackground?method=listBgImage"),
                        empty);
  ASSERT_EQ(empty->count(), 1);
  EXPECT_TRUE(empty->json().isArray());
  EXPECT_TRUE(empty->json().array().empty());
}

}  // namespace
