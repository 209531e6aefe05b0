#include "platform/Error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace kx {
namespace {

TEST(ErrorTest, EmptyErrorMeansNoError) {
  Error none;
  EXPECT_FALSE(none);
  EXPECT_TRUE(Error("com.zarvel.note.Error", 0));
  SetError(nullptr, Error("d", 1));  // a null out-parameter is ignored
  Error out;
  SetError(&out, Error("d", 1));
  EXPECT_EQ(out, Error("d", 1));
  EXPECT_NE(out, Error("d", 2));
  EXPECT_NE(out, Error::make("d", 1, "text"));
}

TEST(ErrorTest, LocalizedDescription) {
  EXPECT_EQ(Error::make("com.zarvel.note.Error", 0x400000006, "Sync Fail").localizedDescription(),
            "Sync Fail");
  EXPECT_EQ(Error("com.zarvel.note.Error", 0x400000006).localizedDescription(),
            "The operation couldn\u2019t be completed. (com.zarvel.note.Error error 17179869190.)");
  EXPECT_EQ(Error("QopalRequestErrorDomain", -104).localizedDescription(),
            "The operation couldn\u2019t be completed. (QopalRequestErrorDomain error -104.)");
  // User info without a text description falls back to the generic wording.
  Error odd("D", 3, Value::dict({{kLocalizedDescriptionKey, 5}}));
  EXPECT_EQ(odd.localizedDescription(), "The operation couldn\u2019t be completed. (D error 3.)");
  Error mutated("D", 3);
  mutated.mutableUserInfo().set(kLocalizedDescriptionKey, "later");
  EXPECT_EQ(mutated.localizedDescription(), "later");
}

TEST(ErrorTest, PosixErrorsCarryTheSystemTextAndPath) {
  Error e = Error::posix(ENOENT, "/no/such/file");
  EXPECT_EQ(e.domain(), kPosixErrorDomain);
  EXPECT_EQ(e.code(), ENOENT);
  EXPECT_EQ(e.userInfo()[kFilePathErrorKey], Value("/no/such/file"));
  EXPECT_NE(e.localizedDescription().find(std::strerror(ENOENT)), std::string::npos);
  EXPECT_NE(e.localizedDescription().find("/no/such/file"), std::string::npos);

  Error bare = Error::posix(EACCES);
  EXPECT_EQ(bare.localizedDescription(), std::strerror(EACCES));
  EXPECT_FALSE(bare.userInfo().contains(kFilePathErrorKey));
}

TEST(ErrorTest, ExceptionNamesItsKindAndReason) {
  try {
    throw Exception("KXArgumentsInvalid", "arguments invalid");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "KXArgumentsInvalid: arguments invalid");
    const auto* ours = dynamic_cast<const Exception*>(&e);
    ASSERT_NE(ours, nullptr);
    EXPECT_EQ(ours->name(), "KXArgumentsInvalid");
    EXPECT_EQ(ours->reason(), "arguments invalid");
  }
}

TEST(ErrorTest, PrintsForTestFailures) {
  EXPECT_EQ(testing::PrintToString(Error()), "Error(none)");
  EXPECT_EQ(testing::PrintToString(Error::make("d", 7, "x")),
            "Error(d, 7, {\"NSLocalizedDescription\": \"x\"})");
}

}  // namespace
}  // namespace kx
