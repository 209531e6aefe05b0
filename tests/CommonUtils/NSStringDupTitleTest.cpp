#include "CommonUtils/NSStringDupTitle.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "CommonUtils/KXFont.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "platform/Text.h"

namespace {

using D = NSStringDupTitle;
using Comps = NSStringDupTitle::Comps;

std::size_t units(std::string_view s) { return kx::Text::utf16Length(s); }

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// ---- Duplicate titles --------------------------------------------------------

TEST(NSStringDupTitleTest, SplitsTitlesIntoBaseAndCounter) {
  struct Case {
    const char* title;
    Comps comps;
  };
  const Case cases[] = {
      {"Plan(3)", {"Plan", 3, ""}},
      {"Plan", {"Plan", 0, ""}},
      {"(3)", {"(3)", 0, ""}},  // the base needs at least one character
      {"Plan(3)x", {"Plan(3)x", 0, ""}},
      {"Plan()", {"Plan()", 0, ""}},
      {"a(1)(2)", {"a(1)", 2, ""}},
      {"计划(12)", {"计划", 12, ""}},
      {"😀(7)", {"😀", 7, ""}},
      {"", {"", 0, ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(D::dupTitleComps(c.title), c.comps) << c.title;
}

TEST(NSStringDupTitleTest, SplitsFileNamesIntoBaseCounterAndTail) {
  struct Case {
    const char* name;
    Comps comps;
  };
  const Case cases[] = {
      {"a(2).txt", {"a", 2, ".txt"}},
      {"report.pdf", {"report", 0, ".pdf"}},
      {"README", {"README", 0, "."}},
      {"笔记(12).md", {"笔记", 12, ".md"}},
      {"a(2)", {"a", 2, ""}},
      {"a(2)b.tar.gz", {"a", 2, "b.tar.gz"}},
      {"报告.docx", {"报告", 0, ".docx"}},
      {".hidden", {".hidden", 0, "."}},
  };
  for (const Case& c : cases) EXPECT_EQ(D::dupFileTitleComps(c.name), c.comps) << c.name;
}

TEST(NSStringDupTitleTest, JoinsComponentsWithinEightyUnits) {
  const std::string ascii90 = repeat("a", 90);
  EXPECT_EQ(D::dupTitleFromComps({ascii90, 12, ""}), repeat("a", 76) + "(12)");
  EXPECT_EQ(D::dupTitleFromComps({"Plan", 0, ""}), "Plan(0)");
  // The tail is not counted.
  EXPECT_EQ(D::dupTitleFromComps({repeat("a", 80), 1, ".txt"}), repeat("a", 77) + "(1).txt");
  EXPECT_EQ(D::dupTitleFromComps({repeat("中", 90), 12, ""}), repeat("中", 76) + "(12)");

  // Cuts never split a character or a composed sequence: they fall before it.
  struct Case {
    std::string base;
    std::string expectedBase;
  };
  const Case cases[] = {
      {repeat("😀", 40), repeat("😀", 38)},                  // 77 units allowed: 38 pairs
      {repeat("a", 76) + "😀", repeat("a", 76)},            // the pair would end at 78
      {repeat("a", 75) + "👍🏽", repeat("a", 75)},     // emoji with its skin tone
      {repeat("a", 76) + "e\u0301", repeat("a", 76)},      // letter with its accent
      {repeat("a", 73) + "🇨🇳🇯🇵", repeat("a", 73) + "🇨🇳"},  // flags go whole, one by one
  };
  for (const Case& c : cases) {
    std::string title = D::dupTitleFromComps({c.base, 1, ""});
    EXPECT_EQ(title, c.expectedBase + "(1)") << c.base;
    EXPECT_LE(units(title), 80u);
  }
}

// ---- Digests -------------------------------------------------------------------

TEST(NSStringDupTitleTest, DigestsInLowerCaseHex) {
  const unsigned char bytes[] = {0x00, 0xff, 0x10, 0xab};
  EXPECT_EQ(D::hexStringFromBytes(bytes, sizeof(bytes)), "00ff10ab");
  EXPECT_EQ(D::hexStringFromBytes(bytes, 0), "");

  struct Case {
    const char* text;
    const char* md5;
    const char* sha1;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"中文", "a7bac2239fcdcb3a067903d8077c4a07", "7be2d2d20c106eee0836c9bc2b939890a78e8fb3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(D::MD5String(c.text), c.md5) << c.text;
    EXPECT_EQ(D::MD5WithData(std::string_view(c.text)), c.md5) << c.text;
    EXPECT_EQ(D::sha1(c.text), c.sha1) << c.text;
    EXPECT_EQ(D::sha1ForData(std::string_view(c.text)), c.sha1) << c.text;
  }
}

TEST(NSStringDupTitleTest, DigestsTakeBuffersAboveFourGiB) {
  // 2^32 + 1 zero bytes: a length kept in 32 bits would hash a single byte.
  const std::size_t size = (std::size_t(1) << 32) + 1;
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB of address space";
  const kx::ByteView zeros(p, size);
  // SHA-1 only: MD5WithData passes its buffer the same way and is three
  // times slower over 4 GiB.
  EXPECT_EQ(D::sha1ForData(zeros), "e7d747b75f76e0e41e83b75bce4642816136304f");
  munmap(p, size);
}

// ---- Note text -------------------------------------------------------------------

TEST(NSStringDupTitleTest, DecodesNumericReferences) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"&#65;&#x42;", "AB"},
      {"&#X4a;&#x4A;", "JJ"},
      {"&#0;", "&#0;"},            // out of range
      {"&#65536;", "&#65536;"},    // out of range
      {"&#x1F600;", "&#x1F600;"},  // beyond one UTF-16 unit
      {"&#xFFFE;", "\uFFFE"},
      {"&amp;", "&amp;"},  // named references stay
      {"&#20013;&#x6587;", "中文"},
      {"&#xD800;", "\uFFFD"},  // a surrogate is no character
      {"&#xdfff;x&#55357;", "\uFFFDx\uFFFD"},
      {"&#65", "&#65"},  // no semicolon
      {"&#65 &#66;", "&#65 B"},
      {"&#6&#65;", "&#6A"},  // a reference ends before the next "&"
      {"a & b; &#67;", "a & b; C"},
      {"&#1234567;", "&#1234567;"},    // ten characters, but out of range
      {"&#12345678;", "&#12345678;"},  // eleven characters
      {"&#x;", "&#x;"},
      {"&#x4g;", "&#x4g;"},
      {"&#+65;", "&#+65;"},
      {"&#;", "&#;"},
      {"😀&#97;😀", "😀a😀"},
      {"no references", "no references"},
  };
  for (const Case& c : cases) EXPECT_EQ(D::gtm_stringByUnescapingFromHTML(c.in), c.out) << c.in;
}

TEST(NSStringDupTitleTest, DecodesTheSixNamedEntitiesInOrder) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"&quot;中&apos;", "\"中'"}, {"&lt;b&gt;", "<b>"},
      {"&amp;lt;", "<"},  // each step works on the result of the one before
      {"a&nbsp;b", "a b"},         {"&amp;amp;", "&amp;"},
      {"&copy;", "&copy;"},
  };
  for (const Case& c : cases) EXPECT_EQ(D::htmlEntityDecode(c.in), c.out) << c.in;
}

