#include "CommonUtils/JSONKit/JSONDecoder.h"

#include <locale.h>

#include <bit>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CommonUtils/JSONKit/JKArray.h"
#include "CommonUtils/JSONKit/JKDictionary.h"
#include "CommonUtils/JSONKit/JKTextScan.h"

namespace {

// Token types.
enum class Token : std::uint8_t {
  kInvalid = 0,
  kNumber = 1,
  kString = 2,
  kObjectBegin = 3,
  kObjectEnd = 4,
  kArrayBegin = 5,
  kArrayEnd = 6,
  kSeparator = 7,
  kComma = 8,
  kTrue = 9,
  kFalse = 10,
  kNull = 11,
};

enum class NumberKind : std::uint8_t { kSigned, kUnsigned, kDouble };

// What a container parser accepts next. For dictionaries kAcceptValue stands
// for a key.
constexpr int kAcceptValue = 1;
constexpr int kAcceptComma = 2;
constexpr int kAcceptEnd = 4;

constexpr char kUnexpectedTokenMessage[] =
    "Unexpected token, wanted '{', '}', '[', ']', ',', ':', 'true', 'false', 'null', '\"STRING\"', "
    "'NUMBER'.";
constexpr char kEndOfBufferMessage[] = "Reached the end of the buffer.";
constexpr char kInvalidStringMessage[] = "Invalid string.";
constexpr char kInvalidNumberMessage[] = "Invalid number.";
// Double arithmetic rounds each operation to double (no wider intermediate
// precision), which the exact fast path of number conversion relies on.
constexpr bool kExactDoubleArithmetic = FLT_EVAL_METHOD == 0;

// Scratch entries a parse state keeps between parses.
constexpr std::size_t kKeptScratchEntries = 1 << 16;

// The string cache: 1024 buckets, at most 4 probed per lookup.
constexpr std::size_t kCacheBuckets = 1024;
constexpr std::size_t kCacheMask = kCacheBuckets - 1;
constexpr int kCacheProbes = 4;
constexpr std::uint32_t kStringValueType = 5;
// Longer strings are seldom repeated and would cost a hash of every byte.
constexpr std::size_t kCachedStringMax = 16;

constexpr char kTooDeepMessage[] =
    "Exceeded the maximum nesting depth of 512 arrays and dictionaries.";

inline bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// Eight bytes (first in the lowest position) that are all ASCII digits.
inline bool IsEightDigits(std::uint64_t x) {
  return ((x & 0xF0F0F0F0F0F0F0F0ULL) |
          (((x + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) == 0x3333333333333333ULL;
}

// The value of eight ASCII digits (first in the lowest position).
inline std::uint32_t ParseEightDigits(std::uint64_t x) {
  x = ((x & 0x0F0F0F0F0F0F0F0FULL) * 2561) >> 8;
  x = ((x & 0x00FF00FF00FF00FFULL) * 6553601) >> 16;
  return static_cast<std::uint32_t>(((x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL) >> 32);
}

inline bool IsValueToken(Token t) {
  switch (t) {
    case Token::kNumber:
    case Token::kString:
    case Token::kObjectBegin:
    case Token::kArrayBegin:
    case Token::kTrue:
    case Token::kFalse:
    case Token::kNull: return true;
    default: return false;
  }
}

inline int HexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The C locale, for the rare conversions that go through the C library.
locale_t CLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

// The state of one decoder: its options, the position in the current input,
// the current token, the scratch buffers that survive between parses, and the
// first error of the current parse.
struct JKParseState {
  explicit JKParseState(JKParseOptionFlags flags)
      : options(flags), cache(new CacheItem[kCacheBuckets]) {}

  kx::Value parse(const std::uint8_t* data, std::size_t length, bool mutableResult,
                  kx::Error* errorOut);

  // The string cache: a repeated string value becomes one shared string.
  kx::Value cachedString(std::string_view text);
  void clearCache();

  // Lexing.
  void skipWhitespace();
  void skipWhitespaceSlow();
  bool lineBreakAt(const std::uint8_t* p, std::size_t* length) const;
  bool nextToken();
  bool scanString();
  bool scanStringSlow(const std::uint8_t* s);
  bool scanNumber();

  // Parsing.
  bool pushValue();
  bool parseArray();
  bool parseDictionary();
  void expectedError(int accept, const char* value, const char* comma, const char* end);

  // Errors: only the first message of a parse survives.
  void error(const char* message);
  void errorFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

  JKParseOptionFlags options;

  const std::uint8_t* begin = nullptr;
  const std::uint8_t* end = nullptr;
  const std::uint8_t* at = nullptr;  // the byte index reached
  std::size_t lineNumber = 1;
  const std::uint8_t* lineStart = nullptr;
  int depth = 0;

  // The current token.
  Token type = Token::kInvalid;
  const std::uint8_t* tokenStart = nullptr;
  std::string_view stringValue;  // a string token's value (input or tokenBuffer)
  NumberKind numberKind = NumberKind::kSigned;
  union {
    std::int64_t i;
    std::uint64_t u;
    double d;
  } number{};

  // Scratch storage, kept between parses.
  std::string tokenBuffer;               // strings that need rebuilding
  std::vector<kx::Value> objects;        // values of the open containers
  std::vector<std::string> keys;         // keys of the open dictionaries
  std::vector<std::uint32_t> keyHashes;  // their kx::Dictionary::hashKey() hashes
  bool mutableCollections = false;
  // Storage of the result's longer strings and its collections, closed after
  // each parse.
  kx::ValueArena arena;

  struct CacheItem {
    kx::Value object;  // a String value, or Null for an empty bucket
    std::uint32_t hash = 0;
  };
  std::unique_ptr<CacheItem[]> cache;
  std::vector<std::uint16_t> filledBuckets;  // buckets to empty in clearCache()

  bool failed = false;
  std::string message;
  std::size_t errorIndex = 0;
  std::size_t errorLine = 0;
};

void JKParseState::error(const char* text) {
  if (failed) return;
  failed = true;
  message = text;
  errorIndex = static_cast<std::size_t>(at - begin);
  errorLine = lineNumber;
}

void JKParseState::errorFormat(const char* format, ...) {
  if (failed) return;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  error(text.c_str());
}

// ---------------------------------------------------------------------------
// White space, line breaks and comments.
// ---------------------------------------------------------------------------

// A line break at p: LF, CR, CR LF, and with the Unicode line-break option
// C2 85, E2 80 A8 and E2 80 A9 when all their bytes are in the input.
bool JKParseState::lineBreakAt(const std::uint8_t* p, std::size_t* length) const {
  const std::uint8_t c = *p;
  if (c == '\n') {
    *length = 1;
    return true;
  }
  if (c == '\r') {
    *length = (p + 1 < end && p[1] == '\n') ? 2 : 1;
    return true;
  }
  if (options & JKParseOptionUnicodeLineBreaks) {
    if (c == 0xC2 && p + 1 < end && p[1] == 0x85) {
      *length = 2;
      return true;
    }
    if (c == 0xE2 && p + 2 < end && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
      *length = 3;
      return true;
    }
  }
  return false;
}

inline void JKParseState::skipWhitespace() {
  // Most tokens follow no white space at all.
  if (at<end&& * at> ' ' && *at != '/' && *at < 0x80) return;
  skipWhitespaceSlow();
}

void JKParseState::skipWhitespaceSlow() {
  std::size_t breakLength = 0;
  while (at < end) {
    const std::uint8_t c = *at;
    if (c == ' ' || c == '\t') {
      ++at;
      continue;
    }
    if (lineBreakAt(at, &breakLength)) {
      at += breakLength;
      ++lineNumber;
      lineStart = at;
      continue;
    }
    if (c == '/' && (options & JKParseOptionAllowComments) && at + 1 < end) {
      if (at[1] == '/') {
        // Up to and including the next line break, or to the end.
        at += 2;
        while (at < end) {
          if (lineBreakAt(at, &breakLength)) {
            at += breakLength;
            ++lineNumber;
            lineStart = at;
            break;
          }
          ++at;
        }
        continue;
      }
      if (at[1] == '*') {
        // Up to and including the next "*/", or to the end without error.
        at += 2;
        while (at < end) {
          if (*at == '*' && at + 1 < end && at[1] == '/') {
            at += 2;
            break;
          }
          if (lineBreakAt(at, &breakLength)) {
            at += breakLength;
            ++lineNumber;
            lineStart = at;
            continue;
          }
          ++at;
        }
        continue;
      }
    }
    break;
  }
}

// ---------------------------------------------------------------------------
// Tokens.
// ---------------------------------------------------------------------------

bool JKParseState::nextToken() {
  skipWhitespace();
  type = Token::kInvalid;
  if (at >= end) {
    // Inside a container the document was cut short; at the top it held
    // nothing but white space.
    error(depth > 0 ? kEndOfBufferMessage : kUnexpectedTokenMessage);
    return false;
  }
  tokenStart = at;
  const std::uint8_t c = *at;
  auto keyword = [&](const char* word, std::size_t length, Token token) {
    // The input must go on for at least one byte after the keyword.
    if (static_cast<std::size_t>(end - at) > length && std::memcmp(at, word, length) == 0) {
      at += length;
      type = token;
      return true;
    }
    error(kUnexpectedTokenMessage);
    return false;
  };
  switch (c) {
    case '"':
      if (!scanString()) {
        error(kUnexpectedTokenMessage);
        return false;
      }
      type = Token::kString;
      return true;
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      if (!scanNumber()) {
        error(kUnexpectedTokenMessage);
        return false;
      }
      type = Token::kNumber;
      return true;
    case '{':
      type = Token::kObjectBegin;
      ++at;
      return true;
    case '}':
      type = Token::kObjectEnd;
      ++at;
      return true;
    case '[':
      type = Token::kArrayBegin;
      ++at;
      return true;
    case ']':
      type = Token::kArrayEnd;
      ++at;
      return true;
    case ':':
      type = Token::kSeparator;
      ++at;
      return true;
    case ',':
      type = Token::kComma;
      ++at;
      return true;
    case 't': return keyword("true", 4, Token::kTrue);
    case 'f': return keyword("false", 5, Token::kFalse);
    case 'n': return keyword("null", 4, Token::kNull);
    default: error(kUnexpectedTokenMessage); return false;
  }
}

// Strings: the common case (no escapes, well-formed UTF-8) is taken straight
// from the input. A first pass looks for the byte that ends the plain part (a
// quote, a backslash or a control byte); only when it passed non-ASCII bytes
// is that part checked as UTF-8. Anything else is rebuilt in tokenBuffer by
// scanStringSlow, which goes through the string byte by byte.
bool JKParseState::scanString() {
  const std::uint8_t* const start = at + 1;
  const std::uint8_t* s = start;
  std::uint64_t seen = 0;  // OR of the bytes passed: bit 7 tells of non-ASCII
  for (;;) {
    if (end - s >= 8) {
      const std::uint64_t x = jsonkit::Load8(s);
      const std::uint64_t mask = jsonkit::StringStopMask(x);
      if (mask == 0) {
        seen |= x;
        s += 8;
        continue;
      }
      // The lowest flagged byte is the first real stop byte.
      const int before = std::countr_zero(mask) >> 3;
      seen |= jsonkit::LowBytes(x, before);
      s += before;
      break;
    }
    while (s < end && *s != '"' && *s != '\\' && *s >= 0x20) seen |= *s++;
    break;
  }
  if (seen & jsonkit::kHighBits) {
    if (const std::uint8_t* bad = jsonkit::FindInvalidUTF8(start, s, end, false))
      return scanStringSlow(bad);
  }
  if (s >= end) {
    at = s;
    error(kInvalidStringMessage);
    return false;
  }
  const std::uint8_t c = *s;
  if (c == '"') {
    stringValue =
        std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(s - start));
    at = s + 1;
    return true;
  }
  if (c == '\\') return scanStringSlow(s);
  at = s;
  errorFormat("Invalid character < 0x20 found in string: 0x%2.2x.", c);
  error(kInvalidStringMessage);
  return false;
}

bool JKParseState::scanStringSlow(const std::uint8_t* s) {
  const bool lenient = (options & JKParseOptionLenientUnicode) != 0;
  std::string& out = tokenBuffer;
  out.assign(reinterpret_cast<const char*>(at + 1), static_cast<std::size_t>(s - at - 1));
  auto fail = [&](const std::uint8_t* where) {
    at = where;
    error(kInvalidStringMessage);
    return false;
  };
  auto appendCodePoint = [&](std::uint32_t cp) {
    char bytes[4];
    out.append(bytes, jsonkit::EncodeUTF8(cp, bytes));
  };
  // Reads four hex digits at s: 1 on success, 0 at the end of the input,
  // -1 for a byte that is not a hex digit (reported).
  auto readHex4 = [&](std::uint32_t* value) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      if (s >= end) return 0;
      const int digit = HexValue(*s);
      if (digit < 0) {
        at = s;
        const std::uint8_t bad = *s;
        std::string text = "Unexpected character found in \\u Unicode escape sequence.  Found '";
        if (bad < 0x80) {
          text.push_back(static_cast<char>(bad));
        } else {
          char bytes[4];
          text.append(bytes, jsonkit::EncodeUTF8(bad, bytes));
        }
        text += "', expected [0-9a-fA-F].";
        error(text.c_str());
        return -1;
      }
      v = (v << 4) | static_cast<std::uint32_t>(digit);
      ++s;
    }
    *value = v;
    return 1;
  };

  for (;;) {
    const std::uint8_t* run = s;
    while (end - s >= 8) {
      const std::uint64_t x = jsonkit::Load8(s);
      if (jsonkit::StringStopMask(x) | (x & jsonkit::kHighBits)) break;
      s += 8;
    }
    while (s < end && *s >= 0x20 && *s < 0x80 && *s != '"' && *s != '\\') ++s;
    if (s != run) out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(s - run));
    if (s >= end) return fail(s);
    const std::uint8_t c = *s;
    if (c == '"') {
      stringValue = out;
      at = s + 1;
      return true;
    }
    if (c < 0x20) {
      at = s;
      errorFormat("Invalid character < 0x20 found in string: 0x%2.2x.", c);
      return fail(s);
    }
    if (c >= 0x80) {
      const std::uint8_t* next;
      std::uint32_t cp;
      switch (jsonkit::ConvertSingleCodePointInUTF8(s, end, &next, &cp)) {
        case jsonkit::UTF8Result::kValid:
          out.append(reinterpret_cast<const char*>(s), static_cast<std::size_t>(next - s));
          break;
        case jsonkit::UTF8Result::kCutOff:
          at = s;
          error("End of buffer reached while parsing UTF8 in \"\" string.");
          return fail(s);
        case jsonkit::UTF8Result::kIllFormed:
        case jsonkit::UTF8Result::kDisallowed:
          if (!lenient) {
            at = s;
            error("Illegal UTF8 sequence found in \"\" string.");
            return fail(s);
          }
          appendCodePoint(jsonkit::kReplacementCharacter);
          break;
      }
      s = next;
      continue;
    }

    // An escape.
    const std::uint8_t* escape = s;
    ++s;
    if (s >= end) return fail(s);
    switch (*s) {
      case 'b':
        out.push_back('\b');
        ++s;
        continue;
      case 'f':
        out.push_back('\f');
        ++s;
        continue;
      case 'n':
        out.push_back('\n');
        ++s;
        continue;
      case 'r':
        out.push_back('\r');
        ++s;
        continue;
      case 't':
        out.push_back('\t');
        ++s;
        continue;
      case '\\':
      case '/':
      case '"':
        out.push_back(static_cast<char>(*s));
        ++s;
        continue;
      case 'u': break;
      default:
        at = escape;
        error("Invalid escape sequence found in \"\" string.");
        return fail(s);
    }
    ++s;
    std::uint32_t unit = 0;
    int r = readHex4(&unit);
    if (r <= 0) return fail(s);

    std::uint32_t cp = unit;
    bool legal = true;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      // A high surrogate must be followed by a second \u escape.
      if (s >= end) return fail(s);
      if (*s != '\\' || (s + 1 < end && s[1] != 'u')) {
        if (!lenient) {
          at = s;
          error(
              "Required a second \\u Unicode escape sequence following a surrogate \\u Unicode "
              "escape sequence.");
          return fail(s);
        }
        // Replace the lone surrogate and read the byte again as content
        // (or the backslash again as the start of an escape).
        appendCodePoint(jsonkit::kReplacementCharacter);
        continue;
      }
      if (s + 1 >= end) return fail(s + 1);
      s += 2;
      std::uint32_t low = 0;
      r = readHex4(&low);
      if (r <= 0) return fail(s);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + (unit - 0xD800) * 0x400 + (low - 0xDC00);
      } else {
        legal = false;
      }
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      legal = false;
    }
    if (!legal || !jsonkit::IsAllowedCodePoint(cp)) {
      if (!lenient) {
        at = escape;
        error("Illegal \\u Unicode escape sequence.");
        return fail(s);
      }
      cp = jsonkit::kReplacementCharacter;
    }
    appendCodePoint(cp);
  }
}

