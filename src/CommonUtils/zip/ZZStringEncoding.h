// ZZStringEncoding names the two encodings of entry names in a zip archive:
// UTF-8 (flag bit 11 set) and the DOS Latin US code page 437 (the format's
// default). ZZDecodeString turns name bytes into UTF-8 text.
//
// Thread safety: pure functions.
#ifndef ZN_COMMONUTILS_ZIP_ZZSTRINGENCODING_H_
#define ZN_COMMONUTILS_ZIP_ZZSTRINGENCODING_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

enum class ZZStringEncoding { UTF8, DOSLatinUS };

// The bytes decoded with the encoding; nullopt for UTF-8 that is not well
// formed (code page 437 decodes every byte).
std::optional<std::string> ZZDecodeString(const std::uint8_t* bytes, std::size_t length,
                                          ZZStringEncoding encoding);

#endif  // ZN_COMMONUTILS_ZIP_ZZSTRINGENCODING_H_
