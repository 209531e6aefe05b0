// ZZLocalFileHeader reads the local header of one entry in place: 30 fixed
// bytes, the file name and the extra field; the file data follows. When flag
// bit 3 is set, a data descriptor (signature 0x08074b50, CRC-32, compressed
// and uncompressed size) follows the data.
//
// The view does not check bounds itself: callers check fitsIn() against the
// end of the local files before they make one.
//
// Thread safety: reads immutable bytes; any thread.
#ifndef ZN_COMMONUTILS_ZIP_ZZLOCALFILEHEADER_H_
#define ZN_COMMONUTILS_ZIP_ZZLOCALFILEHEADER_H_

#include <cstddef>
#include <cstdint>
#include <optional>

#include "CommonUtils/zip/ZZBytes.h"
#include "CommonUtils/zip/ZZWinZipAESExtraField.h"

class ZZLocalFileHeader {
 public:
  static constexpr std::uint32_t kSignature = 0x04034b50;
  static constexpr std::uint32_t kDataDescriptorSignature = 0x08074b50;
  static constexpr std::size_t kFixedSize = 30;
  static constexpr std::size_t kDataDescriptorSize = 16;
  enum Offset : std::size_t {
    kSignatureOffset = 0,
    kVersionNeededOffset = 4,
    kFlagsOffset = 6,
    kCompressionMethodOffset = 8,
    kTimeOffset = 10,
    kDateOffset = 12,
    kCRC32Offset = 14,
    kCompressedSizeOffset = 18,
    kUncompressedSizeOffset = 22,
    kFileNameLengthOffset = 26,
    kExtraFieldLengthOffset = 28,
  };

  explicit ZZLocalFileHeader(const std::uint8_t* p) : p_(p) {}

  // Whether the fixed part, the name and the extra field fit in `available`
  // bytes.
  static bool fitsIn(const std::uint8_t* p, std::size_t available);

  std::uint32_t signature() const { return ZZRead32(p_); }
  std::uint16_t versionNeededToExtract() const { return ZZRead16(p_ + kVersionNeededOffset); }
  std::uint16_t generalPurposeBitFlag() const { return ZZRead16(p_ + kFlagsOffset); }
  std::uint16_t compressionMethod() const { return ZZRead16(p_ + kCompressionMethodOffset); }
  std::uint16_t lastModFileTime() const { return ZZRead16(p_ + kTimeOffset); }
  std::uint16_t lastModFileDate() const { return ZZRead16(p_ + kDateOffset); }
  std::uint32_t crc32() const { return ZZRead32(p_ + kCRC32Offset); }
  std::uint32_t compressedSize() const { return ZZRead32(p_ + kCompressedSizeOffset); }
  std::uint32_t uncompressedSize() const { return ZZRead32(p_ + kUncompressedSizeOffset); }
  std::uint16_t fileNameLength() const { return ZZRead16(p_ + kFileNameLengthOffset); }
  std::uint16_t extraFieldLength() const { return ZZRead16(p_ + kExtraFieldLengthOffset); }

  const std::uint8_t* fileName() const { return p_ + kFixedSize; }
  const std::uint8_t* extraField() const { return fileName() + fileNameLength(); }
  // Length of the header with its name and extra field: where the data starts.
  std::size_t headerLength() const { return kFixedSize + fileNameLength() + extraFieldLength(); }

  std::optional<ZZWinZipAESExtraField> extraAES() const {
    return ZZWinZipAESExtraField::find(extraField(), extraFieldLength());
  }

  const std::uint8_t* bytes() const { return p_; }

 private:
  const std::uint8_t* p_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZLOCALFILEHEADER_H_
