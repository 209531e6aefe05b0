#include "platform/Text.h"

#include <locale.h>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kx {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at p (p < end). Returns the number of bytes
// consumed (at least 1) and stores the code point, or U+FFFD when the sequence
// is ill-formed. An ill-formed sequence consumes its lead byte and the
// continuation bytes that follow it, no more than the lead byte announces.
inline std::size_t decodeUtf8(const unsigned char* p, const unsigned char* end, char32_t* cp,
                              bool* ok = nullptr) {
  unsigned c = p[0];
  if (ok) *ok = true;
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  std::size_t need;
  if (c >= 0xC0 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
  } else if (c >= 0xF0 && c <= 0xF7) {
    need = 3;
  } else {
    *cp = kReplacement;  // stray continuation byte or F8-FF
    if (ok) *ok = false;
    return 1;
  }
  bool valid = c >= 0xC2 && c <= 0xF4;
  unsigned lo = 0x80, hi = 0xBF;
  if (c == 0xE0)
    lo = 0xA0;  // overlong
  else if (c == 0xED)
    hi = 0x9F;  // surrogates
  else if (c == 0xF0)
    lo = 0x90;  // overlong
  else if (c == 0xF4)
    hi = 0x8F;  // above U+10FFFF
  char32_t v = c & (0x3Fu >> need);
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (p + i >= end) break;
    unsigned cc = p[i];
    if ((cc & 0xC0) != 0x80) break;
    if (i == 1 && (cc < lo || cc > hi)) valid = false;
    v = (v << 6) | (cc & 0x3F);
  }
  if (i <= need) valid = false;  // cut off or interrupted
  *cp = valid ? v : kReplacement;
  if (ok) *ok = valid;
  return i;
}

inline void appendUtf8(char32_t cp, std::string* out) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out->append(b, 2);
  } else if (cp < 0x10000) {
    char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
    out->append(b, 3);
  } else {
    char b[4] = {
        static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out->append(b, 4);
  }
}

inline const unsigned char* ubegin(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Calls f(code point, byte offset, byte length) for each character of s.
template <typename F>
inline void forEachChar(std::string_view s, F&& f) {
  const unsigned char* b = ubegin(s);
  const unsigned char* p = b;
  const unsigned char* end = b + s.size();
  while (p < end) {
    char32_t cp;
    std::size_t n = decodeUtf8(p, end, &cp);
    if (!f(cp, static_cast<std::size_t>(p - b), n)) return;
    p += n;
  }
}

template <typename Str>
Str toUtf32Like(std::string_view s) {
  Str out;
  out.reserve(s.size());
  forEachChar(s, [&](char32_t cp, std::size_t, std::size_t) {
    out.push_back(static_cast<typename Str::value_type>(cp));
    return true;
  });
  return out;
}

template <typename View>
std::string fromUtf32Like(View s) {
  std::string out;
  out.reserve(s.size());
  for (auto c : s) appendUtf8(static_cast<char32_t>(c), &out);
  return out;
}

template <typename View>
std::string fromUtf16Like(View s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t u = static_cast<char16_t>(s[i]);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size()) {
      char32_t l = static_cast<char16_t>(s[i + 1]);
      if (l >= 0xDC00 && l <= 0xDFFF) {
        appendUtf8(0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00), &out);
        ++i;
        continue;
      }
    }
    appendUtf8(u, &out);  // a lone surrogate becomes U+FFFD
  }
  return out;
}

template <typename Str>
Str toUtf16Like(std::string_view s) {
  using C = typename Str::value_type;
  Str out;
  out.reserve(s.size());
  forEachChar(s, [&](char32_t cp, std::size_t, std::size_t) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<C>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<C>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<C>(cp));
    }
    return true;
  });
  return out;
}

inline char foldLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char foldUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

inline bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

inline std::size_t skipSpace(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  return i;
}

// Reads the digits at s[i...] as an unsigned magnitude; *overflow set when it
// does not fit 64 bits.
inline std::uint64_t readMagnitude(std::string_view s, std::size_t i, bool* overflow) {
  std::uint64_t v = 0;
  *overflow = false;
  for (; i < s.size() && isDigit(s[i]); ++i) {
    unsigned d = static_cast<unsigned>(s[i] - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
      *overflow = true;
      while (i < s.size() && isDigit(s[i])) ++i;
      return std::numeric_limits<std::uint64_t>::max();
    }
    v = v * 10 + d;
  }
  return v;
}

}  // namespace

bool Text::isValidUtf8(std::string_view s) {
  const unsigned char* p = ubegin(s);
  const unsigned char* end = p + s.size();
  while (p < end) {
    // ASCII runs eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p >= end) break;
    if (*p < 0x80) {
      ++p;
      continue;
    }
    char32_t cp;
    bool ok;
    p += decodeUtf8(p, end, &cp, &ok);
    if (!ok) return false;
  }
  return true;
}