// Numbers: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?, which must be
// followed by some byte. Integers are exact 64-bit values; a fraction, an
// exponent or exactly "-0" makes a double.
bool JKParseState::scanNumber() {
  const std::uint8_t* const start = at;
  const std::uint8_t* s = at;
  const bool negative = *s == '-';
  if (negative) ++s;
  auto invalid = [&]() {
    at = s;
    error(kInvalidNumberMessage);
    return false;
  };
  // All digits (integer and fraction part) are gathered while scanning; the
  // value is exact when there are at most 19 of them.
  std::uint64_t mantissa = 0;
  if (s >= end || !IsDigit(*s)) return invalid();
  const std::uint8_t* const integerStart = s;
  // Eight digits at a time where they come in runs. Past 19 digits the
  // mantissa wraps; it is then not used.
  auto digits = [&]() {
    while (end - s >= 8) {
      const std::uint64_t x = jsonkit::Load8(s);
      if (!IsEightDigits(x)) break;
      mantissa = mantissa * 100000000 + ParseEightDigits(x);
      s += 8;
    }
    while (s < end && IsDigit(*s)) mantissa = mantissa * 10 + static_cast<unsigned>(*s++ - '0');
  };
  if (*s == '0') {
    ++s;
  } else {
    digits();
  }
  const std::size_t integerDigits = static_cast<std::size_t>(s - integerStart);
  std::size_t fractionDigits = 0;
  bool isDouble = false;
  int exponent = 0;
  bool exponentTooLarge = false;
  if (s < end && *s == '.') {
    isDouble = true;
    ++s;
    const std::uint8_t* const fractionStart = s;
    digits();
    fractionDigits = static_cast<std::size_t>(s - fractionStart);
    if (fractionDigits == 0) return invalid();
  }
  if (s < end && (*s == 'e' || *s == 'E')) {
    isDouble = true;
    ++s;
    bool negativeExponent = false;
    if (s < end && (*s == '+' || *s == '-')) negativeExponent = *s++ == '-';
    if (s >= end || !IsDigit(*s)) return invalid();
    while (s < end && IsDigit(*s)) {
      if (exponent < 100000) {
        exponent = exponent * 10 + (*s - '0');
      } else {
        exponentTooLarge = true;
      }
      ++s;
    }
    if (negativeExponent) exponent = -exponent;
  }
  const std::size_t digitCount = integerDigits + fractionDigits;
  if (s >= end) return invalid();

  const char* first = reinterpret_cast<const char*>(start);
  const char* last = reinterpret_cast<const char*>(s);
  const std::size_t length = static_cast<std::size_t>(s - start);
  at = s;
  auto token = [&]() { return std::string(first, length); };

  // Exact without rounding trouble: a mantissa of at most 2^53 scaled by a
  // power of ten of at most 10^22, both exact doubles, rounds once.
  if (kExactDoubleArithmetic && isDouble && digitCount <= 19 && !exponentTooLarge &&
      mantissa <= (std::uint64_t{1} << 53)) {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const int scale = exponent - static_cast<int>(fractionDigits);
    if (scale >= -22 && scale <= 22) {
      double value = static_cast<double>(mantissa);
      value = scale < 0 ? value / kPow10[-scale] : value * kPow10[scale];
      numberKind = NumberKind::kDouble;
      number.d = negative ? -value : value;
      return true;
    }
  }
  if (!isDouble && integerDigits <= (negative ? 18u : 19u)) {
    if (negative) {
      numberKind = NumberKind::kSigned;
      number.i = -static_cast<std::int64_t>(mantissa);
    } else {
      numberKind = NumberKind::kUnsigned;
      number.u = mantissa;
    }
    // Exactly "-0" is the double -0.0.
    if (negative && mantissa == 0) {
      numberKind = NumberKind::kDouble;
      number.d = -0.0;
    }
    return true;
  }

  if (isDouble || (negative && length == 2 && first[1] == '0')) {
    double value = 0;
    auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
      // Only overflow to infinity and underflow to zero land here; subnormal
      // values are representable and come back as they are.
      const std::string text = token();
      const double approx = strtod_l(text.c_str(), nullptr, CLocale());
      errorFormat("The value '%s' could not be represented as a 'double' due to %s.", text.c_str(),
                  approx == 0 ? "underflow" : "overflow");
      return false;
    }
    if (result.ec != std::errc() || result.ptr != last) {
      error("The conversion function did not consume all of the number tokens characters.");
      return false;
    }
    numberKind = NumberKind::kDouble;
    number.d = value;
    return true;
  }

  if (negative) {
    std::int64_t value = 0;
    auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc::result_out_of_range) {
      errorFormat("The value '%s' exceeded the minimum value that could be represented: %lld.",
                  token().c_str(),
                  static_cast<long long>(std::numeric_limits<std::int64_t>::min()));
      return false;
    }
    if (result.ec != std::errc() || result.ptr != last) {
      error("The conversion function did not consume all of the number tokens characters.");
      return false;
    }
    numberKind = NumberKind::kSigned;
    number.i = value;
    return true;
  }
  std::uint64_t value = 0;
  auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) {
    errorFormat("The value '%s' exceeded the maximum value that could be represented: %llu.",
                token().c_str(),
                static_cast<unsigned long long>(std::numeric_limits<std::uint64_t>::max()));
    return false;
  }
  if (result.ec != std::errc() || result.ptr != last) {
    error("The conversion function did not consume all of the number tokens characters.");
    return false;
  }
  numberKind = NumberKind::kUnsigned;
  number.u = value;
  return true;
}

