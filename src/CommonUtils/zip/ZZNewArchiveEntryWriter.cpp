#include "CommonUtils/zip/ZZNewArchiveEntryWriter.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "CommonUtils/zip/ZZCentralFileHeader.h"
#include "CommonUtils/zip/ZZDOSDate.h"
#include "CommonUtils/zip/ZZDeflateOutputStream.h"
#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZLocalFileHeader.h"
#include "CommonUtils/zip/ZZStoreOutputStream.h"
#include "platform/Text.h"

namespace {

constexpr std::uint64_t kMax32 = 0xffffffffu;

// A block that failed: its own error, or ZZApplicationErrorCode.
[[nodiscard]] bool blockFailed(const kx::Error& blockError, kx::Error* error) {
  kx::SetError(error, blockError ? blockError : ZZError::make(ZZApplicationErrorCode));
  return false;
}

}  // namespace

std::uint16_t ZZNewArchiveEntryWriter::levelFlags(std::int64_t level) {
  switch (level) {
    case 1:
    case 2: return 6;
    case 3:
    case 4: return 4;
    case 8:
    case 9: return 2;
    default: return 0;
  }
}

ZZNewArchiveEntryWriter::ZZNewArchiveEntryWriter(const std::string& fileName,
                                                 std::uint16_t fileMode, double lastModified,
                                                 std::int64_t compressionLevel,
                                                 ZZDataBlock dataBlock, ZZStreamBlock streamBlock,
                                                 ZZDataConsumerBlock dataConsumerBlock)
    : compressionLevel_(compressionLevel),
      dataBlock_(std::move(dataBlock)),
      streamBlock_(std::move(streamBlock)),
      dataConsumerBlock_(std::move(dataConsumerBlock)) {
  if (fileName.size() > 0xffff)
    nameError_ = ENAMETOOLONG;
  else if (!kx::Text::isValidUtf8(fileName))
    nameError_ = EILSEQ;
  const std::size_t nameLength = nameError_ == 0 ? fileName.size() : 0;
  const std::uint16_t flags = static_cast<std::uint16_t>(
      (1 << 11) | (hasDataSource() ? (1 << 3) : 0) | levelFlags(compressionLevel));
  const std::uint16_t method = compressionLevel != 0 ? 8 : 0;
  const ZZDOSDate when = ZZDOSDate::fromSecondsSince1970(lastModified);

  centralFileHeader_.assign(ZZCentralFileHeader::kFixedSize + nameLength, 0);
  std::uint8_t* c = centralFileHeader_.data();
  ZZWrite32(c, ZZCentralFileHeader::kSignature);
  ZZWrite16(c + ZZCentralFileHeader::kVersionMadeByOffset, kVersionMadeBy);
  ZZWrite16(c + ZZCentralFileHeader::kVersionNeededOffset, kVersionNeeded);
  ZZWrite16(c + ZZCentralFileHeader::kFlagsOffset, flags);
  ZZWrite16(c + ZZCentralFileHeader::kCompressionMethodOffset, method);
  ZZWrite16(c + ZZCentralFileHeader::kTimeOffset, when.time);
  ZZWrite16(c + ZZCentralFileHeader::kDateOffset, when.date);
  ZZWrite16(c + ZZCentralFileHeader::kFileNameLengthOffset, static_cast<std::uint16_t>(nameLength));
  ZZWrite32(c + ZZCentralFileHeader::kExternalAttributesOffset, static_cast<std::uint32_t>(fileMode)
                                                                    << 16);
  std::memcpy(c + ZZCentralFileHeader::kFixedSize, fileName.data(), nameLength);

  localFileHeader_.assign(ZZLocalFileHeader::kFixedSize + nameLength, 0);
  std::uint8_t* l = localFileHeader_.data();
  ZZWrite32(l, ZZLocalFileHeader::kSignature);
  ZZWrite16(l + ZZLocalFileHeader::kVersionNeededOffset, kVersionNeeded);
  ZZWrite16(l + ZZLocalFileHeader::kFlagsOffset, flags);
  ZZWrite16(l + ZZLocalFileHeader::kCompressionMethodOffset, method);
  ZZWrite16(l + ZZLocalFileHeader::kTimeOffset, when.time);
  ZZWrite16(l + ZZLocalFileHeader::kDateOffset, when.date);
  ZZWrite16(l + ZZLocalFileHeader::kFileNameLengthOffset, static_cast<std::uint16_t>(nameLength));
  std::memcpy(l + ZZLocalFileHeader::kFixedSize, fileName.data(), nameLength);
}

