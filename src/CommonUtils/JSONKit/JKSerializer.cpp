#include "CommonUtils/JSONKit/JKSerializer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "CommonUtils/JSONKit/JKTextScan.h"
#include "CommonUtils/JSONKit/JKUTF8Check.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Bytes that go out unchanged in a string: everything but control bytes,
// '"' and '\\' (non-ASCII bytes are checked as UTF-8 separately). The second
// table also stops at '/'.
struct PassTables {
  bool pass[256];
  bool passNoSlash[256];
  constexpr PassTables() : pass(), passNoSlash() {
    for (int c = 0; c < 256; ++c) {
      const bool p = c >= 0x20 && c != '"' && c != '\\';
      pass[c] = p;
      passNoSlash[c] = p && c != '/';
    }
  }
};
constexpr PassTables kTables;

// The class each kind of value stands for in messages.
const char* ClassName(const kx::Value& value) {
  switch (value.kind()) {
    case kx::Value::Kind::Null: return "NSNull";
    case kx::Value::Kind::Bool:
    case kx::Value::Kind::Int64:
    case kx::Value::Kind::UInt64:
    case kx::Value::Kind::Double: return "NSNumber";
    case kx::Value::Kind::String: return "NSString";
    case kx::Value::Kind::Data: return "NSData";
    case kx::Value::Kind::Date: return "NSDate";
    case kx::Value::Kind::Array: return "NSArray";
    case kx::Value::Kind::Dictionary: return "NSDictionary";
  }
  return "NSObject";
}

inline bool IsSupported(const kx::Value& value) { return !value.isData() && !value.isDate(); }

// Rank of a byte for comparing UTF-8 text in UTF-16 code-unit order. The two
// orders differ only between U+E000-U+FFFF (lead bytes EE, EF) and the
// supplementary planes (lead bytes F0-F4): UTF-16 puts the latter first, since
// their surrogates D800-DBFF sort before E000. Moving EE and EF after F4 makes
// a byte-wise comparison follow UTF-16.
inline int UTF16OrderRank(std::uint8_t c) {
  if (c >= 0xF0 && c <= 0xF4) return c - 2;  // EE..F2
  if (c == 0xEE || c == 0xEF) return c + 5;  // F3, F4
  return c;
}

// True when a sorts before b by UTF-16 code units.
bool KeyLessUTF16(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  const auto* pa = reinterpret_cast<const std::uint8_t*>(a.data());
  const auto* pb = reinterpret_cast<const std::uint8_t*>(b.data());
  for (std::size_t i = 0; i < n; ++i) {
    if (pa[i] != pb[i]) return UTF16OrderRank(pa[i]) < UTF16OrderRank(pb[i]);
  }
  return a.size() < b.size();
}