// ---------------------------------------------------------------------------
// Values and containers.
// ---------------------------------------------------------------------------

// Pushes the value of the current token (which must be a value token).
bool JKParseState::pushValue() {
  switch (type) {
    case Token::kString: objects.push_back(cachedString(stringValue)); return true;
    case Token::kNumber:
      switch (numberKind) {
        case NumberKind::kSigned: objects.emplace_back(static_cast<long long>(number.i)); break;
        case NumberKind::kUnsigned:
          // Integers in the signed range are signed numbers.
          if (number.u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            objects.emplace_back(static_cast<long long>(number.u));
          } else {
            objects.emplace_back(static_cast<unsigned long long>(number.u));
          }
          break;
        case NumberKind::kDouble: objects.emplace_back(number.d); break;
      }
      return true;
    case Token::kTrue: objects.emplace_back(true); return true;
    case Token::kFalse: objects.emplace_back(false); return true;
    case Token::kNull: objects.emplace_back(); return true;
    case Token::kArrayBegin: return parseArray();
    case Token::kObjectBegin: return parseDictionary();
    default: return false;
  }
}

// "Expected a value or a ']', not ':'": the alternatives in force, then the
// current token's own text.
void JKParseState::expectedError(int accept, const char* value, const char* comma,
                                 const char* endText) {
  if (failed) return;
  const char* alternatives[3];
  int count = 0;
  if (accept & kAcceptValue) alternatives[count++] = value;
  if (accept & kAcceptComma) alternatives[count++] = comma;
  if (accept & kAcceptEnd) alternatives[count++] = endText;
  const int tokenLength = static_cast<int>(at - tokenStart);
  const char* tokenText = reinterpret_cast<const char*>(tokenStart);
  if (count == 1) {
    errorFormat("Expected %s, not '%*.*s'", alternatives[0], tokenLength, tokenLength, tokenText);
  } else if (count == 2) {
    errorFormat("Expected %s or %s, not '%*.*s'", alternatives[0], alternatives[1], tokenLength,
                tokenLength, tokenText);
  } else {
    errorFormat("Expected %s, %s, or %s, not '%*.*s'", alternatives[0], alternatives[1],
                alternatives[2], tokenLength, tokenLength, tokenText);
  }
}

