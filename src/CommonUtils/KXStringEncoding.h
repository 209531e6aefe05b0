// KXStringEncoding converts text between UTF-8 and the other encodings the
// client meets, named by the platform's encoding numbers (the numbers its
// string APIs take), through iconv.
//
// The numbers known here are those of the platform's own list (ASCII,
// Japanese EUC, UTF-8, ISO Latin 1 and 2, Shift JIS, UTF-16 with a byte
// order mark or big-endian without one, the Windows code pages 1250 to
// 1254, ISO-2022-JP, Mac OS Roman, UTF-16 and UTF-32 of either byte order)
// and of the Chinese, Korean and traditional Chinese encodings (GB 18030,
// GBK, EUC-CN, EUC-KR, Big5). Other numbers have no conversion.
//
// Thread safety: stateless; every function may be called from any thread.
#ifndef ZN_COMMONUTILS_KXSTRINGENCODING_H_
#define ZN_COMMONUTILS_KXSTRINGENCODING_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Encoding numbers. 0 is no encoding at all: callers that take it leave
// their text as written.
inline constexpr std::uint64_t kKXRawEncoding = 0;
inline constexpr std::uint64_t kKXASCIIEncoding = 1;
inline constexpr std::uint64_t kKXJapaneseEUCEncoding = 3;
inline constexpr std::uint64_t kKXUTF8Encoding = 4;
inline constexpr std::uint64_t kKXISOLatin1Encoding = 5;
inline constexpr std::uint64_t kKXShiftJISEncoding = 8;
inline constexpr std::uint64_t kKXISOLatin2Encoding = 9;
inline constexpr std::uint64_t kKXUnicodeEncoding = 10;
inline constexpr std::uint64_t kKXWindowsCP1251Encoding = 11;
inline constexpr std::uint64_t kKXWindowsCP1252Encoding = 12;
inline constexpr std::uint64_t kKXWindowsCP1253Encoding = 13;
inline constexpr std::uint64_t kKXWindowsCP1254Encoding = 14;
inline constexpr std::uint64_t kKXWindowsCP1250Encoding = 15;
inline constexpr std::uint64_t kKXISO2022JPEncoding = 21;
inline constexpr std::uint64_t kKXMacOSRomanEncoding = 30;
inline constexpr std::uint64_t kKXUTF16BigEndianEncoding = 0x90000100;
inline constexpr std::uint64_t kKXUTF16LittleEndianEncoding = 0x94000100;
inline constexpr std::uint64_t kKXUTF32Encoding = 0x8c000100;
inline constexpr std::uint64_t kKXUTF32BigEndianEncoding = 0x98000100;
inline constexpr std::uint64_t kKXUTF32LittleEndianEncoding = 0x9c000100;
inline constexpr std::uint64_t kKXGB18030Encoding = 0x80000632;
inline constexpr std::uint64_t kKXGBKEncoding = 0x80000631;
inline constexpr std::uint64_t kKXEUCCNEncoding = 0x80000930;
inline constexpr std::uint64_t kKXEUCKREncoding = 0x80000940;
inline constexpr std::uint64_t kKXBig5Encoding = 0x80000A03;

class KXStringEncoding {
 public:
  KXStringEncoding() = delete;

  // Whether the number names an encoding known here.
  static bool isSupported(std::uint64_t encoding);
  // The bytes read in the encoding, as UTF-8; nothing when the encoding is
  // unknown or the bytes are not valid in it.
  static std::optional<std::string> toUtf8(std::string_view bytes, std::uint64_t encoding);
  // UTF-8 text (ill-formed sequences read as U+FFFD) in the encoding;
  // nothing when the encoding is unknown or cannot hold a character.
  static std::optional<std::string> fromUtf8(std::string_view text, std::uint64_t encoding);
};

#endif  // ZN_COMMONUTILS_KXSTRINGENCODING_H_
