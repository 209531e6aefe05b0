#include "platform/ErrorOr.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using kx::Error;
using kx::ErrorOr;

TEST(ErrorOrTest, HoldsAValueOrAnErrorAndRefusesTheOtherRead) {
  ErrorOr<std::string> ok = std::string("folder");
  ASSERT_TRUE(ok);
  EXPECT_FALSE(ok.isError());
  EXPECT_EQ(ok.value(), "folder");
  EXPECT_THROW((void)ok.error(), kx::Exception);

  ErrorOr<std::string> failed = Error::posix(13, "/x");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code(), 13);
  EXPECT_THROW((void)failed.value(), kx::Exception);
  EXPECT_EQ(failed.valueOr("fallback"), "fallback");
  EXPECT_EQ(ok.valueOr("fallback"), "folder");
}

TEST(ErrorOrTest, ReleasesAMoveOnlyValue) {
  ErrorOr<std::unique_ptr<int>> held = std::make_unique<int>(7);
  std::unique_ptr<int> out = held.releaseValue();
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, 7);
}

}  // namespace
