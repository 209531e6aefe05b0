#include "account/KXCookieJarFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "support/TempAppRoot.h"

namespace {

using Cookie = kx::HTTPTransport::Cookie;

class KXCookieJarFileTest : public ::testing::Test {
 protected:
  std::string path() const { return kx::Path::appendingPathComponent(root_.path(), "cookies.dat"); }
  static bool has(kx::HTTPTransport& transport, const std::string& name, const std::string& value) {
    for (const Cookie& cookie : transport.cookies()) {
      if (cookie.name == name && cookie.value == value) return true;
    }
    return false;
  }

  kxtest::TempAppRoot root_;
};

TEST_F(KXCookieJarFileTest, ChangesOfTheJarAreWrittenPrivatelyAndReadBack) {
  kx::HTTPTransport first;
  auto file = std::make_shared<KXCookieJarFile>(first, path());
  file->attach();  // no file yet: nothing to read
  EXPECT_TRUE(first.cookies().empty());
  first.setCookie({"note.zarvel.com", false, "/", true, true, 0, "QOPAL_SESS", "s1"});
  first.setCookie({"zarvel.com", true, "/", true, false, 4102444800, "QOPAL_PERS", "p1"});
  first.setCookie({"note.zarvel.com", false, "/", false, false, 0, "GONE", "x"});
  first.deleteCookie({"note.zarvel.com", false, "/", false, false, 0, "GONE", ""});
  file->flush();
  struct stat info;
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  file.reset();

  kx::HTTPTransport second;
  auto again = std::make_shared<KXCookieJarFile>(second, path());
  again->attach();
  EXPECT_EQ(second.cookies().size(), 2u);
  EXPECT_TRUE(has(second, "QOPAL_SESS", "s1")) << "session cookies survive a restart too";
  EXPECT_TRUE(has(second, "QOPAL_PERS", "p1"));
  for (const Cookie& cookie : second.cookies()) {
    if (cookie.name == "QOPAL_SESS") EXPECT_TRUE(cookie.httpOnly);
  }
}

TEST_F(KXCookieJarFileTest, ExpiredAndUnreadableLinesAreSkipped) {
  ASSERT_TRUE(
      kx::FileSystem::Default().writeFile(path(),
                                          "# comment\n"
                                          "note.zarvel.com\tFALSE\t/\tTRUE\t1\tOLD\tx\n"
                                          "not a cookie line\n"
                                          "\n"
                                          "#HttpOnly_note.zarvel.com\tFALSE\t/\tTRUE\t0\tKEPT\tk\n",
                                          nullptr));
  kx::HTTPTransport transport;
  auto file = std::make_shared<KXCookieJarFile>(transport, path());
  file->attach();
  ASSERT_EQ(transport.cookies().size(), 1u);
  EXPECT_TRUE(has(transport, "KEPT", "k"));
}

// Lines the jar would change (a NUL cutting the value, a domain that reads
// back as another field or as a comment) are not read, so what is written
// next reads back as it was written.
TEST_F(KXCookieJarFileTest, WhatIsWrittenReadsBackTheSame) {
  ASSERT_TRUE(kx::FileSystem::Default().writeFile(
      path(),
      std::string_view("a.zarvel.com	FALSE	/	FALSE	0	NUL	ab\0cd\n"
                       ".	FALSE	/	FALSE	0	DOT	v\n"
                       ".#a.com	TRUE	/	FALSE	0	HASH	v\n"
                       "#a.com	FALSE	/	FALSE	0	COMMENT	v\n"
                       "	FALSE	/	FALSE	0	EMPTY	v\n"
                       "note.zarvel.com	FALSE	/	TRUE	0	KEPT	k\n",
                       189),
      nullptr));
  std::vector<std::pair<std::string, std::string>> written;
  {
    kx::HTTPTransport first;
    auto file = std::make_shared<KXCookieJarFile>(first, path());
    file->attach();
    for (const Cookie& cookie : first.cookies()) written.emplace_back(cookie.name, cookie.value);
    EXPECT_EQ(written, (std::vector<std::pair<std::string, std::string>>{{"KEPT", "k"}}));
    // The jar refuses them when they are set directly.
    EXPECT_FALSE(first.setCookie({".", false, "/", false, false, 0, "DOT", "v"}));
    EXPECT_FALSE(first.setCookie({".#b.com", true, "/", false, false, 0, "HASH", "v"}));
    EXPECT_FALSE(first.setCookie({"a.com", false, "/", false, false, 0, "NUL", {"a\0b", 3}}));
    ASSERT_TRUE(file->save(nullptr));
  }
  std::string text;
  ASSERT_TRUE(kx::FileSystem::Default().readFile(path(), &text, nullptr));
  EXPECT_EQ(text.find("DOT"), std::string::npos) << text;
  EXPECT_EQ(text.find("HASH"), std::string::npos) << text;
  kx::HTTPTransport second;
  auto again = std::make_shared<KXCookieJarFile>(second, path());
  again->attach();
  std::vector<std::pair<std::string, std::string>> read;
  for (const Cookie& cookie : second.cookies()) read.emplace_back(cookie.name, cookie.value);
  EXPECT_EQ(read, written);
}

}  // namespace