bool JKParseState::parseArray() {
  if (depth >= JSONDecoder::kMaxDepth) {
    error(kTooDeepMessage);
    return false;
  }
  ++depth;
  const std::size_t base = objects.size();
  int accept = kAcceptValue | kAcceptEnd;
  for (;;) {
    if (!nextToken()) return false;
    switch (type) {
      case Token::kNumber:
      case Token::kString:
      case Token::kObjectBegin:
      case Token::kArrayBegin:
      case Token::kTrue:
      case Token::kFalse:
      case Token::kNull:
        if (!(accept & kAcceptValue)) {
          error("Unexpected value.");
          return false;
        }
        if (!pushValue()) return false;
        accept = kAcceptComma | kAcceptEnd;
        break;
      case Token::kComma:
        if (!(accept & kAcceptComma)) {
          error("Unexpected ','.");
          return false;
        }
        accept = kAcceptValue;
        break;
      case Token::kArrayEnd: {
        if (!(accept & kAcceptEnd)) {
          error("Unexpected ']'.");
          return false;
        }
        kx::Value array = JKArray::create(objects.data() + base, objects.size() - base,
                                          mutableCollections, &arena);
        objects.erase(objects.begin() + static_cast<std::ptrdiff_t>(base), objects.end());
        objects.push_back(std::move(array));
        --depth;
        return true;
      }
      default: expectedError(accept, "a value", "a comma", "a ']'"); return false;
    }
  }
}

