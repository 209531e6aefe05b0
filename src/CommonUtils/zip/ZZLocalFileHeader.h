// ZZLocalFileHeader reads the local header of one entry in place: 30 fixed
// bytes, the file name and the extra field; the file data follows. When flag
// bit 3 is set, a data descriptor usually follows the data: CRC-32,
// compressed and uncompressed size, with or without the signature 0x08074b50
// before them, and with 64-bit sizes when the writer streamed the entry as
// Zip64 (it then puts a Zip64 block, id 0x0001, into the extra field). So a
// descriptor takes 12, 16, 20 or 24 bytes; some writers set the flag and
// write none.
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
#include "CommonUtils/zip/ZZCentralFileHeader.h"
#include "CommonUtils/zip/ZZWinZipAESExtraField.h"

class ZZLocalFileHeader {
 public:
  static constexpr std::uint32_t kSignature = 0x04034b50;
  static constexpr std::uint32_t kDataDescriptorSignature = 0x08074b50;
  static constexpr std::size_t kFixedSize = 30;
  // The descriptor new entries get: signed, 32-bit sizes.
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
  // Whether the extra field holds a Zip64 block.
  bool hasZip64Extra() const;

  // Whether the name bytes are those of the central header (the bytes only:
  // the flags and extra fields of the two headers may differ).
  bool hasNameOf(const ZZCentralFileHeader& central) const;

  struct DataDescriptor {
    std::size_t length = 0;  // 12, 16, 20 or 24
    bool signature = false;
    std::uint32_t crc32 = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
  };
  // The descriptor at `p`, right after the data, with `available` bytes
  // before the central directory; nullopt when flag bit 3 is clear or none
  // lies there. A layout is taken when its values are the central header's
  // (64-bit sizes are tried first when the extra field has a Zip64 block,
  // since an empty entry reads alike both ways); a signed descriptor whose
  // values differ is still taken, in the width the extra field announces.
  std::optional<DataDescriptor> dataDescriptor(const std::uint8_t* p, std::size_t available,
                                               const ZZCentralFileHeader& central) const;

  // The length of the local file at `p` (header, the central header's
  // compressed size of data, and the descriptor if one follows) when it is
  // signed, and all of it lies in `available` bytes; nullopt otherwise.
  static std::optional<std::uint64_t> localFileLength(const std::uint8_t* p, std::size_t available,
                                                      const ZZCentralFileHeader& central);

  const std::uint8_t* bytes() const { return p_; }

 private:
  const std::uint8_t* p_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZLOCALFILEHEADER_H_
