#include "WebRequest/KXWebRequestParameters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HandlerTestSupport.h"

namespace {

using kxtest::ServiceRequest;

TEST(WebRequestParametersTest, PathComponentsDropOnlyTheFirstCharacter) {
  using V = std::vector<std::string>;
  EXPECT_EQ(KXWebRequestParameters::pathComponents(""), V{});
  EXPECT_EQ(KXWebRequestParameters::pathComponents("/"), V{""});
  EXPECT_EQ(KXWebRequestParameters::pathComponents("/qrt/mapi/tag"), (V{"qrt", "mapi", "tag"}));
  EXPECT_EQ(KXWebRequestParameters::pathComponents("/a//b"), (V{"a", "", "b"}));
}

TEST(WebRequestParametersTest, BodyPairsWinExceptTheQuerysMethod) {
  auto parsed = KXWebRequestParameters::parse(
      ServiceRequest("/qrt/mapi/tag?method=list&tagid=Q&len=5", "method=update&tagid=B%20C&x=1"));
  EXPECT_EQ(parsed.method, "list");
  EXPECT_EQ(parsed.params["tagid"].stringValue(), "B C");
  EXPECT_EQ(parsed.params["len"].stringValue(), "5");
  EXPECT_EQ(parsed.params["x"].stringValue(), "1");

  auto bodyOnly = KXWebRequestParameters::parse(ServiceRequest("/qrt/mapi/tag", "method=get"));
  EXPECT_EQ(bodyOnly.method, "get");
  EXPECT_EQ(KXWebRequestParameters::parse(ServiceRequest("/qrt/mapi/tag?x=1")).method, "");
}

}  // namespace
