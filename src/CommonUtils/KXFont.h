// KXFont is a font as the client lays out and measures text in pictures it
// draws (attachment cards): a family name and a size in pixels, resolved by
// Pango over fontconfig. A family that is not installed is replaced by
// fontconfig's choice for it ("Times New Roman" becomes the serif family),
// and characters the chosen font lacks come from another installed font
// (Han characters from a CJK font), so text is drawn as glyphs wherever
// some installed font has them.
//
// Text is laid out on one line, without wrapping, with grey-scale
// anti-aliasing and without hinting of glyph positions, so that a width
// measured here is the width the same text takes when drawn with
// drawLayout on any cairo context without a transformation.
//
// Invalid UTF-8 is measured and drawn with each bad sequence as U+FFFD.
//
// Thread safety: a KXFont is a plain value; every member may be called from
// any thread. Pango objects are made per thread (each thread lays out with
// its own font map); a layout answered by newLayout belongs to the calling
// thread.
#ifndef ZN_COMMONUTILS_KXFONT_H_
#define ZN_COMMONUTILS_KXFONT_H_

#include <pango/pangocairo.h>

#include <memory>
#include <string>
#include <string_view>

class KXFont {
 public:
  struct LayoutDeleter {
    void operator()(PangoLayout* layout) const;
  };
  using LayoutPtr = std::unique_ptr<PangoLayout, LayoutDeleter>;

  // `family` as fontconfig knows it ("Times New Roman", "serif"); `pixelSize`
  // is the em size in pixels (12 gives 12-pixel text in a picture).
  KXFont(std::string family, double pixelSize);

  const std::string& family() const { return family_; }
  double pixelSize() const { return pixelSize_; }

  // The advance width, in pixels, of the text laid out on one line.
  double widthOfString(std::string_view text) const;

  // A one-line layout of the text in this font. With a cairo context the
  // layout is made for it (to be drawn there); without one it is made for
  // measuring on this thread. Never null.
  LayoutPtr newLayout(std::string_view text, cairo_t* cr = nullptr) const;

  // Draws the text with its baseline starting at (x, baseline) in the
  // context's user space, in the context's current source.
  void drawString(cairo_t* cr, std::string_view text, double x, double baseline) const;

  // The font options every layout of this class uses.
  static const cairo_font_options_t* fontOptions();

 private:
  std::string family_;
  double pixelSize_;
};

#endif  // ZN_COMMONUTILS_KXFONT_H_
