#include "account/NSMutableURLRequestKXCustom.h"

#include <gtest/gtest.h>

namespace {

class NSMutableURLRequestKXCustomTest : public ::testing::Test {
 protected:
  void TearDown() override { NSMutableURLRequestKXCustom::resetCommonStaticsQueryForTesting(); }
};

TEST_F(NSMutableURLRequestKXCustomTest, CommonStatisticsWinAndNothingIsEscapedTwice) {
  EXPECT_FALSE(NSMutableURLRequestKXCustom::commonStaticsQueryDict());
  NSMutableURLRequestKXCustom::settingCommonStaticsQuery(
      "keyfrom=note.1.mac&os=OS_X&device_name=Ann%20Lee&bare");
  std::optional<kx::Dictionary> common = NSMutableURLRequestKXCustom::commonStaticsQueryDict();
  ASSERT_TRUE(common);
  EXPECT_EQ(common->size(), 3u) << "pieces without \"=\" are skipped";
  EXPECT_EQ((*common)["device_name"].stringValue(), "Ann%20Lee") << "values stay escaped";

  kx::Dictionary params{{"keyfrom", "mine"}, {"q", "a b&c"}, {"n", 5}};
  kx::Dictionary headers{{"User-Agent", "Lumbox Client Mac"}};
  std::optional<kx::URLRequest> request = NSMutableURLRequestKXCustom::requestWithString(
      "https://note.zarvel.com/login/acc/x?os=mine&t=%2F1#top", &params, &headers);
  ASSERT_TRUE(request);
  const std::string query = request->url().query().value_or("");
  EXPECT_NE(query.find("os=OS_X"), std::string::npos) << query;
  EXPECT_EQ(query.find("os=mine"), std::string::npos) << query;
  EXPECT_NE(query.find("keyfrom=note.1.mac"), std::string::npos) << query;
  EXPECT_EQ(query.find("keyfrom=mine"), std::string::npos) << query;
  EXPECT_NE(query.find("t=%2F1"), std::string::npos) << query;
  EXPECT_NE(query.find("device_name=Ann%20Lee"), std::string::npos) << query;
  EXPECT_EQ(query.find("%25"), std::string::npos) << "nothing escaped twice: " << query;
  EXPECT_NE(query.find("q=a%20b%26c"), std::string::npos) << query;
  EXPECT_NE(query.find("n=5"), std::string::npos) << query;
  EXPECT_EQ(request->url().fragment(), std::optional<std::string>("top"));
  EXPECT_EQ(request->HTTPMethod(), "GET");
  EXPECT_EQ(request->timeoutInterval(), 30);
  EXPECT_EQ(request->valueForHTTPHeaderField("user-agent"), "Lumbox Client Mac");

  EXPECT_FALSE(NSMutableURLRequestKXCustom::requestWithString("not a url", nullptr, nullptr));
}

}  // namespace
