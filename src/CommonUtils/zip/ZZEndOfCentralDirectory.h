// ZZEndOfCentralDirectory is the record that closes a zip archive: disk
// numbers, entry counts, the central directory's size and offset, and the
// archive comment. locate() finds and validates it in an archive's bytes.
//
// Thread safety: a plain value.
#ifndef ZN_COMMONUTILS_ZIP_ZZENDOFCENTRALDIRECTORY_H_
#define ZN_COMMONUTILS_ZIP_ZZENDOFCENTRALDIRECTORY_H_

#include <cstddef>
#include <cstdint>
#include <optional>

#include "CommonUtils/zip/ZZBytes.h"

struct ZZEndOfCentralDirectory {
  static constexpr std::uint32_t kSignature = 0x06054b50;
  static constexpr std::size_t kFixedSize = 22;
  static constexpr std::size_t kMaxCommentLength = 65535;

  std::size_t position = 0;  // where the record starts
  std::uint16_t numberOfThisDisk = 0;
  std::uint16_t numberOfTheDiskWithTheStartOfTheCentralDirectory = 0;
  std::uint16_t totalNumberOfEntriesInTheCentralDirectoryOnThisDisk = 0;
  std::uint16_t totalNumberOfEntriesInTheCentralDirectory = 0;
  std::uint32_t sizeOfTheCentralDirectory = 0;
  std::uint32_t offsetOfStartOfCentralDirectory = 0;
  std::uint16_t zipFileCommentLength = 0;

  // The last record signature that lies wholly in the final 65557 bytes, read
  // and checked: single disk, matching counts, room for the central directory
  // (46 bytes a record at least) before the record, and the record with its
  // comment ending exactly at the end of the bytes. nullopt when any check
  // fails.
  static std::optional<ZZEndOfCentralDirectory> locate(const std::uint8_t* data, std::size_t size);

  // Writes a record with the given counts, size and offset and no comment.
  static void write(std::uint8_t* out, std::uint16_t entries, std::uint32_t centralDirectorySize,
                    std::uint32_t centralDirectoryOffset);
};

#endif  // ZN_COMMONUTILS_ZIP_ZZENDOFCENTRALDIRECTORY_H_