// Writes a finite double as printf's "%.17g" does in the C locale, into at
// least 32 bytes at `out`; returns the length.
//
// Most values, 1e-5 <= |d| < 1e17, are rounded to 17 significant digits here
// with exact 128-bit arithmetic (d = m * 2^e, digits = m * 10^p / 2^-e rounded
// half to even, as printf rounds); the others go through std::to_chars, which
// gives the same text more slowly.
std::size_t FormatDouble(double d, char* out) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  const double magnitude = std::fabs(d);
  if (biased == 0 || !(magnitude >= 1e-5 && magnitude < 1e17)) {
    return static_cast<std::size_t>(
        std::to_chars(out, out + 32, d, std::chars_format::general, 17).ptr - out);
  }
  using u128 = unsigned __int128;
  static constexpr std::uint64_t kPow10[20] = {1ULL,
                                               10ULL,
                                               100ULL,
                                               1000ULL,
                                               10000ULL,
                                               100000ULL,
                                               1000000ULL,
                                               10000000ULL,
                                               100000000ULL,
                                               1000000000ULL,
                                               10000000000ULL,
                                               100000000000ULL,
                                               1000000000000ULL,
                                               10000000000000ULL,
                                               100000000000000ULL,
                                               1000000000000000ULL,
                                               10000000000000000ULL,
                                               100000000000000000ULL,
                                               1000000000000000000ULL,
                                               10000000000000000000ULL};
  auto pow10 = [](int n) -> u128 {
    return n < 20 ? u128{kPow10[n]} : u128{kPow10[19]} * kPow10[n - 19];
  };
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = biased - 1075;                            // d = m * 2^e
  constexpr std::uint64_t kLow = 10000000000000000ULL;    // 10^16
  constexpr std::uint64_t kHigh = 100000000000000000ULL;  // 10^17

  // k = floor(log10 |d|) and the digits are |d| * 10^(16 - k), rounded. The
  // first guess, floor(log2 |d|) * log10(2), is k or k - 1; the loop corrects it.
  int k = std::clamp(((biased - 1023) * 78913) >> 18, -6, 16);
  std::uint64_t digits = 0;
  for (int attempt = 0; attempt < 3 && k >= -6 && k <= 16; ++attempt) {
    const int p = 16 - k;  // 0 .. 22
    if (e >= 0) {
      // An integer below 10^17: m << e fits, times 10^p (p <= 1) too.
      const u128 n = (u128{m} << e) * pow10(p);
      if (n < kLow) {
        --k;
        continue;
      }
      if (n >= kHigh) {
        ++k;
        continue;
      }
      digits = static_cast<std::uint64_t>(n);
      break;
    }
    const int q = -e;  // at most 70 here
    const u128 n = u128{m} * pow10(p);
    const u128 whole = n >> q;
    if (whole < kLow) {
      --k;
      continue;
    }
    if (whole >= kHigh) {
      ++k;
      continue;
    }
    digits = static_cast<std::uint64_t>(whole);
    const u128 rest = n - (whole << q);
    const u128 half = u128{1} << (q - 1);
    if (rest > half || (rest == half && (digits & 1))) ++digits;
    if (digits == kHigh) {
      digits = kLow;
      ++k;
    }
    break;
  }
  if (digits < kLow || digits >= kHigh || k < -5 || k > 16) {
    return static_cast<std::size_t>(
        std::to_chars(out, out + 32, d, std::chars_format::general, 17).ptr - out);
  }

  char text[17];
  {
    // Two digits at a time: 1 + 8 + 8.
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    std::uint32_t low = static_cast<std::uint32_t>(digits % 100000000);
    std::uint32_t middle = static_cast<std::uint32_t>((digits / 100000000) % 100000000);
    text[0] = static_cast<char>('0' + digits / 10000000000000000ULL);
    for (int i = 7; i >= 1; i -= 2) {
      std::memcpy(text + 1 + i - 1, kPairs + 2 * (middle % 100), 2);
      std::memcpy(text + 9 + i - 1, kPairs + 2 * (low % 100), 2);
      middle /= 100;
      low /= 100;
    }
  }
  int length = 17;  // significant digits without trailing zeros
  while (length > 1 && text[length - 1] == '0') --length;

  char* o = out;
  if (bits >> 63) *o++ = '-';
  if (k < -4) {
    // Exponent form: d.ddde-05 (the range here gives only negative exponents).
    *o++ = text[0];
    if (length > 1) {
      *o++ = '.';
      std::memcpy(o, text + 1, static_cast<std::size_t>(length - 1));
      o += length - 1;
    }
    const int x = -k;
    *o++ = 'e';
    *o++ = '-';
    *o++ = static_cast<char>('0' + x / 10);
    *o++ = static_cast<char>('0' + x % 10);
  } else if (k >= 0) {
    // ddd.ddd: k + 1 digits before the point.
    std::memcpy(o, text, static_cast<std::size_t>(k + 1));
    o += k + 1;
    if (length > k + 1) {
      *o++ = '.';
      std::memcpy(o, text + k + 1, static_cast<std::size_t>(length - k - 1));
      o += length - k - 1;
    }
  } else {
    // 0.000ddd
    *o++ = '0';
    *o++ = '.';
    for (int i = -1; i > k; --i) *o++ = '0';
    std::memcpy(o, text, static_cast<std::size_t>(length));
    o += length;
  }
  return static_cast<std::size_t>(o - out);
}

// Scratch output of one thread, kept between calls up to kKeptScratch bytes.
// A formatter block that writes JSON itself gets a buffer of its own.
struct Scratch {
  static constexpr std::size_t kKeptScratch = std::size_t{8} << 20;
  ~Scratch() { std::free(data); }
  char* data = nullptr;
  std::size_t capacity = 0;
  bool inUse = false;
};