bool JKParseState::parseDictionary() {
  if (depth >= JSONDecoder::kMaxDepth) {
    error(kTooDeepMessage);
    return false;
  }
  ++depth;
  const std::size_t base = objects.size();
  const std::size_t keyBase = keys.size();
  int accept = kAcceptValue | kAcceptEnd;
  for (;;) {
    if (!nextToken()) return false;
    switch (type) {
      case Token::kString:
        if (!(accept & kAcceptValue)) {
          error("Unexpected string.");
          return false;
        }
        keys.emplace_back(stringValue);
        keyHashes.push_back(kx::Dictionary::hashKey(stringValue));
        break;
      case Token::kObjectEnd: {
        if (!(accept & kAcceptEnd)) {
          error("Unexpected '}'.");
          return false;
        }
        // A repeated key keeps the later value.
        kx::Value dictionary = JKDictionary::create(
            keys.data() + keyBase, keyHashes.data() + keyBase, objects.data() + base,
            keys.size() - keyBase, mutableCollections, &arena);
        keys.erase(keys.begin() + static_cast<std::ptrdiff_t>(keyBase), keys.end());
        keyHashes.resize(keyBase);
        objects.erase(objects.begin() + static_cast<std::ptrdiff_t>(base), objects.end());
        objects.push_back(std::move(dictionary));
        --depth;
        return true;
      }
      case Token::kComma:
        if (!(accept & kAcceptComma)) {
          error("Unexpected ','.");
          return false;
        }
        accept = kAcceptValue;
        continue;
      default: expectedError(accept, "a \"STRING\"", "a comma", "a '}'"); return false;
    }

    // After a key: a colon, then a value.
    if (!nextToken()) return false;
    if (type != Token::kSeparator) {
      error("Expected ':'.");
      return false;
    }
    if (!nextToken()) return false;
    if (!IsValueToken(type)) {
      expectedError(accept & (kAcceptValue | kAcceptEnd), "a value", "a comma", "a '}'");
      return false;
    }
    if (!pushValue()) return false;
    accept = kAcceptComma | kAcceptEnd;
  }
}