TEST(NSStringDupTitleTest, RemovesEmptyNamespaceAttributes) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {R"(<note xmlns="">)", "<note>"},
      {R"(<br xmlns=""/>)", "<br/>"},
      {R"(<a b="1" xmlns="">x</a><c xmlns="">)", R"(<a b="1">x</a><c>)"},
      {R"(<a xmlns="urn:x">)", R"(<a xmlns="urn:x">)"},
      {R"(<a href="/x" xmlns="">)", R"(<a href="/x" xmlns="">)"},  // a "/" in the tag
      {R"(<笔记 xmlns="">中文</笔记>)", "<笔记>中文</笔记>"},
  };
  for (const Case& c : cases) EXPECT_EQ(D::clearXml(c.in), c.out) << c.in;
}

TEST(NSStringDupTitleTest, ReplacesServiceLinksByTheIdentifier) {
  const std::string host = KXServiceHost();
  ASSERT_FALSE(host.empty());
  const std::string id = "0A1B2C3D";
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {R"(<img src="https://)" + host + "/yws/res/1/" + id + R"(">)",
       R"(<img src=")" + id + R"(">)"},
      {"<a href=\"http://" + host + "/x/" + id + "\">链接</a>", "<a href=\"" + id + "\">链接</a>"},
      {"<img src=\"//" + host + "/r/" + id + "\">", "<img src=\"" + id + "\">"},
      {"https://other.example.com/x/" + id, "https://other.example.com/x/" + id},
      {"https://" + host + "/x/OTHER", "https://" + host + "/x/OTHER"},
      {"https://" + host + id, "https://" + host + id},  // something must come between
  };
  for (const Case& c : cases) EXPECT_EQ(D::stringByReplacingUrlWithId(c.in, id), c.out) << c.in;

  // The host's dots are literal.
  std::string otherHost = host;
  for (char& ch : otherHost) {
    if (ch == '.') ch = 'x';
  }
  const std::string lookalike = "https://" + otherHost + "/r/" + id;
  EXPECT_EQ(D::stringByReplacingUrlWithId(lookalike, id), lookalike);

  // The identifier is literal too, in the pattern and in the replacement.
  EXPECT_EQ(D::stringByReplacingUrlWithId("https://" + host + "/r/aXb", "a.b"),
            "https://" + host + "/r/aXb");
  EXPECT_EQ(D::stringByReplacingUrlWithId("https://" + host + "/r/a.b", "a.b"), "a.b");
  EXPECT_EQ(D::stringByReplacingUrlWithId("\"https://" + host + "/r/($1)\"", "($1)"), "\"($1)\"");
}

