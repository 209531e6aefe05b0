#include "CommonUtils/KXXdgURLOpener.h"

#include <gtest/gtest.h>

namespace {

TEST(KXXdgURLOpenerTest, OnlyWebAndMailLinksAreHandedToTheDesktop) {
  struct Case {
    const char* url;
    bool openable;
  };
  const Case cases[] = {
      {"https://example.org/a", true}, {"http://example.org/", true},
      {"mailto:a@example.org", true},  {"HTTPS://example.org/", true},
      {"file:///etc/passwd", false},   {"javascript:alert(1)", false},
      {"smb://server/share", false},   {"x-scheme-handler:run", false},
  };
  for (const Case& c : cases) {
    std::optional<kx::URL> url = kx::URL::parse(c.url);
    ASSERT_TRUE(url) << c.url;
    EXPECT_EQ(KXXdgURLOpener::isOpenableScheme(*url), c.openable) << c.url;
  }
}

}  // namespace