// ---------------------------------------------------------------------------
// The string cache.
// ---------------------------------------------------------------------------

// Strings of up to kCachedStringMax bytes are cached. A bucket is probed
// from hash & 1023, then at (hash + i * (size + 5 + 3)) &
// 1023 for i = 1 to 3. A hit hands out the cached string; a miss fills the
// first empty bucket probed, or else evicts the home bucket.
kx::Value JKParseState::cachedString(std::string_view text) {
  if (text.empty()) {
    static const kx::Value* const kEmpty = new kx::Value(std::string());
    return *kEmpty;
  }
  if (text.size() > kCachedStringMax) return kx::Value(text, arena);
  const std::uint32_t hash = kx::Dictionary::hashKey(text);
  const std::size_t home = hash & kCacheMask;
  const std::size_t step = text.size() + kStringValueType + 3;
  std::size_t target = home;
  for (int i = 0; i < kCacheProbes; ++i) {
    const std::size_t bucket = (hash + static_cast<std::size_t>(i) * step) & kCacheMask;
    CacheItem& item = cache[bucket];
    if (item.object.isNull()) {
      target = bucket;
      filledBuckets.push_back(static_cast<std::uint16_t>(bucket));
      break;
    }
    if (item.hash == hash) {
      const std::string_view cached = item.object.stringView();
      if (cached.size() == text.size() &&
          std::memcmp(cached.data(), text.data(), text.size()) == 0) {
        return item.object;
      }
    }
  }
  CacheItem& item = cache[target];
  item.object = kx::Value(text);
  item.hash = hash;
  return item.object;
}