std::string Text::toValidUtf8(std::string_view s) {
  if (isValidUtf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  const unsigned char* b = ubegin(s);
  const unsigned char* p = b;
  const unsigned char* end = b + s.size();
  while (p < end) {
    char32_t cp;
    bool ok;
    std::size_t n = decodeUtf8(p, end, &cp, &ok);
    if (ok) {
      out.append(reinterpret_cast<const char*>(p), n);
    } else {
      appendUtf8(kReplacement, &out);
    }
    p += n;
  }
  return out;
}

std::size_t Text::utf16Length(std::string_view s) {
  std::size_t units = 0;
  const unsigned char* p = ubegin(s);
  const unsigned char* end = p + s.size();
  while (p < end) {
    if (*p < 0x80) {
      ++units;
      ++p;
      continue;
    }
    char32_t cp;
    p += decodeUtf8(p, end, &cp);
    units += cp >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::size_t Text::utf8OffsetForUtf16Prefix(std::string_view s, std::size_t maxUnits) {
  std::size_t units = 0;
  std::size_t offset = 0;
  forEachChar(s, [&](char32_t cp, std::size_t off, std::size_t n) {
    std::size_t w = cp >= 0x10000 ? 2 : 1;
    if (units + w > maxUnits) return false;
    units += w;
    offset = off + n;
    return true;
  });
  return offset;
}

std::string Text::utf16Prefix(std::string_view s, std::size_t maxUnits) {
  return std::string(s.substr(0, utf8OffsetForUtf16Prefix(s, maxUnits)));
}

std::string Text::utf16Substring(std::string_view s, std::size_t location, std::size_t length) {
  if (length == 0) return std::string();
  std::size_t stop = length > std::numeric_limits<std::size_t>::max() - location
                         ? std::numeric_limits<std::size_t>::max()
                         : location + length;
  std::size_t units = 0;
  std::size_t first = s.size();
  std::size_t last = s.size();
  bool started = false;
  forEachChar(s, [&](char32_t cp, std::size_t off, std::size_t n) {
    std::size_t u0 = units;
    std::size_t u1 = units + (cp >= 0x10000 ? 2 : 1);
    units = u1;
    if (u0 >= stop) {
      last = off;
      return false;
    }
    if (u1 > location && !started) {
      started = true;
      first = off;
    }
    (void)n;
    return true;
  });
  if (!started) return std::string();
  return std::string(s.substr(first, last - first));
}

std::u16string Text::toUtf16(std::string_view s) { return toUtf16Like<std::u16string>(s); }

std::string Text::fromUtf16(std::u16string_view s) { return fromUtf16Like(s); }

std::u32string Text::toUtf32(std::string_view s) { return toUtf32Like<std::u32string>(s); }

std::string Text::fromUtf32(std::u32string_view s) { return fromUtf32Like(s); }

std::wstring Text::toWide(std::string_view s) {
  if constexpr (sizeof(wchar_t) == 4) {
    return toUtf32Like<std::wstring>(s);
  } else {
    return toUtf16Like<std::wstring>(s);
  }
}

std::string Text::fromWide(std::wstring_view s) {
  if constexpr (sizeof(wchar_t) == 4) {
    return fromUtf32Like(s);
  } else {
    return fromUtf16Like(s);
  }
}

std::string Text::asciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = foldLower(c);
  return out;
}

std::string Text::asciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = foldUpper(c);
  return out;
}

bool Text::asciiEqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldLower(a[i]) != foldLower(b[i])) return false;
  }
  return true;
}

int Text::asciiCompareIgnoringCase(std::string_view a, std::string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(foldLower(a[i]));
    unsigned char y = static_cast<unsigned char>(foldLower(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string Text::int64ToString(std::int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  return std::string(buf, r.ptr);
}

std::string Text::uint64ToString(std::uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  return std::string(buf, r.ptr);
}

std::string Text::toString(double v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  return std::string(buf, r.ptr);
}

std::string Text::toStringPrecise(double v) {
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof(buf), v, std::chars_format::general, 17);
  return std::string(buf, r.ptr);
}

std::optional<std::int64_t> Text::parseInt64(std::string_view s) {
  std::int64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<std::uint64_t> Text::parseUInt64(std::string_view s) {
  std::uint64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<double> Text::parseDouble(std::string_view s) {
  // Only decimal forms: a digit or ".digit" after an optional minus sign.
  std::size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
  if (i >= s.size()) return std::nullopt;
  if (!isDigit(s[i]) && !(s[i] == '.' && i + 1 < s.size() && isDigit(s[i + 1]))) {
    return std::nullopt;
  }
  double v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::int64_t Text::leadingInt64(std::string_view s) {
  std::size_t i = skipSpace(s);
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool overflow;
  std::uint64_t m = readMagnitude(s, i, &overflow);
  constexpr std::uint64_t kMaxPos =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (overflow || m > kMaxPos + 1) return std::numeric_limits<std::int64_t>::min();
    return m == kMaxPos + 1 ? std::numeric_limits<std::int64_t>::min()
                            : -static_cast<std::int64_t>(m);
  }
  if (overflow || m > kMaxPos) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(m);
}

std::uint64_t Text::leadingUInt64(std::string_view s) {
  std::size_t i = skipSpace(s);
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool overflow;
  std::uint64_t m = readMagnitude(s, i, &overflow);
  if (negative) return 0;
  return m;
}

double Text::leadingDouble(std::string_view s) {
  std::size_t i = skipSpace(s);
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i >= s.size()) return 0.0;
  if (!isDigit(s[i]) && !(s[i] == '.' && i + 1 < s.size() && isDigit(s[i + 1]))) return 0.0;
  double v = 0;
  const char* b = s.data() + i;
  const char* e = s.data() + s.size();
  auto r = std::from_chars(b, e, v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone on overflow and underflow; the C
    // library tells them apart (HUGE_VAL or a tiny value) in the C locale.
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    std::string token(b, r.ptr);
    v = cLocale ? strtod_l(token.c_str(), nullptr, cLocale) : 0.0;
  } else if (r.ec != std::errc()) {
    return 0.0;
  }
  return negative ? -v : v;
}

bool Text::leadingBool(std::string_view s) {
  std::size_t i = skipSpace(s);
  if (i >= s.size()) return false;
  char c = s[i];
  if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
  if (c == '+' || c == '-') ++i;
  while (i < s.size() && s[i] == '0') ++i;
  return i < s.size() && s[i] >= '1' && s[i] <= '9';
}

}  // namespace kx