TEST(NSStringDupTitleTest, SummaryKeepsFortyFiveUnitsAndWholeCharacters) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string a44 = repeat("a", 44);
  const Case cases[] = {
      {"short 中文 😀", "short 中文 😀"},
      {repeat("a", 45), repeat("a", 45)},
      {repeat("a", 50), repeat("a", 45)},
      {repeat("中", 50), repeat("中", 45)},
      {a44 + "😀" + "tail", a44 + "😀"},                                    // widened to 46 units
      {a44 + "👍🏽" + "tail", a44 + "👍🏽"},                      // with its skin tone
      {a44 + "e\u0301" + "tail", a44 + "e\u0301"},                        // with its accent
      {a44 + "🇨🇳🇯🇵" + "tail", a44 + "🇨🇳"},                                // one flag
      {a44 + "👨‍👩‍👧" + "tail", a44 + "👨‍👩‍👧"},  // one family
      {repeat("😀", 30), repeat("😀", 23)},
  };
  for (const Case& c : cases) EXPECT_EQ(D::summaryString(c.in), c.out) << c.in;
  EXPECT_EQ(units(D::summaryString(a44 + "😀tail")), 46u);
}

class FakeHtmlHelper : public NSStringDupTitle::HtmlHelper {
 public:
  std::string replaceHTMLEntities(std::string_view text) const override {
    std::string out(text);
    for (std::size_t at; (at = out.find("&lt;")) != std::string::npos;) out.replace(at, 4, "<");
    return out;
  }
  std::string textForHtml(std::string_view html) const override {
    return "text:" + std::string(html);
  }
};

class PlainTextTest : public ::testing::Test {
 protected:
  void SetUp() override { NSStringDupTitle::setHtmlHelper(&helper_); }
  void TearDown() override { NSStringDupTitle::setHtmlHelper(nullptr); }
  FakeHtmlHelper helper_;
};

