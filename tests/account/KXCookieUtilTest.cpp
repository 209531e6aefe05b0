#include "account/KXCookieUtil.h"

#include <gtest/gtest.h>

namespace {

TEST(KXCookieUtil, CookieTexts) {
  kx::Dictionary cookie = KXCookieUtil::cookieForValue(" QOPAL_SESS = v1 ; Path=/ ; Secure; a=b=c");
  EXPECT_EQ(cookie["name"].stringValue(), "QOPAL_SESS");
  EXPECT_EQ(cookie["value"].stringValue(), "v1");
  EXPECT_EQ(cookie["Path"].stringValue(), "/");
  EXPECT_FALSE(cookie.contains("Secure"));
  EXPECT_FALSE(cookie.contains("a")) << "a piece with two \"=\" is skipped";
  EXPECT_FALSE(KXCookieUtil::cookieForValue("n=a=b").contains("value"));

  std::optional<kx::Dictionary> many = KXCookieUtil::cookiesFromObject(
      kx::Value(kx::Array{kx::Value("A=1; Path=/"), kx::Value("B=2")}));
  ASSERT_TRUE(many);
  EXPECT_EQ((*many)["A"]["value"].stringValue(), "1");
  EXPECT_EQ((*many)["B"]["value"].stringValue(), "2");
  std::optional<kx::Dictionary> one = KXCookieUtil::cookiesFromObject(kx::Value("C=3"));
  ASSERT_TRUE(one);
  EXPECT_EQ((*one)["C"]["name"].stringValue(), "C");
  EXPECT_FALSE(KXCookieUtil::cookiesFromObject(kx::Value(5)));
}

}  // namespace
