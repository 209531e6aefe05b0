// NSColorHTMLColor turns colours into HTML colour text and back. KXColor is
// the client's colour: red, green, blue and alpha from 0 to 1.
//
//  - htmlColor writes "#rrggbb": each of red, green and blue times 255,
//    rounded and limited to 0..255, as two lower-case hexadecimal digits.
//  - fromHTMLColor reads hexadecimal colour text: every "#" is removed,
//    leading white space and an optional "0x" are skipped, and the
//    hexadecimal digits that follow are read as one number (saturating at
//    0xFFFFFFFF) whose low three bytes are red, green and blue; trailing
//    text is ignored. Nothing when no digit follows.
//  - fromHTMLRGBColor reads text that begins with "rgb": the numbers between
//    "(" and ")", separated by commas; the first three, each divided by 255
//    and limited to 0..1, are red, green and blue. Nothing when the text
//    does not begin with "rgb", has no parentheses or fewer than three
//    numbers.
// Colours read are opaque (alpha 1).
//
// Thread safety: pure functions.
#ifndef ZN_COMMONUTILS_NSCOLORHTMLCOLOR_H_
#define ZN_COMMONUTILS_NSCOLORHTMLCOLOR_H_

#include <optional>
#include <string>
#include <string_view>

struct KXColor {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  bool operator==(const KXColor&) const = default;
};

class NSColorHTMLColor {
 public:
  NSColorHTMLColor() = delete;

  static std::string htmlColor(const KXColor& color);
  static std::optional<KXColor> fromHTMLColor(std::string_view text);
  static std::optional<KXColor> fromHTMLRGBColor(std::string_view text);
};

#endif  // ZN_COMMONUTILS_NSCOLORHTMLCOLOR_H_