TEST_F(PlainTextTest, TakesTheLastTextOfTheStructuredForm) {
  const char* json = R"({"5":[
      {"5":[{"7":[{"8":"第一行"}]},{"7":[]}]},
      {"x":1},
      {"5":[{"7":[{"8":"last 😀"},{"8":"not first"}]}]}]})";
  EXPECT_EQ(D::plainText(json), "last 😀");
  // A last value that is empty or not text falls through to the HTML branch.
  const std::string emptyLast = R"({"5":[{"5":[{"7":[{"8":"a"}]},{"7":[{"8":""}]}]}]})";
  EXPECT_EQ(D::plainText(emptyLast), "text:" + emptyLast);
  const std::string missing = R"({"5":[{"5":[{"7":[{"8":"a"}]},{"7":[{"9":"b"}]}]}]})";
  EXPECT_EQ(D::plainText(missing), "text:" + missing);
  const std::string noBlocks = R"({"4":[]})";
  EXPECT_EQ(D::plainText(noBlocks), "text:" + noBlocks);
}

TEST_F(PlainTextTest, JoinsTextElementsAndTableCellsOfTheXmlForm) {
  const std::string xml =
      "<?xml version=\"1.0\"?><note><body>"
      "<para><text>Hello &lt;you&gt;</text></para>"
      "<para><text></text></para>"
      "<table><content>{\"cells\":[{\"value\":\"A1\"},{\"value\":\"\"},{\"value\":null},{},"
      "{\"value\":\"中文\"},{\"value\":3}]}</content>"
      "<content>not json</content><content>{\"cells\":null}</content></table>"
      "<para><text style=\"b\">世界 😀</text></para>"
      "<text>multi\nline</text>"
      "</body></note>";
  EXPECT_EQ(D::plainText(xml), "Hello <you&gt; A1 中文 3 世界 😀 multi\nline");
  EXPECT_EQ(D::plainText("<?xml version=\"1.0\"?><note/>"), "");
}

TEST_F(PlainTextTest, HandsHtmlToTheHelperAfterNumericReferences) {
  EXPECT_EQ(D::plainText("<p>&#20013;&amp;</p>"), "text:<p>中&amp;</p>");
  EXPECT_EQ(D::plainText("plain words"), "text:plain words");
  NSStringDupTitle::setHtmlHelper(nullptr);
  EXPECT_EQ(D::plainText("<p>&#20013;</p>"), "<p>中</p>");
}

// ---- File names and URLs ------------------------------------------------------------

TEST(NSStringDupTitleTest, TestsFileNameExtensions) {
  struct Case {
    const char* name;
    bool pdf;
    bool office;
    bool normal;
  };
  const Case cases[] = {
      {"a.pdf", true, true, true},           {"a.docx", false, true, true},
      {"b.xlsx", false, true, true},         {"c.pptx", false, true, true},
      {"a.md", false, false, false},         {"a.note", false, false, false},
      {"a.mindmap", false, false, false},    {"a.PDF", false, false, true},  // case-sensitive
      {"README", false, false, false},       {"报告.doc", false, true, true},
      {"dir.pdf/file", false, false, false}, {"x.tar.gz", false, false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(D::isPdf(c.name), c.pdf) << c.name;
    EXPECT_EQ(D::isOfficeFile(c.name), c.office) << c.name;
    EXPECT_EQ(D::isNormalFile(c.name), c.normal) << c.name;
  }
}

TEST(NSStringDupTitleTest, ComparesAndRecognisesLinks) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"http://x.com/a", "https://x.com/a", true},
      {"https://x.com/a", "https://x.com/a", true},
      {"http://x.com/a", "http://x.com/b", false},
      {"ftp://x.com/a", "ftp://x.com/a", false},
      {"x.com/a", "x.com/a", false},
      {"HTTP://x.com/a", "http://x.com/a", false},
      {"https://中文.com/😀", "http://中文.com/😀", true},
  };
  for (const Case& c : cases) EXPECT_EQ(D::isSameUrl(c.a, c.b), c.same) << c.a << " " << c.b;

  EXPECT_TRUE(D::guessIsALink("http://a"));
  EXPECT_TRUE(D::guessIsALink("HTTPS://A"));
  EXPECT_FALSE(D::guessIsALink("ftp://a"));
  EXPECT_FALSE(D::guessIsALink(" http://a"));
  EXPECT_FALSE(D::guessIsALink("http:/"));
}

