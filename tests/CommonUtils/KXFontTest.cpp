#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CommonUtils/KXFont.h"

namespace {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct CairoDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

int unknownGlyphs(const KXFont& font, const std::string& text) {
  KXFont::LayoutPtr layout = font.newLayout(text);
  return pango_layout_get_unknown_glyphs_count(layout.get());
}

// The card's font: a family name fontconfig replaces with the serif family,
// with Han characters taken from the CJK font.
TEST(KXFontTest, HanTextFindsGlyphsThroughFallback) {
  const KXFont font("Times New Roman", 12);
  EXPECT_EQ(unknownGlyphs(font, "会议记录 2024"), 0);
  EXPECT_EQ(unknownGlyphs(font, "Résumé"), 0);
  // The count can fail: a private-use code point has no glyph anywhere.
  EXPECT_GT(unknownGlyphs(font, "\xF4\x8F\xBF\xBD"), 0);  // U+10FFFD
  EXPECT_GT(font.widthOfString("会议记录"), 4 * 8.0);
}

TEST(KXFontTest, WidthsGrowWithTextAndSize) {
  const KXFont small("serif", 12);
  const KXFont large("serif", 24);
  EXPECT_EQ(small.widthOfString(""), 0);
  const double a = small.widthOfString("Quarterly report");
  const double b = small.widthOfString("Quarterly report, final");
  EXPECT_GT(a, 0);
  EXPECT_GT(b, a);
  EXPECT_NEAR(large.widthOfString("Quarterly report"), 2 * a, 0.1 * a);
  // A line break does not start a second line: the text stays one line as wide as its parts.
  EXPECT_GT(small.widthOfString("Quarterly\nreport"), small.widthOfString("Quarterly"));
  // Invalid UTF-8 is measured, not dropped.
  EXPECT_GT(small.widthOfString("ab\xFF"), small.widthOfString("ab"));
}

// drawString places the baseline, not the top of the line, at the given y:
// ink of capitals lies above it, and none lies far below.
TEST(KXFontTest, DrawsWithTheBaselineAtTheGivenPoint) {
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 120, 60));
  std::unique_ptr<cairo_t, CairoDeleter> cr(cairo_create(surface.get()));
  cairo_set_source_rgb(cr.get(), 0, 0, 0);
  const KXFont font("serif", 20);
  font.drawString(cr.get(), "HEH", 10, 40);
  cairo_surface_flush(surface.get());

  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  int top = -1, bottom = -1, left = -1;
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 120; ++x) {
      if (data[y * stride + x * 4 + 3] > 128) {  // alpha of ARGB32 (little-endian)
        if (top < 0) top = y;
        bottom = y;
        if (left < 0 || x < left) left = x;
      }
    }
  }
  ASSERT_GE(top, 0) << "nothing drawn";
  EXPECT_LE(bottom, 40);
  EXPECT_GE(bottom, 38);
  EXPECT_GE(top, 40 - 20);  // a capital is shorter than the em
  EXPECT_GE(left, 10);
  EXPECT_LE(left, 13);
}

}  // namespace