bool ZZNewArchiveEntryWriter::isValid(kx::Error* error) const {
  if (nameError_ != 0) kx::SetError(error, kx::Error::posix(nameError_));
  return nameError_ == 0;
}

bool ZZNewArchiveEntryWriter::writeData(ZZChannelOutput& output, std::uint32_t* crc,
                                        std::uint64_t* compressed, std::uint64_t* uncompressed,
                                        kx::Error* error) {
  kx::Error blockError;
  if (compressionLevel_ == 0 && dataBlock_) {
    std::optional<kx::Bytes> data = dataBlock_(&blockError);
    if (!data) return blockFailed(blockError, error);
    if (data->size() > kMax32) {
      kx::SetError(error, ZZError::make(ZZArchiveTooLargeErrorCode));
      return false;
    }
    if (!output.writeData(data->data(), data->size(), error)) return false;
    *crc = static_cast<std::uint32_t>(
        ::crc32(::crc32(0L, Z_NULL, 0), data->data(), static_cast<uInt>(data->size())));
    *compressed = *uncompressed = data->size();
    return true;
  }

  std::unique_ptr<ZZOutputStream> stream;
  if (compressionLevel_ != 0)
    stream = std::make_unique<ZZDeflateOutputStream>(output, static_cast<int>(compressionLevel_));
  else
    stream = std::make_unique<ZZStoreOutputStream>(output);
  stream->open();
  if (stream->streamStatus() != ZZStreamStatus::Open) {
    kx::SetError(error, stream->streamError());
    return false;
  }
  bool ok = true;
  if (dataBlock_) {
    std::optional<kx::Bytes> data = dataBlock_(&blockError);
    if (!data) return blockFailed(blockError, error);
    ok = data->empty() ||
         stream->write(data->data(), data->size()) == static_cast<ssize_t>(data->size());
  } else if (streamBlock_) {
    if (!streamBlock_(*stream, &blockError)) return blockFailed(blockError, error);
  } else if (dataConsumerBlock_) {
    ZZDataConsumer consumer(*stream);
    if (!dataConsumerBlock_(consumer, &blockError)) return blockFailed(blockError, error);
  }
  // A write that failed inside a block leaves the stream in error.
  if (!ok || stream->streamStatus() == ZZStreamStatus::Error || !stream->close()) {
    kx::Error streamError = stream->streamError();
    kx::SetError(error, streamError ? streamError : ZZError::make(ZZLocalFileWriteErrorCode));
    return false;
  }
  *crc = stream->crc32();
  *compressed = stream->compressedSize();
  *uncompressed = stream->uncompressedSize();
  return true;
}

bool ZZNewArchiveEntryWriter::writeLocalFileToChannelOutput(ZZChannelOutput& output,
                                                            std::uint64_t initialSkip,
                                                            kx::Error* error) {
  if (!isValid(error)) return false;
  const std::uint64_t offset = initialSkip + output.offset();
  if (offset > kMax32) {
    kx::SetError(error, ZZError::make(ZZArchiveTooLargeErrorCode));
    return false;
  }
  std::uint8_t* c = centralFileHeader_.data();
  ZZWrite32(c + ZZCentralFileHeader::kLocalHeaderOffsetOffset, static_cast<std::uint32_t>(offset));
  if (!output.writeData(localFileHeader_.data(), localFileHeader_.size(), error)) return false;
  if (!hasDataSource()) return true;

  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t uncompressed = 0;
  if (!writeData(output, &crc, &compressed, &uncompressed, error)) return false;
  if (compressed > kMax32 || uncompressed > kMax32) {
    kx::SetError(error, ZZError::make(ZZArchiveTooLargeErrorCode));
    return false;
  }
  ZZWrite32(c + ZZCentralFileHeader::kCRC32Offset, crc);
  ZZWrite32(c + ZZCentralFileHeader::kCompressedSizeOffset, static_cast<std::uint32_t>(compressed));
  ZZWrite32(c + ZZCentralFileHeader::kUncompressedSizeOffset,
            static_cast<std::uint32_t>(uncompressed));
  std::uint8_t descriptor[ZZLocalFileHeader::kDataDescriptorSize];
  ZZWrite32(descriptor, ZZLocalFileHeader::kDataDescriptorSignature);
  ZZWrite32(descriptor + 4, crc);
  ZZWrite32(descriptor + 8, static_cast<std::uint32_t>(compressed));
  ZZWrite32(descriptor + 12, static_cast<std::uint32_t>(uncompressed));
  return output.writeData(descriptor, sizeof descriptor, error);
}

bool ZZNewArchiveEntryWriter::writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output,
                                                                    kx::Error* error) {
  return output.writeData(centralFileHeader_.data(), centralFileHeader_.size(), error);
}