// Growable output: the text is written into scratch storage (grown without
// zero-filling) and copied into the std::string or kx::Bytes once, at the end.
template <class Container>
class Sink {
 public:
  explicit Sink(Container& c) : c_(c) {
    static thread_local Scratch scratch;
    if (!scratch.inUse) {
      scratch_ = &scratch;
      scratch.inUse = true;
      data_ = scratch.data;
      capacity_ = scratch.capacity;
    }
    if (capacity_ < 256) grow(256);
  }
  ~Sink() {
    if (scratch_) {
      if (capacity_ > Scratch::kKeptScratch) {
        std::free(data_);
        data_ = nullptr;
        capacity_ = 0;
      }
      scratch_->data = data_;
      scratch_->capacity = capacity_;
      scratch_->inUse = false;
    } else {
      std::free(data_);
    }
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  char* ensure(std::size_t n) {
    if (capacity_ - length_ < n) grow(n);
    return data_ + length_;
  }
  void advance(std::size_t n) { length_ += n; }
  void put(char ch) {
    *ensure(1) = ch;
    ++length_;
  }
  void append(const char* s, std::size_t n) {
    std::memcpy(ensure(n), s, n);
    length_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void finish() {
    const auto* p = reinterpret_cast<const typename Container::value_type*>(data_);
    c_.assign(p, p + length_);
  }
  void discard() { c_.clear(); }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t capacity = std::max(capacity_ * 2, length_ + n + 256);
    char* data = static_cast<char*>(std::realloc(data_, capacity));
    if (data == nullptr) throw std::bad_alloc();
    data_ = data;
    capacity_ = capacity;
  }

  Container& c_;
  Scratch* scratch_ = nullptr;
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t length_ = 0;
};

template <class Container>
class Encoder {
 public:
  Encoder(Container& out, JKSerializeOptionFlags options, JKEncodeOptionType encodeOption,
          const JKSerializeUnsupportedClassesBlock* block)
      : out_(out),
        pretty_((options & JKSerializeOptionPretty) != 0),
        unicodeEscapes_((options & JKSerializeOptionUnicodeEscapes) != 0),
        slashEscapes_((options & JKSerializeOptionSlashEscapes) != 0),
        quotes_((encodeOption & JKEncodeOptionStringObjTrimQuotes) == 0),
        block_(block && *block ? block : nullptr) {}

  bool encodeValue(const kx::Value& value);
  bool encodeArray(const kx::Array& array);
  bool encodeDictionary(const kx::Dictionary& dictionary);

  // Ends the call: trims the output, or drops it and fills *error.
  [[nodiscard]] bool finish(kx::Error* error) {
    if (failed_) {
      out_.discard();
      if (error) *error = kx::Error::make(kJKErrorDomain, -1, message_);
      return false;
    }
    out_.finish();
    if (error) *error = kx::Error();
    return true;
  }

  void fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  bool encodeString(std::string_view s);
  bool appendEscapedUnicode(const std::uint8_t* p, const std::uint8_t* stop,
                            const std::uint8_t* end);
  bool encodeDouble(double d);
  bool encodeUnsupported(const kx::Value& value);
  void newline() {
    const std::size_t indent = 2 * static_cast<std::size_t>(depth_);
    char* p = out_.ensure(1 + indent);
    p[0] = '\n';
    std::memset(p + 1, ' ', indent);
    out_.advance(1 + indent);
  }
  bool enter() {
    if (depth_ >= JKSerializer::kMaxDepth) {
      fail("Exceeded the maximum nesting depth of 512 arrays and dictionaries.");
      return false;
    }
    ++depth_;
    return true;
  }

  Sink<Container> out_;
  const bool pretty_;
  const bool unicodeEscapes_;
  const bool slashEscapes_;
  const bool quotes_;
  const JKSerializeUnsupportedClassesBlock* block_;
  int depth_ = 0;
  bool failed_ = false;
  std::string message_;
};

template <class Container>
void Encoder<Container>::fail(const char* format, ...) {
  if (failed_) return;
  failed_ = true;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  message_.assign(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(message_.data(), message_.size() + 1, format, again);
  va_end(again);
}

template <class Container>
bool Encoder<Container>::encodeValue(const kx::Value& value) {
  switch (value.kind()) {
    case kx::Value::Kind::Null: out_.append("null", 4); return true;
    case kx::Value::Kind::Bool:
      if (value.boolValue()) {
        out_.append("true", 4);
      } else {
        out_.append("false", 5);
      }
      return true;
    case kx::Value::Kind::Int64: {
      char* p = out_.ensure(24);
      out_.advance(static_cast<std::size_t>(std::to_chars(p, p + 24, value.intValue()).ptr - p));
      return true;
    }
    case kx::Value::Kind::UInt64: {
      char* p = out_.ensure(24);
      out_.advance(
          static_cast<std::size_t>(std::to_chars(p, p + 24, value.unsignedValue()).ptr - p));
      return true;
    }
    case kx::Value::Kind::Double: return encodeDouble(value.doubleValue());
    case kx::Value::Kind::String: return encodeString(value.stringView());
    case kx::Value::Kind::Array: return encodeArray(value.array());
    case kx::Value::Kind::Dictionary: return encodeDictionary(value.dict());
    case kx::Value::Kind::Data:
    case kx::Value::Kind::Date: return encodeUnsupported(value);
  }
  return encodeUnsupported(value);
}

template <class Container>
bool Encoder<Container>::encodeUnsupported(const kx::Value& value) {
  std::optional<kx::Value> replacement;
  if (block_) replacement = (*block_)(value);
  if (!replacement) {
    fail("Unable to serialize object class %s.", ClassName(value));
    return false;
  }
  if (!IsSupported(*replacement)) {
    fail(
        "Unable to serialize object class %s that was returned by the unsupported class formatter. "
        " Original object "
        "class was %s.",
        ClassName(*replacement), ClassName(value));
    return false;
  }
  return encodeValue(*replacement);
}

template <class Container>
bool Encoder<Container>::encodeDouble(double d) {
  if (!std::isfinite(d)) {
    fail("Floating point values must be finite.  JSON does not support NaN or Infinity.");
    return false;
  }
  char* p = out_.ensure(32);
  out_.advance(FormatDouble(d, p));
  return true;
}

template <class Container>
bool Encoder<Container>::encodeString(std::string_view s) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const auto* const end = p + s.size();
  const bool* pass = slashEscapes_ ? kTables.passNoSlash : kTables.pass;
  if (quotes_) out_.put('"');
  for (;;) {
    // A run of bytes that need no escape (non-ASCII bytes included).
    const std::uint8_t* run = p;
    std::uint64_t seen = 0;  // OR of the run's bytes: bit 7 tells of non-ASCII
    if (!slashEscapes_) {
      while (end - p >= 8) {
        const std::uint64_t x = jsonkit::Load8(p);
        const std::uint64_t mask = jsonkit::StringStopMask(x);
        if (mask != 0) {
          const int before = std::countr_zero(mask) >> 3;
          seen |= jsonkit::LowBytes(x, before);
          p += before;
          break;
        }
        seen |= x;
        p += 8;
      }
    }
    while (p < end && pass[*p]) seen |= *p++;

    if (!(seen & jsonkit::kHighBits)) {
      if (p != run)
        out_.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    } else if (!unicodeEscapes_ &&
               jsonkit::IsWellFormedUTF8(run, static_cast<std::size_t>(p - run))) {
      out_.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    } else if (!unicodeEscapes_) {
      // Raw UTF-8; bytes that are not UTF-8 become U+FFFD.
      const std::uint8_t* q = run;
      while (const std::uint8_t* bad = jsonkit::FindInvalidUTF8(q, p, end, true)) {
        out_.append(reinterpret_cast<const char*>(q), static_cast<std::size_t>(bad - q));
        out_.append("\xEF\xBF\xBD", 3);
        std::uint32_t cp;
        jsonkit::ConvertSingleCodePointInUTF8(bad, end, &q, &cp);
      }
      if (p != q) out_.append(reinterpret_cast<const char*>(q), static_cast<std::size_t>(p - q));
    } else if (!appendEscapedUnicode(run, p, end)) {
      return false;
    }
    if (p >= end) break;

    const std::uint8_t c = *p++;
    char* o = out_.ensure(6);
    std::size_t n = 2;
    o[0] = '\\';
    switch (c) {
      case '"': o[1] = '"'; break;
      case '\\': o[1] = '\\'; break;
      case '/': o[1] = '/'; break;
      case '\b': o[1] = 'b'; break;
      case '\t': o[1] = 't'; break;
      case '\n': o[1] = 'n'; break;
      case '\f': o[1] = 'f'; break;
      case '\r': o[1] = 'r'; break;
      default:
        o[1] = 'u';
        o[2] = '0';
        o[3] = '0';
        o[4] = kHexDigits[c >> 4];
        o[5] = kHexDigits[c & 0xF];
        n = 6;
        break;
    }
    out_.advance(n);
  }
  if (quotes_) out_.put('"');
  return true;
}

// Writes [p, stop) with every non-ASCII character as \u escapes (a surrogate
// pair above U+FFFF). Text that is not UTF-8, and noncharacters, fail.
template <class Container>
bool Encoder<Container>::appendEscapedUnicode(const std::uint8_t* p, const std::uint8_t* stop,
                                              const std::uint8_t* end) {
  while (p < stop) {
    const std::uint8_t* run = p;
    while (p < stop && *p < 0x80) ++p;
    if (p != run)
      out_.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p >= stop) break;
    const std::uint8_t* next;
    std::uint32_t cp;
    if (jsonkit::ConvertSingleCodePointInUTF8(p, end, &next, &cp) != jsonkit::UTF8Result::kValid) {
      fail("Error converting UTF8.");
      return false;
    }
    char* o = out_.ensure(12);
    auto unit = [&o](std::uint32_t u) {
      o[0] = '\\';
      o[1] = 'u';
      o[2] = kHexDigits[(u >> 12) & 0xF];
      o[3] = kHexDigits[(u >> 8) & 0xF];
      o[4] = kHexDigits[(u >> 4) & 0xF];
      o[5] = kHexDigits[u & 0xF];
      o += 6;
    };
    if (cp < 0x10000) {
      unit(cp);
      out_.advance(6);
    } else {
      unit((cp >> 10) + 0xD7C0);
      unit((cp & 0x3FF) | 0xDC00);
      out_.advance(12);
    }
    p = next;
  }
  return true;
}

template <class Container>
bool Encoder<Container>::encodeArray(const kx::Array& array) {
  if (!enter()) return false;
  out_.put('[');
  if (pretty_) newline();
  bool first = true;
  for (const kx::Value& element : array) {
    if (!first) {
      out_.put(',');
      if (pretty_) newline();
    }
    first = false;
    if (!encodeValue(element)) return false;
  }
  --depth_;
  if (pretty_) newline();
  out_.put(']');
  return true;
}

template <class Container>
bool Encoder<Container>::encodeDictionary(const kx::Dictionary& dictionary) {
  if (!enter()) return false;
  out_.put('{');
  if (pretty_) {
    newline();
    std::vector<const kx::Dictionary::Entry*> sorted;
    sorted.reserve(dictionary.size());
    for (const auto& entry : dictionary) sorted.push_back(&entry);
    std::sort(sorted.begin(), sorted.end(),
              [](const kx::Dictionary::Entry* a, const kx::Dictionary::Entry* b) {
                return KeyLessUTF16(a->first, b->first);
              });
    bool first = true;
    for (const kx::Dictionary::Entry* entry : sorted) {
      if (!first) {
        out_.put(',');
        newline();
      }
      first = false;
      if (!encodeString(entry->first)) return false;
      out_.append(": ", 2);
      if (!encodeValue(entry->second)) return false;
    }
    --depth_;
    newline();
  } else {
    bool first = true;
    for (const auto& entry : dictionary) {
      if (!first) out_.put(',');
      first = false;
      if (!encodeString(entry.first)) return false;
      out_.put(':');
      if (!encodeValue(entry.second)) return false;
    }
    --depth_;
  }
  out_.put('}');
  return true;
}

void CheckEncodeOption(JKEncodeOptionType encodeOption) {
  if ((encodeOption & JKEncodeOptionCollectionObj) &&
      (encodeOption & (JKEncodeOptionStringObj | JKEncodeOptionStringObjTrimQuotes))) {
    throw kx::Exception(
        "NSInvalidArgumentException",
        "Invalid encode options: a collection object cannot also be a string object.");
  }
}

template <class Container>
[[nodiscard]] bool Serialize(const kx::Value& object, JKSerializeOptionFlags options,
                             JKEncodeOptionType encodeOption,
                             const JKSerializeUnsupportedClassesBlock* block, Container* out,
                             kx::Error* error) {
  CheckEncodeOption(encodeOption);
  Encoder<Container> encoder(*out, options, encodeOption, block);
  if ((encodeOption & JKEncodeOptionCollectionObj) && !object.isArray() && !object.isDictionary()) {
    encoder.fail("Unable to serialize object class %s, expected a NSArray or NSDictionary.",
                 ClassName(object));
  } else if ((encodeOption & JKEncodeOptionStringObj) && !object.isString()) {
    encoder.fail("Unable to serialize object class %s, expected a NSString.", ClassName(object));
  } else if (encoder.encodeValue(object)) {
    const JKEncodeOptionType kind = encodeOption & JKEncodeOptionResultMask;
    if (kind != JKEncodeOptionResultData && kind != JKEncodeOptionResultString)
      encoder.fail("Unknown encode as type.");
  }
  return encoder.finish(error);
}

}  // namespace

kx::Value JKSerializer::serializeObject(const kx::Value& object, JKSerializeOptionFlags options,
                                        JKEncodeOptionType encodeOption,
                                        const JKSerializeUnsupportedClassesBlock& block,
                                        kx::Error* error) {
  if ((encodeOption & JKEncodeOptionResultMask) == JKEncodeOptionResultString) {
    std::string text;
    if (!Serialize(object, options, encodeOption, &block, &text, error)) return kx::Value();
    return kx::Value(std::move(text));
  }
  kx::Bytes bytes;
  if (!Serialize(object, options, encodeOption, &block, &bytes, error)) return kx::Value();
  return kx::Value(std::move(bytes));
}

bool JKSerializer::serializeObject(const kx::Value& object, JKSerializeOptionFlags options,
                                   JKEncodeOptionType encodeOption,
                                   const JKSerializeUnsupportedClassesBlock* block,
                                   std::string* out, kx::Error* error) {
  return Serialize(object, options, encodeOption, block, out, error);
}

bool JKSerializer::serializeObject(const kx::Value& object, JKSerializeOptionFlags options,
                                   JKEncodeOptionType encodeOption,
                                   const JKSerializeUnsupportedClassesBlock* block, kx::Bytes* out,
                                   kx::Error* error) {
  return Serialize(object, options, encodeOption, block, out, error);
}

bool JKSerializer::serializeObject(const kx::Dictionary& dictionary, JKSerializeOptionFlags options,
                                   std::string* out, kx::Error* error) {
  Encoder<std::string> encoder(*out, options,
                               JKEncodeOptionResultString | JKEncodeOptionCollectionObj, nullptr);
  encoder.encodeDictionary(dictionary);
  return encoder.finish(error);
}

bool JKSerializer::serializeObject(const kx::Dictionary& dictionary, JKSerializeOptionFlags options,
                                   kx::Bytes* out, kx::Error* error) {
  Encoder<kx::Bytes> encoder(*out, options, JKEncodeOptionResultData | JKEncodeOptionCollectionObj,
                             nullptr);
  encoder.encodeDictionary(dictionary);
  return encoder.finish(error);
}

bool JKSerializer::serializeObject(const kx::Array& array, JKSerializeOptionFlags options,
                                   std::string* out, kx::Error* error) {
  Encoder<std::string> encoder(*out, options,
                               JKEncodeOptionResultString | JKEncodeOptionCollectionObj, nullptr);
  encoder.encodeArray(array);
  return encoder.finish(error);
}

bool JKSerializer::serializeObject(const kx::Array& array, JKSerializeOptionFlags options,
                                   kx::Bytes* out, kx::Error* error) {
  Encoder<kx::Bytes> encoder(*out, options, JKEncodeOptionResultData | JKEncodeOptionCollectionObj,
                             nullptr);
  encoder.encodeArray(array);
  return encoder.finish(error);
}
