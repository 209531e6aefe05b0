#include "CommonUtils/zip/ZZNewArchiveEntry.h"

#include "CommonUtils/zip/ZZNewArchiveEntryWriter.h"

ZZNewArchiveEntry::ZZNewArchiveEntry(std::string fileName, std::uint16_t fileMode,
                                     double lastModified, std::int64_t compressionLevel,
                                     ZZDataBlock dataBlock, ZZStreamBlock streamBlock,
                                     ZZDataConsumerBlock dataConsumerBlock)
    : fileName_(std::move(fileName)),
      fileMode_(fileMode),
      lastModified_(lastModified),
      compressionLevel_(compressionLevel),
      dataBlock_(std::move(dataBlock)),
      streamBlock_(std::move(streamBlock)),
      dataConsumerBlock_(std::move(dataConsumerBlock)) {}

kx::Bytes ZZNewArchiveEntry::rawFileName() const {
  return kx::Bytes(fileName_.begin(), fileName_.end());
}

std::unique_ptr<ZZArchiveEntryWriter> ZZNewArchiveEntry::newWriterCanSkipLocalFile(
    bool canSkip) const {
  return std::make_unique<ZZNewArchiveEntryWriter>(fileName_, fileMode_, lastModified_,
                                                   compressionLevel_, dataBlock_, streamBlock_,
                                                   dataConsumerBlock_);
}
