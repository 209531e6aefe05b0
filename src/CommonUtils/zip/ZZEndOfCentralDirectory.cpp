#include "CommonUtils/zip/ZZEndOfCentralDirectory.h"

#include "CommonUtils/zip/ZZCentralFileHeader.h"

std::optional<ZZEndOfCentralDirectory> ZZEndOfCentralDirectory::locate(const std::uint8_t* data,
                                                                       std::size_t size) {
  if (!data || size < kFixedSize) return std::nullopt;
  const std::size_t latest = size - kFixedSize;
  const std::size_t earliest =
      size > kFixedSize + kMaxCommentLength ? size - (kFixedSize + kMaxCommentLength) : 0;
  std::size_t pos = latest + 1;
  bool found = false;
  while (pos > earliest) {
    --pos;
    if (ZZRead32(data + pos) == kSignature) {
      found = true;
      break;
    }
  }
  if (!found) return std::nullopt;

  const std::uint8_t* p = data + pos;
  ZZEndOfCentralDirectory r;
  r.position = pos;
  r.numberOfThisDisk = ZZRead16(p + 4);
  r.numberOfTheDiskWithTheStartOfTheCentralDirectory = ZZRead16(p + 6);
  r.totalNumberOfEntriesInTheCentralDirectoryOnThisDisk = ZZRead16(p + 8);
  r.totalNumberOfEntriesInTheCentralDirectory = ZZRead16(p + 10);
  r.sizeOfTheCentralDirectory = ZZRead32(p + 12);
  r.offsetOfStartOfCentralDirectory = ZZRead32(p + 16);
  r.zipFileCommentLength = ZZRead16(p + 20);

  if (r.numberOfThisDisk != 0 || r.numberOfTheDiskWithTheStartOfTheCentralDirectory != 0)
    return std::nullopt;
  if (r.totalNumberOfEntriesInTheCentralDirectoryOnThisDisk !=
      r.totalNumberOfEntriesInTheCentralDirectory)
    return std::nullopt;
  const std::uint64_t minimumEnd = static_cast<std::uint64_t>(r.offsetOfStartOfCentralDirectory) +
                                   static_cast<std::uint64_t>(ZZCentralFileHeader::kFixedSize) *
                                       r.totalNumberOfEntriesInTheCentralDirectory;
  if (minimumEnd > pos) return std::nullopt;
  if (static_cast<std::uint64_t>(pos) + kFixedSize + r.zipFileCommentLength != size)
    return std::nullopt;
  return r;
}

void ZZEndOfCentralDirectory::write(std::uint8_t* out, std::uint16_t entries,
                                    std::uint32_t centralDirectorySize,
                                    std::uint32_t centralDirectoryOffset) {
  ZZWrite32(out, kSignature);
  ZZWrite16(out + 4, 0);
  ZZWrite16(out + 6, 0);
  ZZWrite16(out + 8, entries);
  ZZWrite16(out + 10, entries);
  ZZWrite32(out + 12, centralDirectorySize);
  ZZWrite32(out + 16, centralDirectoryOffset);
  ZZWrite16(out + 20, 0);
}
