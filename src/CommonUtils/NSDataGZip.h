// NSDataGZip holds the byte-buffer encodings: the Base64 text form that the
// text cipher (AESEncrypt) stores, whole-buffer zlib compression with a
// length header, and reading and writing gzip files.
//
// Base64 text: the standard alphabet of RFC 4648 with "=" padding, a
// carriage return and a line feed after every full line of 64 characters
// when more output follows. Decoding skips every character outside the
// alphabet (padding, line breaks, blanks), so the text form with its line
// breaks decodes to the bytes.
//
// Compressed buffers: a 4-byte big-endian header with the uncompressed
// length, then the zlib stream of the bytes at level 9. Buffers above
// 0x3FFFFFFF bytes (1 GiB less one) are refused both ways.
//
// Gzip files go through kx::FileSystem: read in chunks of 131,072 bytes
// (concatenated members are read one after the other; trailing bytes that
// start no member are ignored; a file that is not gzip at all is read as it
// is), written at level 9 with the filtered strategy.
//
// Thread safety: static functions; any thread.
#ifndef ZN_COMMONUTILS_NSDATAGZIP_H_
#define ZN_COMMONUTILS_NSDATAGZIP_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Crypto.h"
#include "platform/Error.h"
#include "platform/Value.h"

class NSDataGZip {
 public:
  static constexpr std::size_t kMaxCompressedLength = 0x3FFFFFFF;
  static constexpr std::size_t kFileChunkSize = 131072;

  NSDataGZip() = delete;

  static std::string base64EncodedString(kx::ByteView data);
  // Never fails: characters outside the alphabet are skipped, a last group of
  // two or three characters gives one or two bytes, a single leftover
  // character is dropped.
  static kx::Bytes dataFromBase64String(std::string_view text);

  // Header and zlib stream; nothing when zlib fails or the data is too long.
  static std::optional<kx::Bytes> compressGZip(kx::ByteView data);
  // The bytes of a compressed buffer; nothing for data shorter than the
  // header, a header above the limit, a damaged or truncated stream, or a
  // stream that holds more than its header says.
  static std::optional<kx::Bytes> decompressGZip(kx::ByteView data);

  // The whole uncompressed content of a gzip file; nothing when the file
  // cannot be opened or read or its content is damaged or cut short.
  static std::optional<kx::Bytes> initWithGZipFile(const std::string& path,
                                                   kx::Error* error = nullptr);
  // Writes the data as a gzip file (created or emptied). On any failure the
  // file is removed and false returned.
  [[nodiscard]] static bool writeToGZipFile(kx::ByteView data, const std::string& path,
                                            kx::Error* error = nullptr);
};

#endif  // ZN_COMMONUTILS_NSDATAGZIP_H_