void JKParseState::clearCache() {
  for (std::uint16_t bucket : filledBuckets) cache[bucket] = CacheItem();
  filledBuckets.clear();
}

// ---------------------------------------------------------------------------
// One parse.
// ---------------------------------------------------------------------------

kx::Value JKParseState::parse(const std::uint8_t* data, std::size_t length, bool mutableResult,
                              kx::Error* errorOut) {
  mutableCollections = mutableResult;
  begin = data;
  end = data + length;
  at = data;
  lineNumber = 1;
  lineStart = data;
  depth = 0;
  failed = false;
  message.clear();
  objects.clear();
  keys.clear();
  keyHashes.clear();

  if (length == 0) {
    error(kEndOfBufferMessage);
  } else if (nextToken()) {
    if (type == Token::kArrayBegin || type == Token::kObjectBegin) {
      pushValue();
    } else {
      error("Expected either '[' or '{'.");
    }
  }
  if (!failed && objects.size() != 1) error("Unable to parse JSON.");

  if (!failed && at < end) {
    skipWhitespace();
    if (at < end && !(options & JKParseOptionTrailingText)) {
      error(
          "A valid JSON object was parsed but there were additional non-white-space characters "
          "remaining.");
    }
  }

  kx::Value result;
  if (failed) {
    if (errorOut) {
      kx::Dictionary info;
      info.set(kx::kLocalizedDescriptionKey, kx::Value(message));
      info.set(JKAtIndexKey, kx::Value(static_cast<unsigned long long>(errorIndex)));
      info.set(JKLineNumberKey, kx::Value(static_cast<long long>(errorLine)));
      *errorOut = kx::Error(kJKErrorDomain, -1, kx::Value(std::move(info)));
    }
  } else {
    result = std::move(objects.back());
    if (errorOut) *errorOut = kx::Error();
  }
  objects.clear();
  keys.clear();
  keyHashes.clear();
  arena.close();
  tokenBuffer.clear();
  stringValue = {};
  begin = end = at = lineStart = tokenStart = nullptr;
  // Keep the scratch storage for the next parse unless a huge document made
  // it large.
  if (objects.capacity() > kKeptScratchEntries) std::vector<kx::Value>().swap(objects);
  if (keys.capacity() > kKeptScratchEntries) {
    std::vector<std::string>().swap(keys);
    std::vector<std::uint32_t>().swap(keyHashes);
  }
  if (tokenBuffer.capacity() > kKeptScratchEntries * 16) std::string().swap(tokenBuffer);
  return result;
}

// ---------------------------------------------------------------------------
// Parsing functions of JSONKit.h. Each thread keeps one parse state for them,
// so that repeated calls reuse its scratch storage; a parse never calls out,
// so the state cannot be entered twice at once.
// ---------------------------------------------------------------------------

namespace {

kx::Value ParseWithThreadState(const std::uint8_t* data, std::size_t length,
                               JKParseOptionFlags options, bool mutableResult, kx::Error* error) {
  if (options > JKParseOptionValidFlags)
    throw kx::Exception("NSInvalidArgumentException", "Invalid parse options.");
  static const std::uint8_t kEmpty = 0;
  thread_local JKParseState state(JKParseOptionStrict);
  state.options = options;
  kx::Value result = state.parse(data ? data : &kEmpty, length, mutableResult, error);
  // Each call starts with an empty cache.
  state.clearCache();
  return result;
}

const std::uint8_t* BytesOf(std::string_view json) {
  return reinterpret_cast<const std::uint8_t*>(json.data());
}

}  // namespace

kx::Value objectFromJSONString(std::string_view json) {
  return objectFromJSONStringWithParseOptions(json, JKParseOptionStrict, nullptr);
}

kx::Value objectFromJSONStringWithParseOptions(std::string_view json,
                                               JKParseOptionFlags parseOptionFlags,
                                               kx::Error* error) {
  return ParseWithThreadState(BytesOf(json), json.size(), parseOptionFlags, false, error);
}

