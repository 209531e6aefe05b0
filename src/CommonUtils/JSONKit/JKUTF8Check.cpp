#include "CommonUtils/JSONKit/JKUTF8Check.h"

#include <cstring>

#include "CommonUtils/JSONKit/JKTextScan.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZN_UTF8_CHECK_VECTOR 1
#endif

namespace jsonkit {
namespace {

bool ScalarCheck(const std::uint8_t* p, std::size_t n) {
  return FindInvalidUTF8(p, p + n, p + n, true) == nullptr;
}

#ifdef ZN_UTF8_CHECK_VECTOR

// Each byte is judged with the byte before it: three tables, indexed by the
// high and low nibble of the byte before and the high nibble of the byte,
// give the faults that pair may show; a fault is there when all three agree.
// The third and fourth bytes of longer sequences are checked by where the
// lead stands two or three bytes back.
constexpr std::uint8_t kTooShort = 1 << 0;      // 11______ 0_______, 11______ 11______
constexpr std::uint8_t kTooLong = 1 << 1;       // 0_______ 10______
constexpr std::uint8_t kOverlong3 = 1 << 2;     // 11100000 100_____
constexpr std::uint8_t kTooLarge = 1 << 3;      // 11110100 1001____, 11110100 101_____ and above
constexpr std::uint8_t kSurrogate = 1 << 4;     // 11101101 101_____
constexpr std::uint8_t kOverlong2 = 1 << 5;     // 1100000_ 10______
constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // 11110101 1000____ and above
constexpr std::uint8_t kOverlong4 = 1 << 6;     // 11110000 1000____
constexpr std::uint8_t kTwoConts = 1 << 7;      // 10______ 10______
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

alignas(16) constexpr std::uint8_t kByte1High[16] = {
    // 0_______: ASCII before
    kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
    // 10______: a continuation before
    kTwoConts, kTwoConts, kTwoConts, kTwoConts,
    // 1100____, 1101____: a two-byte lead before
    kTooShort | kOverlong2, kTooShort,
    // 1110____: a three-byte lead before
    kTooShort | kOverlong3 | kSurrogate,
    // 1111____: a four-byte lead (or worse) before
    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};

alignas(16) constexpr std::uint8_t kByte1Low[16] = {
    kCarry | kOverlong3 | kOverlong2 | kOverlong4,    // ____0000
    kCarry | kOverlong2,                              // ____0001
    kCarry,                                           // ____0010
    kCarry,                                           // ____0011
    kCarry | kTooLarge,                               // ____0100
    kCarry | kTooLarge | kTooLarge1000,               // ____0101
    kCarry | kTooLarge | kTooLarge1000,               // ____0110
    kCarry | kTooLarge | kTooLarge1000,               // ____0111
    kCarry | kTooLarge | kTooLarge1000,               // ____1000
    kCarry | kTooLarge | kTooLarge1000,               // ____1001
    kCarry | kTooLarge | kTooLarge1000,               // ____1010
    kCarry | kTooLarge | kTooLarge1000,               // ____1011
    kCarry | kTooLarge | kTooLarge1000,               // ____1100
    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,  // ____1101
    kCarry | kTooLarge | kTooLarge1000,               // ____1110
    kCarry | kTooLarge | kTooLarge1000};              // ____1111

alignas(16) constexpr std::uint8_t kByte2High[16] = {
    // 0_______: ASCII
    kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
    // 1000____
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    // 1001____
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    // 101_____
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    // 11______: a lead
    kTooShort, kTooShort, kTooShort, kTooShort};

// Bytes that, in the last three places of a block, begin a sequence the
// block does not finish.
alignas(16) constexpr std::uint8_t kIncompleteAbove[16] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,     0xFF,     0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};

struct VectorState {
  __m128i error;
  __m128i previous;    // the block before
  __m128i incomplete;  // nonzero where the block before left a sequence open
};

__attribute__((target("ssse3"))) inline __m128i Load(const std::uint8_t* table) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(table));
}

__attribute__((target("ssse3"))) inline __m128i HighNibbles(__m128i v) {
  return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

__attribute__((target("ssse3"))) inline void CheckBlock(VectorState& state, __m128i input) {
  if (_mm_movemask_epi8(input) == 0) {
    // ASCII: whatever the block before left open stays open.
    state.error = _mm_or_si128(state.error, state.incomplete);
    state.incomplete = _mm_setzero_si128();
    state.previous = input;
    return;
  }
  const __m128i prev1 = _mm_alignr_epi8(input, state.previous, 15);
  const __m128i pairFaults = _mm_and_si128(
      _mm_and_si128(_mm_shuffle_epi8(Load(kByte1High), HighNibbles(prev1)),
                    _mm_shuffle_epi8(Load(kByte1Low), _mm_and_si128(prev1, _mm_set1_epi8(0x0F)))),
      _mm_shuffle_epi8(Load(kByte2High), HighNibbles(input)));
  const __m128i prev2 = _mm_alignr_epi8(input, state.previous, 14);
  const __m128i prev3 = _mm_alignr_epi8(input, state.previous, 13);
  // 0x80 where a three-byte lead stands two back or a four-byte one three
  // back: there a continuation after a continuation is expected.
  const __m128i expected = _mm_and_si128(
      _mm_or_si128(_mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xE0 - 0x80))),
                   _mm_subs_epu8(prev3, _mm_set1_epi8(static_cast<char>(0xF0 - 0x80)))),
      _mm_set1_epi8(static_cast<char>(0x80)));
  state.error = _mm_or_si128(state.error, _mm_xor_si128(expected, pairFaults));
  state.incomplete = _mm_subs_epu8(input, Load(kIncompleteAbove));
  state.previous = input;
}

__attribute__((target("ssse3"))) bool VectorCheck(const std::uint8_t* p, std::size_t n) {
  VectorState state{_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128()};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    CheckBlock(state, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
  }
  if (i < n) {
    // The rest, padded with zeros: ASCII, which ends nothing early.
    alignas(16) std::uint8_t last[16] = {};
    std::memcpy(last, p + i, n - i);
    CheckBlock(state, Load(last));
  }
  const __m128i error = _mm_or_si128(state.error, state.incomplete);
  return _mm_movemask_epi8(_mm_cmpeq_epi8(error, _mm_setzero_si128())) == 0xFFFF;
}

#endif  // ZN_UTF8_CHECK_VECTOR

}  // namespace

bool IsWellFormedUTF8(const std::uint8_t* p, std::size_t n) {
#ifdef ZN_UTF8_CHECK_VECTOR
  static const bool vector = __builtin_cpu_supports("ssse3");
  if (vector) return VectorCheck(p, n);
#endif
  return ScalarCheck(p, n);
}

}  // namespace jsonkit
