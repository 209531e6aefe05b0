#include "Data/DataUtil/KXHtmlUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CommonUtils/KXConfiguration.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "platform/Error.h"

namespace {

KXHtmlUtil& util() { return KXHtmlUtil::sharedUtil(); }

TEST(KXHtmlUtilTest, TurnsHtmlIntoText) {
  struct Case {
    const char* html;
    const char* text;
  };
  const Case cases[] = {
      {"<p>one</p>  <p>two</p>", " one two "},  // each tag and its blanks become one blank
      {"", ""},
      {"plain", "plain"},
      {"&lt;b&gt;", "<b>"},
      {"&amp;gt;", "&gt;"},  // one level of entities only
      {"<div>中文<br/>笔记</div>", " 中文 笔记 "},
      {"<span>😀</span>\u00A0\u3000<b>x</b>", " 😀 x "},  // Unicode blanks fold too
      {"<p>\u00A0</p>", " "},
      {"a\t\n  b", "a b"},
      {"a&nbsp;&nbsp;b", "a b"},
      {"1 < 2 and 3 > 2", "1 2"},  // a lone "<" starts a tag up to the next ">"
      {"x<y", "x<y"},              // no ">": not a tag
      {"<a href=\"x\"\ntitle='t'>link</a>", " link "},
      {"&#20013;", "&#20013;"},  // numeric references are left alone here
      {"<p>&copy; 2024 &euro;5</p>", " © 2024 €5 "},
  };
  for (const Case& c : cases) EXPECT_EQ(util().textForHtml(c.html), c.text) << c.html;
  // Ill-formed bytes read as U+FFFD.
  EXPECT_EQ(util().textForHtml("<b>\xff</b>"), " \uFFFD ");
}

TEST(KXHtmlUtilTest, StripsLargeDocumentsInOnePass) {
  std::string html;
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    html += "<p class=\"c\">段落 " + std::to_string(i) + "</p>\n";
    expected += " 段落 " + std::to_string(i);
  }
  expected += " ";
  EXPECT_EQ(util().textForHtml(html), expected);
}

TEST(KXHtmlUtilTest, DecodesTheEntityTableThenAmpersands) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"&cent;&copy;&euro;&gt;&lt;&nbsp;&pound;&reg;&sect;&trade;&yen;", "¢©€>< £®§™¥"},
      {"&amp;lt;", "&lt;"},
      {"&amp;amp;", "&amp;"},
      {"a &amp; b", "a & b"},
      {"&quot;&apos;&#65;", "&quot;&apos;&#65;"},
      {"&lt", "&lt"},
      {"&&lt;;", "&<;"},
      {"价格&yen;100 😀", "价格¥100 😀"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(util().replaceHTMLEntities(c.in), c.out) << c.in;
}

TEST(KXHtmlUtilTest, BuildsTheEditorPage) {
  std::array<std::string, 2> page = KXHtmlUtil::htmlHeadAndTailForEditor();
  EXPECT_TRUE(page[0].starts_with("<!doctype html><html><head><script src=\"file://"));
  EXPECT_NE(page[0].find("/editor.js\"></script>"), std::string::npos);
  EXPECT_NE(
      page[0].find(
          "<style>.default-style, body {font : 14px \"Helvetica\"; background:white;}</style>"),
      std::string::npos);
  EXPECT_NE(page[0].find("<link rel=\"styleSheet\" type=\"text/css\" href=\"file://"),
            std::string::npos);
  EXPECT_TRUE(page[0].ends_with("/editor.css\"></head><body>"));
  EXPECT_EQ(page[1], "</body></html>");
  EXPECT_EQ(KXHtmlUtil::htmlForEditor("<p>内容</p>"), page[0] + "<p>内容</p>" + page[1]);

  // The font is read afresh at each call.
  KXConfiguration& config = KXConfiguration::sharedConfiguration();
  config.setValue("18", kKXConfigFontSize);
  config.setValue("PingFang SC", kKXConfigFontFamily);
  const std::string head = KXHtmlUtil::htmlHeadAndTailForEditor()[0];
  config.setValue(kKXConfigFontSizeDefault, kKXConfigFontSize);
  config.setValue(kKXConfigFontFamilyDefault, kKXConfigFontFamily);
  if (config.itemForKey(kKXConfigFontSize).isNull()) {
    GTEST_SKIP() << "the configuration file could not be read, so it takes no changes";
  }
  EXPECT_NE(head.find("{font : 18px \"PingFang SC\"; background:white;}"), std::string::npos)
      << head;
}

TEST(KXHtmlUtilTest, MarksDuplicateResources) {
  EXPECT_EQ(util().markDupForResource(
                "<img data-resource-mark=\"1\" src=\"a\"><img data-resource-mark=\"1\">"),
            "<img data-resource-mark=\"1\" data-resource-dup=\"1\" src=\"a\">"
            "<img data-resource-mark=\"1\" data-resource-dup=\"1\">");
  EXPECT_FALSE(util().markDupForResource("<img data-resource-mark=\"0\">").has_value());
  EXPECT_FALSE(util().markDupForResource("").has_value());
}

TEST(KXHtmlUtilTest, PlaceholdersRaise) {
  for (auto call :
       {&KXHtmlUtil::viewableHtml, &KXHtmlUtil::replaceOldResources, &KXHtmlUtil::normalizeHtml}) {
    try {
      (util().*call)("<p/>");
      ADD_FAILURE() << "no exception";
    } catch (const kx::Exception& e) {
      EXPECT_EQ(e.name(), "KXMethodNotImplemented");
      EXPECT_EQ(e.reason(), "Method not implementd");
    }
  }
}

TEST(KXHtmlUtilTest, GivesPlainTextOfNoteBodies) {
  util();  // installs the helper
  EXPECT_EQ(NSStringDupTitle::plainText("<p>&#20013;&#x6587;&lt;b&gt;</p>\n<p>笔记 😀</p>"),
            " 中文<b> 笔记 😀 ");
  EXPECT_EQ(NSStringDupTitle::plainText("<?xml version=\"1.0\"?><note><text>a &lt;&amp;lt; b</text>"
                                        "<text>&yen;5</text></note>"),
            "a <&lt; b ¥5");
}

TEST(KXHtmlUtilTest, ServesManyThreads) {
  const std::string html = "<div><p>并发 concurrency &amp; 😀</p><br/></div>";
  std::vector<std::thread> threads;
  std::vector<int> good(6);
  for (std::size_t t = 0; t < good.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) good[t] += util().textForHtml(html) == " 并发 concurrency & 😀 ";
    });
  }
  for (std::thread& th : threads) th.join();
  for (int g : good) EXPECT_EQ(g, 200);
}

}  // namespace
