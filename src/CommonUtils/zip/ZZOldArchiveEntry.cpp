#include "CommonUtils/zip/ZZOldArchiveEntry.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "CommonUtils/zip/ZZAESDecryptInputStream.h"
#include "CommonUtils/zip/ZZCheckedInputStream.h"
#include "CommonUtils/zip/ZZDOSDate.h"
#include "CommonUtils/zip/ZZDataInputStream.h"
#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZInflateInputStream.h"
#include "CommonUtils/zip/ZZOldArchiveEntryWriter.h"
#include "CommonUtils/zip/ZZStandardDecryptInputStream.h"

namespace {

constexpr std::uint16_t kFlagEncrypted = 1 << 0;
constexpr std::uint16_t kFlagDataDescriptor = 1 << 3;
constexpr std::uint16_t kFlagStrongEncryption = 1 << 6;
constexpr std::uint16_t kFlagUTF8 = 1 << 11;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;

// Raw deflate cannot expand data by more than 1032 to 1 (a 258-byte match in
// two bits), so an entry that claims more is damaged.
constexpr std::uint64_t kMaxDeflateRatio = 1032;

// Room taken first when an entry is read through its stream chain.
constexpr std::size_t kInitialReadSize = 65536;

std::int64_t encryptionModeOf(std::uint16_t flags, bool hasAESBlock) {
  if (!(flags & kFlagEncrypted)) return ZZOldArchiveEntry::kNone;
  if (hasAESBlock) return ZZOldArchiveEntry::kWinZipAES;
  if (flags & kFlagStrongEncryption) return ZZOldArchiveEntry::kStrong;
  return ZZOldArchiveEntry::kStandard;
}

std::uint32_t crcOf(const std::uint8_t* data, std::size_t size) {
  unsigned long crc = ::crc32(0L, Z_NULL, 0);
  std::size_t done = 0;
  while (done < size) {
    uInt piece =
        static_cast<uInt>(std::min<std::size_t>(size - done, std::numeric_limits<uInt>::max()));
    crc = ::crc32(crc, data + done, piece);
    done += piece;
  }
  return static_cast<std::uint32_t>(crc);
}

}  // namespace

ZZOldArchiveEntry::ZZOldArchiveEntry(ZZBytes contents, std::size_t centralOffset,
                                     std::size_t localFilesEnd)
    : contents_(std::move(contents)), centralOffset_(centralOffset), localFilesEnd_(localFilesEnd) {
  ZZCentralFileHeader central = centralFileHeader();
  encryptionMode_ =
      encryptionModeOf(central.generalPurposeBitFlag(), central.extraAES().has_value());
}

std::uint16_t ZZOldArchiveEntry::compressionMethod() const {
  ZZCentralFileHeader central = centralFileHeader();
  if (encryptionMode_ == kWinZipAES) {
    if (auto aes = central.extraAES()) return aes->compressionMethod;
  }
  return central.compressionMethod();
}

bool ZZOldArchiveEntry::compressed() const { return compressionMethod() != kMethodStored; }

bool ZZOldArchiveEntry::encrypted() const {
  return (centralFileHeader().generalPurposeBitFlag() & kFlagEncrypted) != 0;
}

double ZZOldArchiveEntry::lastModified() const {
  ZZCentralFileHeader central = centralFileHeader();
  return ZZDOSDate::toSecondsSince1970(central.lastModFileTime(), central.lastModFileDate());
}

std::uint64_t ZZOldArchiveEntry::crc32() const { return centralFileHeader().crc32(); }

std::uint64_t ZZOldArchiveEntry::compressedSize() const {
  return centralFileHeader().compressedSize();
}

std::uint64_t ZZOldArchiveEntry::uncompressedSize() const {
  return centralFileHeader().uncompressedSize();
}

std::uint16_t ZZOldArchiveEntry::fileMode() const {
  ZZCentralFileHeader central = centralFileHeader();
  const std::uint32_t external = central.externalFileAttributes();
  switch (central.fileAttributeCompatibility()) {
    case 3:  // Unix
      return static_cast<std::uint16_t>(external >> 16);
    case 0:     // MS-DOS
    case 10: {  // NTFS
      std::uint16_t mode = (external & 0x18) ? kDefaultDirectoryMode : kDefaultFileMode;
      if (external & 0x01) mode &= static_cast<std::uint16_t>(~0200);
      return mode;
    }
    default: return 0;
  }
}

