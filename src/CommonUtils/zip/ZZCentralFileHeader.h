// ZZCentralFileHeader reads one central-directory record of a zip archive in
// place: 46 fixed bytes, then the file name, the extra field and the comment.
// The field offsets are public so that the writer builds records with the
// same layout.
//
// The view does not check bounds itself: the archive checks that the fixed
// part and the three variable parts lie inside the central directory before
// it makes one (see fitsIn()).
//
// Thread safety: reads immutable bytes; any thread.
#ifndef ZN_COMMONUTILS_ZIP_ZZCENTRALFILEHEADER_H_
#define ZN_COMMONUTILS_ZIP_ZZCENTRALFILEHEADER_H_

#include <cstddef>
#include <cstdint>
#include <optional>

#include "CommonUtils/zip/ZZBytes.h"
#include "CommonUtils/zip/ZZWinZipAESExtraField.h"

class ZZCentralFileHeader {
 public:
  static constexpr std::uint32_t kSignature = 0x02014b50;
  static constexpr std::size_t kFixedSize = 46;
  enum Offset : std::size_t {
    kSignatureOffset = 0,
    kVersionMadeByOffset = 4,
    kFileAttributeCompatibilityOffset = 5,
    kVersionNeededOffset = 6,
    kFlagsOffset = 8,
    kCompressionMethodOffset = 10,
    kTimeOffset = 12,
    kDateOffset = 14,
    kCRC32Offset = 16,
    kCompressedSizeOffset = 20,
    kUncompressedSizeOffset = 24,
    kFileNameLengthOffset = 28,
    kExtraFieldLengthOffset = 30,
    kFileCommentLengthOffset = 32,
    kDiskNumberStartOffset = 34,
    kInternalAttributesOffset = 36,
    kExternalAttributesOffset = 38,
    kLocalHeaderOffsetOffset = 42,
  };

  explicit ZZCentralFileHeader(const std::uint8_t* p) : p_(p) {}

  // Whether a record starting `available` bytes before a limit fits wholly,
  // variable parts included.
  static bool fitsIn(const std::uint8_t* p, std::size_t available);

  std::uint32_t signature() const { return ZZRead32(p_); }
  std::uint8_t versionMadeBy() const { return p_[kVersionMadeByOffset]; }
  std::uint8_t fileAttributeCompatibility() const { return p_[kFileAttributeCompatibilityOffset]; }
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
  std::uint16_t fileCommentLength() const { return ZZRead16(p_ + kFileCommentLengthOffset); }
  std::uint16_t diskNumberStart() const { return ZZRead16(p_ + kDiskNumberStartOffset); }
  std::uint16_t internalFileAttributes() const { return ZZRead16(p_ + kInternalAttributesOffset); }
  std::uint32_t externalFileAttributes() const { return ZZRead32(p_ + kExternalAttributesOffset); }
  std::uint32_t relativeOffsetOfLocalHeader() const {
    return ZZRead32(p_ + kLocalHeaderOffsetOffset);
  }

  const std::uint8_t* fileName() const { return p_ + kFixedSize; }
  const std::uint8_t* extraField() const { return fileName() + fileNameLength(); }
  const std::uint8_t* fileComment() const { return extraField() + extraFieldLength(); }
  std::size_t totalLength() const {
    return kFixedSize + fileNameLength() + extraFieldLength() + fileCommentLength();
  }

  std::optional<ZZWinZipAESExtraField> extraAES() const {
    return ZZWinZipAESExtraField::find(extraField(), extraFieldLength());
  }

  const std::uint8_t* bytes() const { return p_; }

 private:
  const std::uint8_t* p_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZCENTRALFILEHEADER_H_
