// ZZWinZipAESExtraField is the extra-field block (header id 0x9901) that marks
// an entry as encrypted with WinZip AES: vendor version, vendor id, key
// strength (1, 2 or 3) and the actual compression method.
//
// find() walks an extra field block by block and never reads past its end: a
// block whose declared size runs past the field ends the walk, and an AES
// block shorter than its 7 data bytes is not taken.
//
// Thread safety: a plain value.
#ifndef ZN_COMMONUTILS_ZIP_ZZWINZIPAESEXTRAFIELD_H_
#define ZN_COMMONUTILS_ZIP_ZZWINZIPAESEXTRAFIELD_H_

#include <cstddef>
#include <cstdint>
#include <optional>

struct ZZWinZipAESExtraField {
  static constexpr std::uint16_t kHeaderId = 0x9901;
  static constexpr std::size_t kDataSize = 7;

  std::uint16_t vendorVersion = 0;
  std::uint16_t vendorId = 0;
  std::uint8_t encryptionStrength = 0;
  std::uint16_t compressionMethod = 0;

  static std::optional<ZZWinZipAESExtraField> find(const std::uint8_t* extra, std::size_t length);

  // Salt length for the key strength, 0 for an unknown strength.
  static std::size_t saltLength(std::uint8_t strength);
  // AES key length for the key strength, 0 for an unknown strength.
  static std::size_t keyLength(std::uint8_t strength);
};

#endif  // ZN_COMMONUTILS_ZIP_ZZWINZIPAESEXTRAFIELD_H_