kx::Bytes ZZOldArchiveEntry::rawFileName() const {
  ZZCentralFileHeader central = centralFileHeader();
  return kx::Bytes(central.fileName(), central.fileName() + central.fileNameLength());
}

ZZStringEncoding ZZOldArchiveEntry::encoding() const {
  return (centralFileHeader().generalPurposeBitFlag() & kFlagUTF8) ? ZZStringEncoding::UTF8
                                                                   : ZZStringEncoding::DOSLatinUS;
}

std::string ZZOldArchiveEntry::fileNameWithEncoding(ZZStringEncoding encoding) const {
  ZZCentralFileHeader central = centralFileHeader();
  return ZZDecodeString(central.fileName(), central.fileNameLength(), encoding).value_or("");
}

bool ZZOldArchiveEntry::checkEncryptionAndCompression(kx::Error* error) const {
  if (encryptionMode_ != kNone && encryptionMode_ != kStandard && encryptionMode_ != kWinZipAES) {
    kx::SetError(error, ZZError::make(ZZUnsupportedEncryptionMethod));
    return false;
  }
  std::uint16_t method = compressionMethod();
  if (method != kMethodStored && method != kMethodDeflated) {
    kx::SetError(error, ZZError::make(ZZUnsupportedCompressionMethod));
    return false;
  }
  return true;
}

bool ZZOldArchiveEntry::locateFileData(FileData* out, kx::Error* error) const {
  ZZCentralFileHeader central = centralFileHeader();
  const std::size_t localOffset = central.relativeOffsetOfLocalHeader();
  // The archive checked localOffset + 30 <= localFilesEnd_ <= contents size.
  const std::uint8_t* local = contents_.data() + localOffset;
  if (!ZZLocalFileHeader::fitsIn(local, localFilesEnd_ - localOffset)) {
    kx::SetError(error, ZZError::make(ZZLocalFileReadErrorCode));
    return false;
  }
  ZZLocalFileHeader header(local);
  // The name is compared too: a second directory (hidden in the archive
  // comment, say) must not serve an entry's bytes under another name.
  if (header.signature() != ZZLocalFileHeader::kSignature || !header.hasNameOf(central)) {
    kx::SetError(error, ZZError::make(ZZLocalFileReadErrorCode));
    return false;
  }
  const std::size_t dataStart = localOffset + header.headerLength();
  const std::size_t length = central.compressedSize();
  if (length > localFilesEnd_ - dataStart) {
    kx::SetError(error, ZZError::make(ZZLocalFileReadErrorCode));
    return false;
  }
  switch (encryptionMode_) {
    case kNone: out->data = contents_.subrange(dataStart, length); return true;
    case kStandard:
      if (length < ZZStandardDecryptInputStream::kHeaderLength) {
        kx::SetError(error, ZZError::make(ZZDamagedDataErrorCode));
        return false;
      }
      out->encryptionHeader = contents_.data() + dataStart;
      out->data = contents_.subrange(dataStart + ZZStandardDecryptInputStream::kHeaderLength,
                                     length - ZZStandardDecryptInputStream::kHeaderLength);
      return true;
    case kWinZipAES: {
      // The salt and key strength come from the local header's AES block.
      std::optional<ZZWinZipAESExtraField> aes = header.extraAES();
      if (!aes) {
        kx::SetError(error, ZZError::make(ZZLocalFileReadErrorCode));
        return false;
      }
      const std::size_t salt = ZZWinZipAESExtraField::saltLength(aes->encryptionStrength);
      if (salt == 0) {
        kx::SetError(error, ZZError::make(ZZUnsupportedEncryptionMethod));
        return false;
      }
      const std::size_t overhead = salt + ZZAESDecryptInputStream::kPasswordVerifierLength +
                                   ZZAESDecryptInputStream::kAuthenticationCodeLength;
      if (length < overhead) {
        kx::SetError(error, ZZError::make(ZZDamagedDataErrorCode));
        return false;
      }
      out->strength = aes->encryptionStrength;
      out->encryptionHeader = contents_.data() + dataStart;
      out->data = contents_.subrange(
          dataStart + salt + ZZAESDecryptInputStream::kPasswordVerifierLength, length - overhead);
      out->authenticationCode = contents_.data() + dataStart + length -
                                ZZAESDecryptInputStream::kAuthenticationCodeLength;
      return true;
    }
    default: kx::SetError(error, ZZError::make(ZZUnsupportedEncryptionMethod)); return false;
  }
}

