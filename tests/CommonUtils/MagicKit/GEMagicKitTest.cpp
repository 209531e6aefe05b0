#include "CommonUtils/MagicKit/GEMagicKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "CommonUtils/MagicKit/GETypeIdentifiers.h"
#include "platform/Places.h"
#include "support/TempAppRoot.h"

namespace {

// The first bytes of a 1x1 PNG.
const kx::Bytes kPNG = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a, 0,    0,    0,
                        0x0d, 'I', 'H', 'D', 'R',  0,    0,    0,    1,    0,    0,
                        0,    1,   8,   6,   0,    0,    0,    0x1f, 0x15, 0xc4, 0x89};

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Points the resources folder elsewhere for the scope and makes the sniffer
// load its database again on the way in and out.
class ResourcesFolder {
 public:
  explicit ResourcesFolder(const std::string& folder) {
    const char* old = std::getenv(kx::Places::kResourcesEnvironmentVariable);
    if (old) old_ = old;
    setenv(kx::Places::kResourcesEnvironmentVariable, folder.c_str(), 1);
    GEMagicKit::resetForTesting();
  }
  ~ResourcesFolder() {
    if (old_)
      setenv(kx::Places::kResourcesEnvironmentVariable, old_->c_str(), 1);
    else
      unsetenv(kx::Places::kResourcesEnvironmentVariable);
    GEMagicKit::resetForTesting();
  }

 private:
  std::optional<std::string> old_;
};

}  // namespace

TEST(GEMagicKitTest, PNGBuffer) {
  kx::Error error;
  std::optional<GEMagicResult> result = GEMagicKit::magicForData(kPNG, &error);
  ASSERT_TRUE(result) << error.localizedDescription();
  EXPECT_EQ(result->mimeType().rfind("image/png", 0), 0u) << result->mimeType();
  EXPECT_NE(result->description().find("PNG image data"), std::string::npos)
      << result->description();
  EXPECT_EQ(result->uniformType(), "public.png");
  EXPECT_TRUE(contains(result->uniformTypeHierarchy(), "public.image"));
  EXPECT_EQ(result->uniformTypeHierarchy(),
            (std::vector<std::string>{"public.png", "public.image", "public.data", "public.content",
                                      "public.item"}));
}

TEST(GEMagicKitTest, PlainTextCarriesItsCharsetButMapsWithout) {
  const std::string text = "Just some plain words, nothing more.\nA second line.\n";
  kx::Error error;
  std::optional<GEMagicResult> result =
      GEMagicKit::magicForData(kx::Bytes(text.begin(), text.end()), &error);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->mimeType().rfind("text/plain; charset=", 0), 0u) << result->mimeType();
  EXPECT_EQ(result->uniformType(), "public.plain-text");
  EXPECT_TRUE(contains(result->uniformTypeHierarchy(), "public.text"));
}

TEST(GEMagicKitTest, FilesByPathAndURL) {
  kxtest::TempAppRoot root;
  const std::string path = root.path() + "/picture.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(kPNG.data()), kPNG.size());
  kx::Error error;
  std::optional<GEMagicResult> byPath = GEMagicKit::magicForFileAtPath(path, &error);
  ASSERT_TRUE(byPath);
  EXPECT_EQ(byPath->uniformType(), "public.png");
  std::optional<GEMagicResult> byURL =
      GEMagicKit::magicForFileAtURL(kx::URL::fileURLWithPath(path), &error);
  ASSERT_TRUE(byURL);
  EXPECT_EQ(byURL->mimeType(), byPath->mimeType());
  EXPECT_FALSE(
      GEMagicKit::magicForFileAtURL(*kx::URL::parse("https://example.com/picture.png"), &error));
  // A path libmagic cannot read gives its own answer, not a failure.
  std::optional<GEMagicResult> missing =
      GEMagicKit::magicForFileAtPath(root.path() + "/nope", &error);
  ASSERT_TRUE(missing);
  EXPECT_NE(missing->description().find("cannot open"), std::string::npos)
      << missing->description();
}

TEST(GEMagicKitTest, ObjectsMustBeDataOrPaths) {
  kx::Error error;
  EXPECT_EQ(GEMagicKit::magicForObject(kx::Value(kPNG), false, &error)->uniformType(),
            "public.png");
  EXPECT_THROW(GEMagicKit::magicForObject(kx::Value(42), false, &error), kx::Exception);
}

TEST(GEMagicKitTest, MissingDatabaseIsAnErrorAndRecovers) {
  kxtest::TempAppRoot root;
  {
    ResourcesFolder empty(root.path());
    kx::Error error;
    EXPECT_FALSE(GEMagicKit::magicForData(kPNG, &error));
    EXPECT_EQ(error.domain(), kGEMagicKitErrorDomain);
    EXPECT_NE(error.localizedDescription().find("There was an error opening the magic database: "),
              std::string::npos);
    // Still failing, still no crash.
    EXPECT_FALSE(GEMagicKit::magicForFileAtPath(root.path(), &error));
  }
  kx::Error error;
  EXPECT_TRUE(GEMagicKit::magicForData(kPNG, &error));
}

TEST(GEMagicKitTest, CallsFromManyThreadsKeepTheirOwnAnswers) {
  const std::string text = "plain text for the threads\n";
  const kx::Bytes textBytes(text.begin(), text.end());
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const bool png = (t + i) % 2 == 0;
        std::optional<GEMagicResult> r = GEMagicKit::magicForData(png ? kPNG : textBytes, nullptr);
        // An answer made with the other call's flags would show the charset
        // in the description or miss it in the MIME type.
        if (!r || r->uniformType() != (png ? "public.png" : "public.plain-text") ||
            r->description().find("charset=") != std::string::npos ||
            r->mimeType().find("charset=") == std::string::npos)
          ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(GEMagicKitTest, TypeHierarchies) {
  EXPECT_EQ(
      GEMagicKit::typeHierarchyForType("public.jpeg"),
      (std::vector<std::string>{"public.image", "public.data", "public.content", "public.item"}));
  EXPECT_EQ(GEMagicKit::typeHierarchyForType("public.item"), std::vector<std::string>{});
  EXPECT_FALSE(GEMagicKit::typeHierarchyForType("com.example.unknown"));
  EXPECT_EQ(GETypeIdentifiers::preferredExtensionForMIMEType("IMAGE/JPEG"), "jpeg");
  EXPECT_EQ(GETypeIdentifiers::preferredIdentifierForExtension("JPG"), "public.jpeg");
  EXPECT_EQ(GETypeIdentifiers::preferredMIMEType("public.zip-archive"), "application/zip");
  EXPECT_EQ(GETypeIdentifiers::preferredIdentifierForMIMEType("application/x-unknown"), "");
}
