// kx::Text gathers the text operations that must not depend on the C locale
// or on a platform string class: UTF-8 validation and repair, lengths and cuts
// counted in UTF-16 units (the unit in which the rest of the client measures
// string length), conversion between UTF-8 and UTF-16 / UTF-32 / wide strings
// (the full-text library takes wchar_t, 32 bits on Linux), ASCII case
// folding, and number <-> text conversions that no locale can change.
//
// "Character" here means a Unicode code point: a supplementary character is
// one character and two UTF-16 units, and it is never split. Ill-formed UTF-8
// is read as U+FFFD, one per ill-formed sequence (the lead byte and the
// continuation bytes that follow it, at most as many as the lead announces).
//
// Thread safety: all functions are pure and may be called from any thread.
#ifndef ZN_PLATFORM_TEXT_H_
#define ZN_PLATFORM_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kx {

class Text {
 public:
  Text() = delete;

  // --- UTF-8 ----------------------------------------------------------
  // True when `s` is well-formed UTF-8 (no surrogates, nothing above
  // U+10FFFF, no overlong forms).
  static bool isValidUtf8(std::string_view s);
  // `s` with every ill-formed sequence replaced by U+FFFD.
  static std::string toValidUtf8(std::string_view s);

  // --- UTF-16 units -----------------------------------------------------
  // Length of `s` in UTF-16 units.
  static std::size_t utf16Length(std::string_view s);
  // Byte offset in `s` where the longest prefix of at most `maxUnits` UTF-16
  // units ends; a character that would cross the limit is left out.
  static std::size_t utf8OffsetForUtf16Prefix(std::string_view s, std::size_t maxUnits);
  // The longest prefix of `s` that has at most `maxUnits` UTF-16 units and
  // does not split a character.
  static std::string utf16Prefix(std::string_view s, std::size_t maxUnits);
  // The characters of `s` that overlap the UTF-16 range [location,
  // location + length): a range edge inside a surrogate pair is widened to
  // take the whole character, so the result is at least the asked length
  // unless the text ends first.
  static std::string utf16Substring(std::string_view s, std::size_t location, std::size_t length);

  // --- Conversions ------------------------------------------------------
  // Ill-formed input (ill-formed UTF-8, lone surrogates, code points above
  // U+10FFFF) becomes U+FFFD.
  static std::u16string toUtf16(std::string_view s);
  static std::string fromUtf16(std::u16string_view s);
  static std::u32string toUtf32(std::string_view s);
  static std::string fromUtf32(std::u32string_view s);
  static std::wstring toWide(std::string_view s);
  static std::string fromWide(std::wstring_view s);

  // --- ASCII case -------------------------------------------------------
  // Only A-Z and a-z change; other bytes (UTF-8 included) stay as they are.
  static std::string asciiLower(std::string_view s);
  static std::string asciiUpper(std::string_view s);
  static bool asciiEqualIgnoringCase(std::string_view a, std::string_view b);
  // <0, 0 or >0, comparing bytes after folding A-Z to a-z.
  static int asciiCompareIgnoringCase(std::string_view a, std::string_view b);

  // --- Numbers ----------------------------------------------------------
  // Decimal text of any integer type.
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) static std::string toString(T v) {
    if constexpr (std::is_signed_v<T>) {
      return int64ToString(static_cast<std::int64_t>(v));
    } else {
      return uint64ToString(static_cast<std::uint64_t>(v));
    }
  }
  static std::string toString(bool) = delete;
  // Shortest text that reads back as the same double ("0.1", "1e+20",
  // "-0", "inf", "nan").
  static std::string toString(double v);
  // The text printf("%.17g") gives in the C locale.
  static std::string toStringPrecise(double v);

  // Strict readers: the whole text must be the number (no white space, an
  // optional leading '-' for signed and double, '+' not accepted), within
  // range. Doubles are decimal (no hexadecimal, inf or nan).
  static std::optional<std::int64_t> parseInt64(std::string_view s);
  static std::optional<std::uint64_t> parseUInt64(std::string_view s);
  static std::optional<double> parseDouble(std::string_view s);

  // Lenient readers, as the platform's string-to-number conversions read:
  // leading white space, an optional sign, then as much of a number as is
  // there; no number reads as 0. Integers saturate at their type's limits
  // (a negative text reads as 0 unsigned); a double too large reads as
  // +/-infinity.
  static std::int64_t leadingInt64(std::string_view s);
  static std::uint64_t leadingUInt64(std::string_view s);
  static double leadingDouble(std::string_view s);
  // True when the text starts (after white space) with Y, y, T or t, or with
  // an optional sign, zeros and then a digit 1-9.
  static bool leadingBool(std::string_view s);

 private:
  static std::string int64ToString(std::int64_t v);
  static std::string uint64ToString(std::uint64_t v);
};

}  // namespace kx

#endif  // ZN_PLATFORM_TEXT_H_