bool ZZOldArchiveEntry::checkPlausibleSize(const FileData& file, kx::Error* error) const {
  const std::uint64_t uncompressed = uncompressedSize();
  const std::uint64_t stored = file.data.size();
  bool plausible = compressionMethod() == kMethodStored
                       ? uncompressed == stored
                       : uncompressed <= stored * kMaxDeflateRatio + 258;
  if (!plausible) kx::SetError(error, ZZError::make(ZZDamagedDataErrorCode));
  return plausible;
}

std::optional<std::uint32_t> ZZOldArchiveEntry::expectedCRC32() const {
  if (encryptionMode_ == kWinZipAES) {
    // AE-2 entries record no CRC-32; the authentication code stands for it.
    auto aes = centralFileHeader().extraAES();
    if (aes && aes->vendorVersion == 2) return std::nullopt;
  }
  return centralFileHeader().crc32();
}

bool ZZOldArchiveEntry::verify(const kx::Bytes& data, kx::Error* error) const {
  std::optional<std::uint32_t> crc = expectedCRC32();
  if (data.size() != uncompressedSize() || (crc && crcOf(data.data(), data.size()) != *crc)) {
    kx::SetError(error, ZZError::make(ZZDamagedDataErrorCode));
    return false;
  }
  return true;
}

std::unique_ptr<ZZInputStream> ZZOldArchiveEntry::makeStream(const FileData& file,
                                                             const std::string& password,
                                                             kx::Error* error) const {
  ZZCentralFileHeader central = centralFileHeader();
  std::unique_ptr<ZZInputStream> stream = std::make_unique<ZZDataInputStream>(file.data);
  if (encryptionMode_ == kStandard) {
    const std::uint16_t check = (central.generalPurposeBitFlag() & kFlagDataDescriptor)
                                    ? central.lastModFileTime()
                                    : static_cast<std::uint16_t>(central.crc32() >> 16);
    stream = ZZStandardDecryptInputStream::create(
        std::move(stream), password, file.encryptionHeader, check, central.versionMadeBy(), error);
  } else if (encryptionMode_ == kWinZipAES) {
    stream =
        ZZAESDecryptInputStream::create(std::move(stream), password, file.encryptionHeader,
                                        file.strength, error, &file.data, file.authenticationCode);
  }
  if (!stream) return nullptr;
  if (compressionMethod() == kMethodDeflated)
    stream = std::make_unique<ZZInflateInputStream>(std::move(stream));
  return std::make_unique<ZZCheckedInputStream>(std::move(stream), uncompressedSize(),
                                                expectedCRC32());
}

