#include "CommonUtils/NSColorHTMLColor.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

void PrintTo(const KXColor& c, std::ostream* os) {
  *os << "rgba(" << c.red * 255 << ", " << c.green * 255 << ", " << c.blue * 255 << ", " << c.alpha
      << ")";
}

namespace {

KXColor rgb(int r, int g, int b) { return {r / 255.0, g / 255.0, b / 255.0, 1}; }

TEST(NSColorHTMLColorTest, HtmlColorWritesTwoDigitsPerComponent) {
  struct Case {
    KXColor color;
    const char* text;
  };
  const Case cases[] = {
      {{1, 0, 0, 1}, "#ff0000"},  // unpadded digits would read "#ff00", a green
      {{0, 0, 0, 1}, "#000000"},       {rgb(1, 2, 171), "#0102ab"},
      {{0.5, 0.2, 1, 0.3}, "#8033ff"},  // rounded; alpha is not written
      {{-1, 2, 0.999, 1}, "#00ffff"},   // limited to the range
  };
  for (const Case& c : cases) EXPECT_EQ(NSColorHTMLColor::htmlColor(c.color), c.text) << c.text;
}

TEST(NSColorHTMLColorTest, HexTextReadsBackWhatHtmlColorWrote) {
  for (int v : {0, 1, 15, 16, 127, 128, 200, 254, 255}) {
    const KXColor color = rgb(v, 255 - v, v / 2);
    EXPECT_EQ(NSColorHTMLColor::fromHTMLColor(NSColorHTMLColor::htmlColor(color)), color) << v;
  }
}

TEST(NSColorHTMLColorTest, FromHTMLColor) {
  struct Case {
    const char* text;
    std::optional<KXColor> color;
  };
  const Case cases[] = {
      {"#1a2B3c", rgb(0x1a, 0x2b, 0x3c)},
      {"ff8000", rgb(0xff, 0x80, 0x00)},
      {"  0xFF8000", rgb(0xff, 0x80, 0x00)},
      {"##00ff00", rgb(0, 255, 0)},
      {"#ff0000zz", rgb(255, 0, 0)},       // trailing text ignored
      {"#ff", rgb(0, 0, 255)},             // a number: its low byte is blue
      {"#123456789", rgb(255, 255, 255)},  // saturates
      {"", std::nullopt},
      {"#", std::nullopt},
      {"#zz0000", std::nullopt},
      {"0x", rgb(0, 0, 0)},  // the 0 is a digit
  };
  for (const Case& c : cases) EXPECT_EQ(NSColorHTMLColor::fromHTMLColor(c.text), c.color) << c.text;
}

TEST(NSColorHTMLColorTest, FromHTMLRGBColor) {
  struct Case {
    const char* text;
    std::optional<KXColor> color;
  };
  const Case cases[] = {
      {"rgb(255, 128, 0)", rgb(255, 128, 0)},
      {"rgb(10,20,30)", rgb(10, 20, 30)},
      {"rgba(10, 20, 30, 0.5)", rgb(10, 20, 30)},
      {"rgb(300, -4, 127.5)", KXColor{1, 0, 0.5, 1}},  // limited to 0..1
      {"rgb(1, 2)", std::nullopt},
      {"rgb 1, 2, 3", std::nullopt},
      {"rgb(1, 2, 3", std::nullopt},
      {"RGB(1, 2, 3)", std::nullopt},
      {"#010203", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NSColorHTMLColor::fromHTMLRGBColor(c.text), c.color) << c.text;
  }
}

}  // namespace
