#include "WebRequest/KXWebUserRequestHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "HandlerTestSupport.h"
#include "WebRequest/KXLocalFileHost.h"
#include "support/TestParamNames.h"

namespace {

using kxtest::AnswerRecorder;
using kxtest::ServiceRequest;

class WebUserRequestHandlerTest : public kxtest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    appData_ = root_.path() + "/appdata";
    KXWebUserRequestHandler::setSignOutHook([this] { ++signOuts_; });
  }
  void TearDown() override {
    KXWebUserRequestHandler::setSignOutHook(nullptr);
    StoreFixture::TearDown();
  }

  KXWebUserRequestHandler Handler(std::string user = "alice") {
    return KXWebUserRequestHandler(KXWebUserRequestHandler::Environment{
        [this, user]() -> KXDataClient* { return user == "EmptyUser" ? nullptr : client_.get(); },
        [user] { return user; },
        [this](const std::string& imageURL) {
          return imageURL.find("nophoto") != std::string::npos
                     ? std::string()
                     : appData_ + "/alice/IconImage/" + std::to_string(imageURL.size());
        },
        [this] { return appData_; },
        [this](const kx::HTTPTransport::Cookie& cookie) { cookies_.push_back(cookie); },
        [] { return std::string("note.zarvel.com"); },
    });
  }

  void StoreUser(const std::string& selfInfo) {
    Write([&](KXManagedObjectContext& c) {
      kx::Dictionary fields{
          {"userId", "alice"}, {"nickname", "Al"}, {"is_vip", 1}, {"registerTime", "1600000000"}};
      if (!selfInfo.empty()) fields.set("selfInfo", kx::Bytes(selfInfo.begin(), selfInfo.end()));
      Put(c, "User", fields);
    });
  }

  std::shared_ptr<AnswerRecorder> Ask(KXWebUserRequestHandler& handler, const std::string& path) {
    auto recorder = std::make_shared<AnswerRecorder>();
    handler.handleRequest(ServiceRequest(path), recorder);
    return recorder;
  }

  std::string appData_;
  std::atomic<int> signOuts_{0};
  std::vector<kx::HTTPTransport::Cookie> cookies_;
};

TEST_F(WebUserRequestHandlerTest, AcceptsTheThreeCallsOnly) {
  KXWebUserRequestHandler handler = Handler();
  const std::vector<std::pair<std::string, bool>> cases = {
      {"/qrt/mapi/user?method=get", true}, {"/qrt/mapi/user?method=put", false},
      {"/qrt/mapi/user", false},           {"/qrt/api/self?method=get", true},
      {"/qrt/api/self?x=1", false},        {"/auth/reset", true},
      {"/auth/reset?next=/", true},        {"/auth", false},
      {"/qrt/mapi/tag?method=get", false}, {"/qrt/mapi", false},
  };
  for (const auto& [path, accepted] : cases) {
    EXPECT_EQ(handler.acceptRequest(ServiceRequest(path)), accepted) << path;
  }
}

TEST_F(WebUserRequestHandlerTest, UserMetaUsesServiceNamesAndSetsTheTokenCookieBothWays) {
  StoreUser("");
  KXWebUserRequestHandler handler = Handler();
  auto answer = Ask(handler, "/qrt/mapi/user?method=get");
  ASSERT_EQ(answer->count(), 1);
  EXPECT_EQ(answer->status(), 200);
  kx::Value meta = answer->json();
  EXPECT_EQ(meta["uid"].stringValue(), "alice");
  EXPECT_EQ(meta["nickname"].stringValue(), "Al");
  EXPECT_FALSE(meta.contains("userId")) << "local names are not answered";
  EXPECT_EQ(answer->header("Set-Cookie").value_or(""),
            "QOPAL_CSTK=plabVorn; Domain=.note.zarvel.com; Path=/");
  ASSERT_EQ(cookies_.size(), 1u);
  EXPECT_EQ(cookies_[0].name, "QOPAL_CSTK");
  EXPECT_EQ(cookies_[0].value, "plabVorn");
  EXPECT_EQ(cookies_[0].domain, ".note.zarvel.com");
  EXPECT_EQ(cookies_[0].path, "/");
}

