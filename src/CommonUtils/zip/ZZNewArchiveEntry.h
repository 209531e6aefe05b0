// ZZNewArchiveEntry is an entry to be written into an archive: a name (always
// written as UTF-8), a mode, a modification time, a compression level (0
// store, -1 the library default, 1 to 9 deflate levels) and one data source:
// a block that answers the whole data, one that writes into an output
// stream, or one that writes into a data consumer. A folder entry has none.
// It holds no bytes of its own, so the reading methods answer nothing.
//
// Thread safety: immutable; the blocks run on the thread that writes the
// archive.
#ifndef ZN_COMMONUTILS_ZIP_ZZNEWARCHIVEENTRY_H_
#define ZN_COMMONUTILS_ZIP_ZZNEWARCHIVEENTRY_H_

#include "CommonUtils/zip/ZZArchiveEntry.h"

class ZZNewArchiveEntry : public ZZArchiveEntry {
 public:
  ZZNewArchiveEntry(std::string fileName, std::uint16_t fileMode, double lastModified,
                    std::int64_t compressionLevel, ZZDataBlock dataBlock, ZZStreamBlock streamBlock,
                    ZZDataConsumerBlock dataConsumerBlock);

  bool compressed() const override { return compressionLevel_ != 0; }
  bool encrypted() const override { return false; }
  double lastModified() const override { return lastModified_; }
  std::uint64_t crc32() const override { return 0; }
  std::uint64_t compressedSize() const override { return 0; }
  std::uint64_t uncompressedSize() const override { return 0; }
  std::uint16_t fileMode() const override { return fileMode_; }
  kx::Bytes rawFileName() const override;
  ZZStringEncoding encoding() const override { return ZZStringEncoding::UTF8; }
  std::string fileNameWithEncoding(ZZStringEncoding encoding) const override { return fileName_; }

  std::unique_ptr<ZZArchiveEntryWriter> newWriterCanSkipLocalFile(bool canSkip) const override;

  std::int64_t compressionLevel() const { return compressionLevel_; }

 private:
  std::string fileName_;
  std::uint16_t fileMode_;
  double lastModified_;
  std::int64_t compressionLevel_;
  ZZDataBlock dataBlock_;
  ZZStreamBlock streamBlock_;
  ZZDataConsumerBlock dataConsumerBlock_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZNEWARCHIVEENTRY_H_
