// Text scanning shared by the JSON decoder (string tokens) and the JSON
// serializer (escapes and repair of ill-formed text): looking at eight string
// bytes at once, decoding one UTF-8 sequence, checking a run of UTF-8, the
// rule for code points a JSON string may carry, and writing a code point as
// UTF-8.
//
// Thread safety: pure functions.
#ifndef ZN_COMMONUTILS_JSONKIT_JKTEXTSCAN_H_
#define ZN_COMMONUTILS_JSONKIT_JKTEXTSCAN_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace jsonkit {

inline constexpr std::uint32_t kReplacementCharacter = 0xFFFD;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Eight bytes with the first one in the lowest position.
inline std::uint64_t Load8(const std::uint8_t* p) {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

// Eight string bytes at once: a mask whose lowest set high bit marks the
// first byte below 0x20, '"' or '\\' (bytes of 0x80 and above pass). Bits
// above the lowest may be spurious, so only the lowest is to be trusted.
inline std::uint64_t StringStopMask(std::uint64_t x) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  const std::uint64_t control = (x - kOnes * 0x20) & ~x & kHighBits;
  const std::uint64_t q = x ^ (kOnes * '"');
  const std::uint64_t quote = (q - kOnes) & ~q & kHighBits;
  const std::uint64_t b = x ^ (kOnes * '\\');
  const std::uint64_t backslash = (b - kOnes) & ~b & kHighBits;
  return control | quote | backslash;
}

// The bytes of `x` before the byte at index `count` (0 to 7).
inline std::uint64_t LowBytes(std::uint64_t x, int count) {
  return count == 0 ? 0 : x & (~std::uint64_t{0} >> (64 - 8 * count));
}

enum class UTF8Result {
  kValid,       // well-formed and an allowed code point
  kDisallowed,  // well-formed, but a noncharacter (U+FDD0-U+FDEF, U+xFFFE, U+xFFFF)
  kIllFormed,   // not a well-formed sequence
  kCutOff,      // the announced length runs past the end of the input
};

// Surrogates, U+0000, U+FDD0-U+FDEF, code points whose low 16 bits are FFFE
// or FFFF, and anything above U+10FFFF may not stand in a string.
inline bool IsAllowedCodePoint(std::uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF) return false;
  if (cp >= 0xD800 && cp <= 0xDFFF) return false;
  if (cp >= 0xFDD0 && cp <= 0xFDEF) return false;
  return (cp & 0xFFFE) != 0xFFFE;
}

// Decodes the sequence that starts at `p` (a byte of 0x80 or more) and ends
// no later than `end`. `*next` receives the position after the bytes consumed
// and `*cp` the code point (U+FFFD unless the result is kValid).
//
// An ill-formed sequence consumes its lead byte and the continuation bytes
// that follow it, up to the number the lead byte announces; FE and FF consume
// only themselves. It is cut off when the announced length runs past `end`
// with no other byte interrupting it first.
inline UTF8Result ConvertSingleCodePointInUTF8(const std::uint8_t* p, const std::uint8_t* end,
                                               const std::uint8_t** next, std::uint32_t* cp) {
  *cp = kReplacementCharacter;
  const std::uint8_t lead = p[0];
  if (lead >= 0xFE) {
    *next = p + 1;
    return UTF8Result::kIllFormed;
  }
  const int announced = std::countl_one(lead) - 1;  // continuation bytes
  int have = 0;
  while (have < announced && p + 1 + have < end && (p[1 + have] & 0xC0) == 0x80) ++have;
  *next = p + 1 + have;
  if (have < announced) {
    return p + 1 + have >= end ? UTF8Result::kCutOff : UTF8Result::kIllFormed;
  }
  if (announced <= 0 || announced > 3 || lead < 0xC2 || lead > 0xF4) return UTF8Result::kIllFormed;
  const std::uint8_t c1 = p[1];
  if ((lead == 0xE0 && c1 < 0xA0) || (lead == 0xED && c1 > 0x9F) || (lead == 0xF0 && c1 < 0x90) ||
      (lead == 0xF4 && c1 > 0x8F)) {
    return UTF8Result::kIllFormed;
  }
  std::uint32_t value;
  switch (announced) {
    case 1: value = (std::uint32_t(lead & 0x1F) << 6) | (c1 & 0x3F); break;
    case 2:
      value = (std::uint32_t(lead & 0x0F) << 12) | (std::uint32_t(c1 & 0x3F) << 6) | (p[2] & 0x3F);
      break;
    default:
      value = (std::uint32_t(lead & 0x07) << 18) | (std::uint32_t(c1 & 0x3F) << 12) |
              (std::uint32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
      break;
  }
  if (!IsAllowedCodePoint(value)) return UTF8Result::kDisallowed;
  *cp = value;
  return UTF8Result::kValid;
}

// The first sequence in [p, stop) that is not well-formed UTF-8 (or, unless
// `noncharactersPass`, holds a noncharacter), or nullptr when there is none.
// Each sequence is judged against the input's real `end`; `stop` must not be
// a continuation byte, so that no well-formed sequence runs past it.
inline const std::uint8_t* FindInvalidUTF8(const std::uint8_t* p, const std::uint8_t* stop,
                                           const std::uint8_t* end, bool noncharactersPass) {
  while (p < stop) {
    if (stop - p >= 8 && (Load8(p) & kHighBits) == 0) {
      p += 8;
      continue;
    }
    const std::uint8_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // Text of three-byte sequences led by E1-EC (most CJK text) two at a
    // time: leads E?, continuation bytes 80-BF.
    while (stop - p >= 8) {
      const std::uint64_t x = Load8(p);
      if ((x & 0x0000C0C0F0C0C0F0ULL) != 0x00008080E08080E0ULL ||
          static_cast<std::uint8_t>(p[0] - 0xE1) > 0x0B ||
          static_cast<std::uint8_t>(p[3] - 0xE1) > 0x0B) {
        break;
      }
      p += 6;
    }
    if (p >= stop) break;
    const std::uint8_t lead = *p;
    if (lead < 0x80) continue;
    // Sequences led by E1-EC or EE hold neither surrogates nor
    // noncharacters, nor do two-byte ones: only their shape needs checking.
    if (static_cast<std::uint8_t>(lead - 0xE1) <= 0x0D && lead != 0xED && stop - p >= 3 &&
        ((p[1] ^ 0x80) | (p[2] ^ 0x80)) < 0x40) {
      p += 3;
      continue;
    }
    if (static_cast<std::uint8_t>(lead - 0xC2) <= 0x1D && stop - p >= 2 && (p[1] ^ 0x80) < 0x40) {
      p += 2;
      continue;
    }
    const std::uint8_t* next;
    std::uint32_t cp;
    const UTF8Result result = ConvertSingleCodePointInUTF8(p, end, &next, &cp);
    if (result != UTF8Result::kValid && !(noncharactersPass && result == UTF8Result::kDisallowed))
      return p;
    p = next;
  }
  return nullptr;
}

// Writes `cp` (at most U+10FFFF) as 1 to 4 bytes at `out`; returns the count.
inline std::size_t EncodeUTF8(std::uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = char(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = char(0xC0 | (cp >> 6));
    out[1] = char(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (cp >> 18));
  out[1] = char(0x80 | ((cp >> 12) & 0x3F));
  out[2] = char(0x80 | ((cp >> 6) & 0x3F));
  out[3] = char(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace jsonkit

#endif  // ZN_COMMONUTILS_JSONKIT_JKTEXTSCAN_H_
