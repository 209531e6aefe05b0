#include "CommonUtils/zip/ZZLocalFileHeader.h"

#include <cstring>

namespace {

constexpr std::uint16_t kFlagDataDescriptor = 1 << 3;
constexpr std::uint16_t kZip64ExtraId = 0x0001;

std::uint64_t read64(const std::uint8_t* p) {
  return ZZRead32(p) | (static_cast<std::uint64_t>(ZZRead32(p + 4)) << 32);
}

}  // namespace

bool ZZLocalFileHeader::fitsIn(const std::uint8_t* p, std::size_t available) {
  if (available < kFixedSize) return false;
  return ZZLocalFileHeader(p).headerLength() <= available;
}

bool ZZLocalFileHeader::hasZip64Extra() const {
  const std::uint8_t* extra = extraField();
  const std::size_t length = extraFieldLength();
  std::size_t pos = 0;
  while (length - pos >= 4) {
    const std::uint16_t id = ZZRead16(extra + pos);
    const std::size_t size = ZZRead16(extra + pos + 2);
    pos += 4;
    if (size > length - pos) break;  // the block claims more than the field holds
    if (id == kZip64ExtraId) return true;
    pos += size;
  }
  return false;
}

bool ZZLocalFileHeader::hasNameOf(const ZZCentralFileHeader& central) const {
  return fileNameLength() == central.fileNameLength() &&
         std::memcmp(fileName(), central.fileName(), fileNameLength()) == 0;
}

std::optional<ZZLocalFileHeader::DataDescriptor> ZZLocalFileHeader::dataDescriptor(
    const std::uint8_t* p, std::size_t available, const ZZCentralFileHeader& central) const {
  if (!(generalPurposeBitFlag() & kFlagDataDescriptor)) return std::nullopt;
  auto read = [&](bool signature, bool wideSizes) -> std::optional<DataDescriptor> {
    DataDescriptor d;
    d.signature = signature;
    d.length = (signature ? 4 : 0) + 4 + (wideSizes ? 16 : 8);
    if (available < d.length) return std::nullopt;
    if (signature && ZZRead32(p) != kDataDescriptorSignature) return std::nullopt;
    const std::uint8_t* q = signature ? p + 4 : p;
    d.crc32 = ZZRead32(q);
    d.compressedSize = wideSizes ? read64(q + 4) : ZZRead32(q + 4);
    d.uncompressedSize = wideSizes ? read64(q + 12) : ZZRead32(q + 8);
    return d;
  };
  auto agrees = [&](const DataDescriptor& d) {
    return d.crc32 == central.crc32() && d.compressedSize == central.compressedSize() &&
           d.uncompressedSize == central.uncompressedSize();
  };
  const bool wideFirst = hasZip64Extra();
  for (bool signature : {true, false}) {
    for (bool wideSizes : {wideFirst, !wideFirst}) {
      std::optional<DataDescriptor> d = read(signature, wideSizes);
      if (d && agrees(*d)) return d;
    }
  }
  // A signed descriptor whose values disagree is taken in the width the
  // extra field announces, and only in that one: a choice that hung on how
  // many bytes follow could change once the local file is copied elsewhere.
  return read(true, wideFirst);
}

std::optional<std::uint64_t> ZZLocalFileHeader::localFileLength(
    const std::uint8_t* p, std::size_t available, const ZZCentralFileHeader& central) {
  if (!fitsIn(p, available)) return std::nullopt;
  ZZLocalFileHeader header(p);
  if (header.signature() != kSignature) return std::nullopt;
  const std::uint64_t length =
      header.headerLength() + static_cast<std::uint64_t>(central.compressedSize());
  if (length > available) return std::nullopt;
  std::optional<DataDescriptor> descriptor =
      header.dataDescriptor(p + length, static_cast<std::size_t>(available - length), central);
  return length + (descriptor ? descriptor->length : 0);
}
