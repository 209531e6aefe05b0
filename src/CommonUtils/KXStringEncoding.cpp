#include "CommonUtils/KXStringEncoding.h"

#include <errno.h>
#include <iconv.h>

#include "platform/Text.h"

namespace {

// The iconv name of an encoding number, or nullptr.
const char* iconvName(std::uint64_t encoding) {
  switch (encoding) {
    case kKXASCIIEncoding: return "ASCII";
    case kKXJapaneseEUCEncoding: return "EUC-JP";
    case kKXUTF8Encoding: return "UTF-8";
    case kKXISOLatin1Encoding: return "ISO-8859-1";
    case kKXShiftJISEncoding: return "SHIFT_JIS";
    case kKXISOLatin2Encoding: return "ISO-8859-2";
    case kKXUnicodeEncoding: return "UTF-16";  // byte order mark, else big-endian
    case kKXWindowsCP1251Encoding: return "CP1251";
    case kKXWindowsCP1252Encoding: return "CP1252";
    case kKXWindowsCP1253Encoding: return "CP1253";
    case kKXWindowsCP1254Encoding: return "CP1254";
    case kKXWindowsCP1250Encoding: return "CP1250";
    case kKXISO2022JPEncoding: return "ISO-2022-JP";
    case kKXMacOSRomanEncoding: return "MACINTOSH";
    case kKXUTF16BigEndianEncoding: return "UTF-16BE";
    case kKXUTF16LittleEndianEncoding: return "UTF-16LE";
    case kKXUTF32Encoding: return "UTF-32";
    case kKXUTF32BigEndianEncoding: return "UTF-32BE";
    case kKXUTF32LittleEndianEncoding: return "UTF-32LE";
    case kKXGB18030Encoding: return "GB18030";
    case kKXGBKEncoding: return "GBK";
    case kKXEUCCNEncoding: return "EUC-CN";
    case kKXEUCKREncoding: return "EUC-KR";
    case kKXBig5Encoding: return "BIG5";
    default: return nullptr;
  }
}

// Runs the whole input through a new converter; nothing on any failure
// (an invalid or incomplete sequence, a character the target lacks).
std::optional<std::string> convert(std::string_view input, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  bool ok = true;
  // The input, then (a null input) the converter's closing shift sequence.
  for (bool flushing = false;;) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                    : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    const int err = errno;
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    if (rc == static_cast<std::size_t>(-1)) {
      if (err == E2BIG) continue;  // the buffer is full: go on
      ok = false;                  // invalid, incomplete or unmappable
      break;
    }
    if (flushing) break;
    flushing = inLeft == 0;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace

bool KXStringEncoding::isSupported(std::uint64_t encoding) {
  return iconvName(encoding) != nullptr;
}

std::optional<std::string> KXStringEncoding::toUtf8(std::string_view bytes,
                                                    std::uint64_t encoding) {
  const char* name = iconvName(encoding);
  if (!name) return std::nullopt;
  if (encoding == kKXUTF8Encoding) {
    if (!kx::Text::isValidUtf8(bytes)) return std::nullopt;
    return std::string(bytes);
  }
  return convert(bytes, "UTF-8", name);
}

std::optional<std::string> KXStringEncoding::fromUtf8(std::string_view text,
                                                      std::uint64_t encoding) {
  const char* name = iconvName(encoding);
  if (!name) return std::nullopt;
  const std::string valid =
      kx::Text::isValidUtf8(text) ? std::string(text) : kx::Text::toValidUtf8(text);
  if (encoding == kKXUTF8Encoding) return valid;
  return convert(valid, name, "UTF-8");
}