TEST(NSStringDupTitleTest, PercentEncodesAllButUnreservedCharacters) {
  EXPECT_EQ(
      D::urlencode("a b!*'\"();:@&=+$,/?%#[]~-._中😀"),
      "a%20b%21%2A%27%22%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D~-._%E4%B8%AD%F0%9F%98%80");
  EXPECT_EQ(D::urlencode("AZaz09"), "AZaz09");
  EXPECT_EQ(D::urlencode(""), "");
}

TEST(NSStringDupTitleTest, SmallTextHelpers) {
  EXPECT_EQ(D::arrayByAppendingSuffixArray("user", {"@a.com", "@中文.cn"}),
            (std::vector<std::string>{"user@a.com", "user@中文.cn"}));
  EXPECT_TRUE(D::arrayByAppendingSuffixArray("user", {}).empty());

  EXPECT_EQ(D::trim("  a b  "), "a b");
  EXPECT_EQ(D::trim("a\n"), "a\n");
  EXPECT_EQ(D::trim(" \ta \n "), "\ta \n");
  EXPECT_EQ(D::trim("   "), "");
  EXPECT_EQ(D::trim("\u3000中\u3000"), "\u3000中\u3000");

  EXPECT_EQ(D::safeForCoreData("it's 'x'"), "it\\'s \\'x\\'");

  EXPECT_TRUE(D::isEmpty(static_cast<const char*>(nullptr)));
  EXPECT_TRUE(D::isEmpty(""));
  EXPECT_FALSE(D::isEmpty(" "));
  EXPECT_TRUE(D::isEmpty(std::string()));
  EXPECT_TRUE(D::isEmpty(std::optional<std::string>()));
  EXPECT_FALSE(D::isEmpty(std::optional<std::string>("中")));
  EXPECT_TRUE(D::isEmpty(kx::Value()));
  EXPECT_TRUE(D::isEmpty(kx::Value("")));
  EXPECT_FALSE(D::isEmpty(kx::Value("x")));
  EXPECT_FALSE(D::isEmpty(kx::Value(0)));
}

TEST(NSStringDupTitleTest, DictionarySeparatedByStringMapsSecondPartsToFirst) {
  EXPECT_EQ(D::DictionarySeparatedByString("v1=k1;v2=k2;bad;a=b=c;=k3;v4=", ";"),
            (kx::Dictionary{{"k1", "v1"}, {"k2", "v2"}, {"k3", ""}, {"", "v4"}}));
  EXPECT_EQ(D::DictionarySeparatedByString("x=a||y=a", "||"),
            (kx::Dictionary{{"a", "y"}}));  // the later pair wins
  EXPECT_EQ(D::DictionarySeparatedByString("v=k", ""), (kx::Dictionary{{"k", "v"}}));
  EXPECT_TRUE(D::DictionarySeparatedByString("", "&").empty());
}