std::optional<kx::Bytes> ZZOldArchiveEntry::newDataWithPassword(const std::string& password,
                                                                kx::Error* error) const {
  if (!checkEncryptionAndCompression(error)) return std::nullopt;
  FileData file;
  if (!locateFileData(&file, error) || !checkPlausibleSize(file, error)) return std::nullopt;

  if (encryptionMode_ == kNone) {
    std::optional<kx::Bytes> data;
    if (compressionMethod() == kMethodDeflated) {
      data = ZZInflateInputStream::decompressData(
          file.data.data(), file.data.size(), static_cast<std::size_t>(uncompressedSize()), error);
    } else {
      data = file.data.copy();
    }
    if (!data || !verify(*data, error)) return std::nullopt;
    return data;
  }

  std::unique_ptr<ZZInputStream> stream = makeStream(file, password, error);
  if (!stream) return std::nullopt;
  stream->open();
  // The buffer grows with what the stream really gives, up to the declared
  // size, which is only a claim until the bytes are there.
  const std::size_t expected = static_cast<std::size_t>(uncompressedSize());
  kx::Bytes buffer;
  std::size_t filled = 0;
  ssize_t got = 0;
  while (filled < expected) {
    if (filled == buffer.size())
      buffer.resize(std::min(expected, std::max<std::size_t>(filled * 2, kInitialReadSize)));
    got = stream->read(buffer.data() + filled, buffer.size() - filled);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  // One more read lets the checking stream see the end and compare.
  if (got >= 0) {
    std::uint8_t extra;
    got = stream->read(&extra, 1);
  }
  kx::Error streamError = stream->streamError();
  stream->close();
  if (got != 0 || filled != expected) {
    kx::SetError(error, streamError ? streamError : ZZError::make(ZZDamagedDataErrorCode));
    return std::nullopt;
  }
  return buffer;
}

std::unique_ptr<ZZInputStream> ZZOldArchiveEntry::newStreamWithPassword(const std::string& password,
                                                                        kx::Error* error) const {
  if (!checkEncryptionAndCompression(error)) return nullptr;
  FileData file;
  if (!locateFileData(&file, error)) return nullptr;
  return makeStream(file, password, error);
}

std::unique_ptr<ZZDataProvider> ZZOldArchiveEntry::newDataProviderWithPassword(
    const std::string& password, kx::Error* error) const {
  if (!checkEncryptionAndCompression(error)) return nullptr;
  FileData file;
  if (!locateFileData(&file, error)) return nullptr;
  if (encryptionMode_ == kNone && compressionMethod() == kMethodStored) {
    kx::Bytes data = file.data.copy();
    if (!verify(data, error)) return nullptr;
    return std::make_unique<ZZDataProvider>(std::move(data));
  }
  // The provider may outlive this entry: it keeps its own reference.
  auto self = std::make_shared<ZZOldArchiveEntry>(*this);
  return std::make_unique<ZZDataProvider>([self, password](kx::Error* streamError) {
    return self->newStreamWithPassword(password, streamError);
  });
}

bool ZZOldArchiveEntry::check(kx::Error* error) const {
  ZZCentralFileHeader central = centralFileHeader();
  const std::size_t localOffset = central.relativeOffsetOfLocalHeader();
  const std::uint8_t* local = contents_.data() + localOffset;
  auto mismatch = [error] {
    kx::SetError(error, ZZError::make(ZZLocalFileReadErrorCode));
    return false;
  };
  if (!ZZLocalFileHeader::fitsIn(local, localFilesEnd_ - localOffset)) return mismatch();
  ZZLocalFileHeader header(local);
  if (header.signature() != ZZLocalFileHeader::kSignature ||
      header.versionNeededToExtract() != central.versionNeededToExtract() ||
      header.generalPurposeBitFlag() != central.generalPurposeBitFlag() ||
      header.compressionMethod() != central.compressionMethod() ||
      header.lastModFileTime() != central.lastModFileTime() ||
      header.lastModFileDate() != central.lastModFileDate() ||
      header.fileNameLength() != central.fileNameLength() ||
      std::memcmp(header.fileName(), central.fileName(), central.fileNameLength()) != 0)
    return mismatch();

  std::uint32_t crc = header.crc32();
  std::uint32_t compressed = header.compressedSize();
  std::uint32_t uncompressed = header.uncompressedSize();
  if (header.generalPurposeBitFlag() & kFlagDataDescriptor) {
    // The values come from a signed descriptor after the data (with 64-bit
    // sizes when the entry was streamed as Zip64).
    const std::size_t dataStart = localOffset + header.headerLength();
    const std::uint64_t descriptor =
        static_cast<std::uint64_t>(dataStart) + central.compressedSize();
    if (descriptor > localFilesEnd_) return mismatch();
    std::optional<ZZLocalFileHeader::DataDescriptor> d =
        header.dataDescriptor(contents_.data() + descriptor,
                              static_cast<std::size_t>(localFilesEnd_ - descriptor), central);
    if (!d || !d->signature || d->compressedSize > 0xffffffffu || d->uncompressedSize > 0xffffffffu)
      return mismatch();
    crc = d->crc32;
    compressed = static_cast<std::uint32_t>(d->compressedSize);
    uncompressed = static_cast<std::uint32_t>(d->uncompressedSize);
  }
  if (crc != central.crc32() || compressed != central.compressedSize() ||
      uncompressed != central.uncompressedSize())
    return mismatch();
  if (encryptionModeOf(header.generalPurposeBitFlag(), header.extraAES().has_value()) !=
      encryptionMode_)
    return mismatch();
  return true;
}

std::unique_ptr<ZZArchiveEntryWriter> ZZOldArchiveEntry::newWriterCanSkipLocalFile(
    bool canSkip) const {
  return std::make_unique<ZZOldArchiveEntryWriter>(contents_, centralOffset_, localFilesEnd_,
                                                   canSkip);
}
