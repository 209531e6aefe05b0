// ZZNewArchiveEntryWriter writes a new entry: a local header with zero CRC-32
// and sizes, the data (deflated through ZZDeflateOutputStream, or stored),
// and, for entries with a data source, a data descriptor with the CRC-32 and
// sizes, which also go into the central header. Names are flagged UTF-8;
// version made by is 3.0 on Unix, the external attributes carry the mode.
//
// Sizes and offsets that do not fit the format's 32-bit fields fail with
// ZZArchiveTooLargeErrorCode; a data source that fails without an error gives
// ZZApplicationErrorCode. A name longer than 65535 bytes is refused with the
// POSIX error ENAMETOOLONG, and one that is not well-formed UTF-8 (it would
// carry the UTF-8 flag) with EILSEQ.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZNEWARCHIVEENTRYWRITER_H_
#define ZN_COMMONUTILS_ZIP_ZZNEWARCHIVEENTRYWRITER_H_

#include "CommonUtils/zip/ZZArchiveEntry.h"
#include "CommonUtils/zip/ZZArchiveEntryWriter.h"

class ZZNewArchiveEntryWriter : public ZZArchiveEntryWriter {
 public:
  static constexpr std::uint16_t kVersionMadeBy = 798;  // 3.0, Unix
  static constexpr std::uint16_t kVersionNeeded = 10;

  ZZNewArchiveEntryWriter(const std::string& fileName, std::uint16_t fileMode, double lastModified,
                          std::int64_t compressionLevel, ZZDataBlock dataBlock,
                          ZZStreamBlock streamBlock, ZZDataConsumerBlock dataConsumerBlock);

  std::uint64_t offsetToLocalFileEnd() const override { return 0; }
  [[nodiscard]] bool isValid(kx::Error* error) const override;
  [[nodiscard]] bool writeLocalFileToChannelOutput(ZZChannelOutput& output,
                                                   std::uint64_t initialSkip,
                                                   kx::Error* error) override;
  [[nodiscard]] bool writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output,
                                                           kx::Error* error) override;

  // Flag bits 1-2 for a deflate level.
  static std::uint16_t levelFlags(std::int64_t compressionLevel);

 private:
  bool hasDataSource() const { return dataBlock_ || streamBlock_ || dataConsumerBlock_; }
  [[nodiscard]] bool writeData(ZZChannelOutput& output, std::uint32_t* crc,
                               std::uint64_t* compressed, std::uint64_t* uncompressed,
                               kx::Error* error);

  kx::Bytes centralFileHeader_;
  kx::Bytes localFileHeader_;
  std::int64_t compressionLevel_;
  ZZDataBlock dataBlock_;
  ZZStreamBlock streamBlock_;
  ZZDataConsumerBlock dataConsumerBlock_;
  int nameError_ = 0;  // errno for a name that cannot be written, else 0
};

#endif  // ZN_COMMONUTILS_ZIP_ZZNEWARCHIVEENTRYWRITER_H_