kx::Value mutableObjectFromJSONString(std::string_view json) {
  return mutableObjectFromJSONStringWithParseOptions(json, JKParseOptionStrict, nullptr);
}

kx::Value mutableObjectFromJSONStringWithParseOptions(std::string_view json,
                                                      JKParseOptionFlags parseOptionFlags,
                                                      kx::Error* error) {
  return ParseWithThreadState(BytesOf(json), json.size(), parseOptionFlags, true, error);
}

kx::Value objectFromJSONData(const kx::Bytes& data) {
  return objectFromJSONDataWithParseOptions(data, JKParseOptionStrict, nullptr);
}

kx::Value objectFromJSONDataWithParseOptions(const kx::Bytes& data,
                                             JKParseOptionFlags parseOptionFlags,
                                             kx::Error* error) {
  return ParseWithThreadState(data.data(), data.size(), parseOptionFlags, false, error);
}

kx::Value mutableObjectFromJSONData(const kx::Bytes& data) {
  return mutableObjectFromJSONDataWithParseOptions(data, JKParseOptionStrict, nullptr);
}

kx::Value mutableObjectFromJSONDataWithParseOptions(const kx::Bytes& data,
                                                    JKParseOptionFlags parseOptionFlags,
                                                    kx::Error* error) {
  return ParseWithThreadState(data.data(), data.size(), parseOptionFlags, true, error);
}

// ---------------------------------------------------------------------------
// JSONDecoder.
// ---------------------------------------------------------------------------

JSONDecoder::JSONDecoder() : JSONDecoder(JKParseOptionStrict) {}

JSONDecoder::JSONDecoder(JKParseOptionFlags parseOptionFlags) {
  if (parseOptionFlags > JKParseOptionValidFlags) {
    throw kx::Exception("NSInvalidArgumentException", "Invalid parse options.");
  }
  parseState_ = std::make_unique<JKParseState>(parseOptionFlags);
}

JSONDecoder::~JSONDecoder() = default;
JSONDecoder::JSONDecoder(JSONDecoder&&) noexcept = default;
JSONDecoder& JSONDecoder::operator=(JSONDecoder&&) noexcept = default;

JSONDecoder JSONDecoder::decoder() { return JSONDecoder(JKParseOptionStrict); }

JSONDecoder JSONDecoder::decoderWithParseOptions(JKParseOptionFlags parseOptionFlags) {
  return JSONDecoder(parseOptionFlags);
}

JKParseState& JSONDecoder::state() const {
  if (!parseState_) throw kx::Exception("NSInternalInconsistencyException", "parseState is NULL.");
  return *parseState_;
}

JKParseOptionFlags JSONDecoder::parseOptionFlags() const { return state().options; }

void JSONDecoder::clearCache() { state().clearCache(); }

kx::Value JSONDecoder::parse(const std::uint8_t* string, std::size_t length, bool mutableResult,
                             kx::Error* error) {
  JKParseState& parseState = state();
  if (string == nullptr)
    throw kx::Exception("NSInvalidArgumentException", "The string argument is NULL.");
  return parseState.parse(string, length, mutableResult, error);
}

namespace {
const std::uint8_t kNoBytes = 0;
}  // namespace

kx::Value JSONDecoder::objectWithUTF8String(const std::uint8_t* string, std::size_t length,
                                            kx::Error* error) {
  return parse(string, length, false, error);
}

kx::Value JSONDecoder::objectWithUTF8String(const char* string, std::size_t length,
                                            kx::Error* error) {
  return parse(reinterpret_cast<const std::uint8_t*>(string), length, false, error);
}

kx::Value JSONDecoder::objectWithData(const kx::Bytes& jsonData, kx::Error* error) {
  return parse(jsonData.empty() ? &kNoBytes : jsonData.data(), jsonData.size(), false, error);
}

kx::Value JSONDecoder::mutableObjectWithUTF8String(const std::uint8_t* string, std::size_t length,
                                                   kx::Error* error) {
  return parse(string, length, true, error);
}

kx::Value JSONDecoder::mutableObjectWithUTF8String(const char* string, std::size_t length,
                                                   kx::Error* error) {
  return parse(reinterpret_cast<const std::uint8_t*>(string), length, true, error);
}

kx::Value JSONDecoder::mutableObjectWithData(const kx::Bytes& jsonData, kx::Error* error) {
  return parse(jsonData.empty() ? &kNoBytes : jsonData.data(), jsonData.size(), true, error);
}

kx::Value JSONDecoder::parseUTF8String(const std::uint8_t* string, std::size_t length,
                                       kx::Error* error) {
  return objectWithUTF8String(string, length, error);
}

kx::Value JSONDecoder::parseUTF8String(const char* string, std::size_t length, kx::Error* error) {
  return objectWithUTF8String(string, length, error);
}

kx::Value JSONDecoder::parseJSONData(const kx::Bytes& jsonData, kx::Error* error) {
  return objectWithData(jsonData, error);
}