TEST(NSStringDupTitleTest, PhoneEmailAndFileNameTests) {
  struct Case {
    const char* text;
    bool phone, email, legalFileName;
  };
  const Case cases[] = {
      {"13800138000", true, false, true},
      {"23800138000", false, false, true},
      {"1380013800", false, false, true},
      {"138001380000", false, false, true},
      {"1380013800a", false, false, true},
      {"１3800138000", false, false, true},  // a full-width digit
      {"a.b-c_d+e%f@mail.example.org", false, true, true},
      {"user@example.photography", false, true, true},
      {"user@example.c", false, false, true},
      {"user@@example.com", false, false, true},
      {"user@example.com\n", false, false, true},
      {"@example.com", false, false, true},
      {"us er@example.com", false, false, true},
      {"notes: today", false, false, false},
      {"a/b", false, false, false},
      {"a\\b", false, false, false},
      {"a*b", false, false, false},
      {"a<b>", false, false, false},
      {"a|b", false, false, false},
      {"what?\"", false, false, true},
      {"", false, false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(D::isPhoneNumber(c.text), c.phone) << c.text;
    EXPECT_EQ(D::isValidEmail(c.text), c.email) << c.text;
    EXPECT_EQ(D::isLegalFileName(c.text), c.legalFileName) << c.text;
  }
}

TEST(NSStringDupTitleTest, UrlTestsCompareSchemeAndServiceOrigin) {
  const std::string host = KXServiceHost();
  struct Case {
    std::string text;
    bool url, zarvel;
  };
  const Case cases[] = {
      {"http://" + host, true, true},
      {"https://" + host + "/notes?id=1", true, true},
      {"HTTPS://" + kx::Text::asciiUpper(host) + "#top", false, true},
      {"https://" + host + ":443/x", true, true},
      {"https://" + host + "?q", true, true},
      {"https://" + host + ".example.org/", true, false},  // another host
      {"https://" + host + "@example.org/", true, false},
      {"https://" + host + ":x@example.org/", true, false},
      {"https://" + host + ":/", true, false},
      {"ftp://" + host, false, false},
      {"https://example.org/" + host, true, false},
      {"//" + host, false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(D::isValidURL(c.text), c.url) << c.text;
    EXPECT_EQ(D::isValidZarvelURL(c.text), c.zarvel) << c.text;
  }
}

TEST(NSStringDupTitleTest, StringFromSizeStepsBy1024) {
  const std::pair<double, const char*> cases[] = {
      {0, "0B"},
      {1023, "1023B"},
      {1024, "1.0K"},
      {1536, "1.5K"},
      {1024.0 * 1024 - 1, "1024.0K"},
      {1024.0 * 1024, "1.0M"},
      {5.5 * 1024 * 1024, "5.5M"},
      {1024.0 * 1024 * 1024, "1.0G"},
      {3.0 * 1024 * 1024 * 1024 * 1024, "3072.0G"},
  };
  for (const auto& [size, text] : cases) EXPECT_EQ(D::stringFromSize(size), text) << size;
}

TEST(NSStringDupTitleTest, SafeForCoreDataRegExpEscapesMetacharactersThenQuotes) {
  EXPECT_EQ(D::safeForCoreDataRegExp("a.b*c"), "a\\.b\\*c");
  EXPECT_EQ(D::safeForCoreDataRegExp("^(x|y)+?[z]{2}$\\"),
            "\\^\\(x\\|y\\)\\+\\?\\[z\\]\\{2\\}\\$\\\\");
  EXPECT_EQ(D::safeForCoreDataRegExp("it's 笔记"), "it\\'s 笔记");
  EXPECT_EQ(D::safeForCoreDataRegExp(""), "");
}

TEST(NSStringDupTitleTest, TransformsToGB18030AndPinyin) {
  EXPECT_EQ(D::dataByTransformToGB("笔记 a"), (kx::Bytes{0xB1, 0xCA, 0xBC, 0xC7, 0x20, 0x61}));
  EXPECT_EQ(D::dataByTransformToGB("😀"), (kx::Bytes{0x94, 0x39, 0xFC, 0x36}));  // four bytes
  EXPECT_EQ(D::dataByTransformToGB(""), kx::Bytes());

  EXPECT_EQ(D::stringByTransfromToPinyin("笔记"), "bi ji");
  EXPECT_EQ(D::stringByTransfromToPinyin("Café Ünïcödé"), "Cafe Unicode");
  EXPECT_EQ(D::stringByTransfromToPinyin("plain 123"), "plain 123");
  EXPECT_EQ(D::stringByTransfromToPinyin(""), "");
}

TEST(NSStringDupTitleTest, TimeFromIntervalListsTheNonZeroParts) {
  constexpr double kDay = 86400;
  const std::pair<double, const char*> cases[] = {
      {0, "0s "},
      {0.9, "0s "},
      {-5, "0s "},
      {59, "59s "},
      {60, "1min "},
      {kDay + 2 * 3600 + 5, "1d 2h 5s "},
      {31 * kDay, "1mo 1d "},
      {366 * kDay, "1y 1d "},
      {100 * 365 * kDay + 61.5, "1c 1min 1s "},
  };
  for (const auto& [seconds, text] : cases)
    EXPECT_EQ(D::timeFromInterval(seconds), text) << seconds;
}

TEST(NSStringDupTitleTest, EditingStringPicksTheColour) {
  using C = NSStringDupTitle::EditingColour;
  struct Case {
    const char* text;
    bool highlightLink;
    bool placeholder;
    C colour;
  };
  const Case cases[] = {
      {"https://x", true, false, C::Link},
      {"https://x", false, false, C::Default},
      {"作者", true, false, C::Default},
      {"https://x", true, true, C::Placeholder},  // grey wins
      {"作者", false, true, C::Placeholder},
  };
  for (const Case& c : cases) {
    D::EditingString s = D::stringForEditing(c.text, c.highlightLink, c.placeholder);
    EXPECT_EQ(s.string, c.text);
    EXPECT_EQ(s.foreground, c.colour) << c.text;
    EXPECT_TRUE(s.truncatesTail);
  }
}

// ---- Width cuts -------------------------------------------------------------

// The cut is checked against measured widths: the prefix fits, and the
// prefix with the next character does not.
TEST(NSStringDupTitleTest, SubStringWithFontKeepsTheLongestFittingPrefix) {
  const KXFont font("Times New Roman", 12);
  struct Case {
    std::string text;
    std::string next;  // what follows the expected cut, "" when nothing is cut
  };
  const std::string latin = "Quarterly report on the northern warehouse expansion";
  const std::string han = "第三季度北方仓库扩建的会议记录和后续安排";
  // e + combining acute: a cut never separates the accent from its letter.
  const std::string accents = repeat("e\xCC\x81", 40);
  for (const std::string& text : {latin, han, accents}) {
    const double full = font.widthOfString(text);
    for (double width : {0.5, 30.0, 75.5, 150.0, full - 0.5}) {
      const std::string cut = D::subStringWithFont(text, font, width);
      SCOPED_TRACE(text + " @ " + std::to_string(width));
      ASSERT_EQ(text.compare(0, cut.size(), cut), 0) << "not a prefix: " << cut;
      ASSERT_LT(cut.size(), text.size());
      EXPECT_LE(font.widthOfString(cut), width);
      // One more composed character would not fit.
      std::size_t more = cut.size() + 1;
      while (more < text.size() && (static_cast<unsigned char>(text[more]) & 0xC0) == 0x80) ++more;
      if (text == accents) more = cut.size() + 3;
      EXPECT_GT(font.widthOfString(text.substr(0, more)), width);
      if (text == accents) {
        EXPECT_EQ(cut.size() % 3, 0u) << "accent split from its letter";
      }
    }
    EXPECT_EQ(D::subStringWithFont(text, font, full), text);
    EXPECT_EQ(D::subStringWithFont(text, font, full + 100), text);
  }
  EXPECT_EQ(D::subStringWithFont("", font, 0), "");
}

TEST(NSStringDupTitleTest, SubStringWithEllipsisAddsDotsOnlyWhenCut) {
  const KXFont font("serif", 12);
  const std::string text = "Annual budget of the sailing club";
  const double full = font.widthOfString(text);
  EXPECT_EQ(D::subStringWithEllipsisWithFont(text, font, full), text);
  const std::string cut = D::subStringWithEllipsisWithFont(text, font, full / 2);
  ASSERT_GE(cut.size(), 4u);
  EXPECT_EQ(cut.substr(cut.size() - 3), "...");
  EXPECT_EQ(cut.substr(0, cut.size() - 3), D::subStringWithFont(text, font, full / 2));
  EXPECT_EQ(D::subStringWithEllipsisWithFont(text, font, 0), "...");
}

}  // namespace
