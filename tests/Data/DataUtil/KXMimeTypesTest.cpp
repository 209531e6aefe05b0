#include <gtest/gtest.h>

#include <string>

#include "Data/DataUtil/KXMimeTypes.h"
#include "platform/FileSystem.h"
#include "support/TempAppRoot.h"

namespace {

TEST(KXMimeTypesTest, ReadsTheFirstExtensionOfEachType) {
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/mime.types";
  ASSERT_TRUE(
      kx::FileSystem::Posix().writeFile(path,
                                        std::string("# a comment: text/html htm\n"
                                                    "\n"
                                                    "application/x-made-up\t\tmup  mu\n"
                                                    "Image/JPEG   jfif jpg   # comment\r\n"
                                                    "application/no-extension\n"
                                                    "application/x-made-up  other\n"
                                                    "text/x-last tl"),  // no final line feed
                                        nullptr));
  const KXMimeTypes types(path);
  struct Case {
    const char* mimeType;
    const char* extension;
  };
  const Case cases[] = {
      {"application/x-made-up", "mup"},  // a type listed twice keeps its first line
      {"APPLICATION/X-MADE-UP", "mup"},
      {"image/jpeg", "jfif"},  // the file wins over the built-in table
      {"text/x-last", "tl"},
      {"text/x-last; charset=utf-8", "tl"},
      {"application/no-extension", ""},
      {"application/pdf", "pdf"},  // not in the file: the built-in table
      {"text/html", "html"},       // only in a comment of the file
      {"application/x-nobody-knows", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(types.preferredExtensionForMIMEType(c.mimeType), c.extension) << c.mimeType;
  }
}

TEST(KXMimeTypesTest, MissingFileLeavesTheBuiltInTable) {
  kxtest::TempAppRoot root;
  const KXMimeTypes types(root.path() + "/none");
  EXPECT_EQ(types.preferredExtensionForMIMEType("image/png"), "png");
  EXPECT_EQ(types.preferredExtensionForMIMEType("text/plain"), "txt");
  EXPECT_EQ(types.preferredExtensionForMIMEType("application/x-unknown"), "");
}

}  // namespace