TEST_F(WebUserRequestHandlerTest, NoStoredUserOrNobodySignedInAnswersAnEmptyObject) {
  KXWebUserRequestHandler signedIn = Handler();
  auto noUser = Ask(signedIn, "/qrt/mapi/user?method=get");
  ASSERT_EQ(noUser->count(), 1);
  EXPECT_EQ(noUser->status(), 200);
  EXPECT_TRUE(noUser->json().isDictionary());
  EXPECT_TRUE(noUser->json().dict().empty()) << noUser->text();

  KXWebUserRequestHandler nobody = Handler("EmptyUser");
  for (const char* path :
       {"/qrt/mapi/user?method=get", "/qrt/api/self?method=get", "/auth/reset"}) {
    auto answer = Ask(nobody, path);
    ASSERT_EQ(answer->count(), 1) << path;
    EXPECT_EQ(answer->status(), 200) << path;
    EXPECT_EQ(answer->text().find("null"), std::string::npos) << path;
    EXPECT_TRUE(answer->json().isDictionary() && answer->json().dict().empty()) << path;
  }
  EXPECT_EQ(signOuts_.load(), 0);
}

TEST_F(WebUserRequestHandlerTest, SignOutRunsTheHookAndAnswersOnceWithAnEmptyBody) {
  KXWebUserRequestHandler handler = Handler();
  auto answer = Ask(handler, "/auth/reset");
  EXPECT_EQ(signOuts_.load(), 1);
  ASSERT_EQ(answer->count(), 1);
  EXPECT_EQ(answer->status(), 200);
  EXPECT_TRUE(answer->text().empty());
}

TEST_F(WebUserRequestHandlerTest, SelfInfoPhotoIsServedThroughTheLocalFileHost) {
  StoreUser(R"({"userId": "alice", "photo": "https://img.example/p/a.png?s=1", "name": "Al"})");
  KXWebUserRequestHandler handler = Handler();
  auto answer = Ask(handler, "/qrt/api/self?method=get");
  ASSERT_EQ(answer->count(), 1);
  const std::string photo = answer->json()["photo"].stringValue();
  EXPECT_EQ(photo.rfind(KXLocalFileHost() + "/alice/IconImage/", 0), 0u) << photo;
  EXPECT_EQ(answer->json()["name"].stringValue(), "Al");
}

// Self info without a usable photo is answered byte for byte.
class UnusablePhotoTest : public WebUserRequestHandlerTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(UnusablePhotoTest, SelfInfoIsAnsweredAsStored) {
  const std::string stored = GetParam();
  StoreUser(stored);
  KXWebUserRequestHandler handler = Handler();
  auto answer = Ask(handler, "/qrt/api/self?method=get");
  ASSERT_EQ(answer->count(), 1);
  EXPECT_EQ(answer->text(), stored);
}

INSTANTIATE_TEST_SUITE_P(Stored, UnusablePhotoTest,
                         ::testing::Values(R"({"userId":"alice","photo":""})",
                                           R"({"photo":"https://img.example/nophoto"})",
                                           "not json {"),
                         kxtest::byIndexAndText([](const char* stored) { return stored; }));

TEST_F(WebUserRequestHandlerTest, DefaultSelfInfoWithoutAStoredUser) {
  KXWebUserRequestHandler handler = Handler();
  auto answer = Ask(handler, "/qrt/api/self?method=get");
  ASSERT_EQ(answer->count(), 1);
  kx::Value info = answer->json();
  EXPECT_EQ(info.dict().size(), 11u);
  EXPECT_TRUE(info["vip"].isBool());
  EXPECT_FALSE(info["vip"].boolValue());
  EXPECT_EQ(info["name"].stringValue(), "");
  EXPECT_EQ(info["modifyTime"].stringValue(), "");
  EXPECT_EQ(info["userId"].stringValue(), "alice");
  EXPECT_EQ(info["properties"]["isvip"].stringValue(), "false");
  EXPECT_EQ(info["properties"]["FEED_BACK_ID"].stringValue(), "0");
}

TEST_F(WebUserRequestHandlerTest, DefaultSelfInfoOfAStoredUserWithoutSelfInfo) {
  StoreUser("");
  KXWebUserRequestHandler handler = Handler();
  kx::Value info = Ask(handler, "/qrt/api/self?method=get")->json();
  EXPECT_EQ(info["vip"].intValue(), 1);
  EXPECT_EQ(info["name"].stringValue(), "Al");
  EXPECT_EQ(info["modifyTime"].stringValue(), "1600000000");
  EXPECT_EQ(info["properties"]["isvip"].stringValue(), "true");
}

TEST_F(WebUserRequestHandlerTest, MissingOrUnknownMethodAnswersMinus1000) {
  KXWebUserRequestHandler handler = Handler();
  for (const char* path : {"/qrt/mapi/user", "/qrt/mapi/user?method=put", "/qrt/api/self?m=get"}) {
    auto answer = Ask(handler, path);
    ASSERT_EQ(answer->count(), 1) << path;
    EXPECT_TRUE(answer->failedWith(KXURLErrorBadURL)) << path;
  }
}

}  // namespace
