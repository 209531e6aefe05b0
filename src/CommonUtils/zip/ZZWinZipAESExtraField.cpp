#include "CommonUtils/zip/ZZWinZipAESExtraField.h"

#include "CommonUtils/zip/ZZBytes.h"

std::optional<ZZWinZipAESExtraField> ZZWinZipAESExtraField::find(const std::uint8_t* extra,
                                                                 std::size_t length) {
  std::size_t pos = 0;
  while (extra && pos <= length && length - pos >= 4) {
    std::uint16_t id = ZZRead16(extra + pos);
    std::size_t size = ZZRead16(extra + pos + 2);
    pos += 4;
    if (size > length - pos) break;  // the block claims more than the field holds
    if (id == kHeaderId && size >= kDataSize) {
      const std::uint8_t* p = extra + pos;
      ZZWinZipAESExtraField field;
      field.vendorVersion = ZZRead16(p);
      field.vendorId = ZZRead16(p + 2);
      field.encryptionStrength = p[4];
      field.compressionMethod = ZZRead16(p + 5);
      return field;
    }
    pos += size;
  }
  return std::nullopt;
}

std::size_t ZZWinZipAESExtraField::saltLength(std::uint8_t strength) {
  switch (strength) {
    case 1: return 8;
    case 2: return 12;
    case 3: return 16;
    default: return 0;
  }
}

std::size_t ZZWinZipAESExtraField::keyLength(std::uint8_t strength) {
  switch (strength) {
    case 1: return 16;
    case 2: return 24;
    case 3: return 32;
    default: return 0;
  }
}
