#include "CommonUtils/zip/ZZArchiveEntry.h"

#include <ctime>

#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZNewArchiveEntry.h"

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(
    const std::string& fileName, bool compress, ZZDataBlock dataBlock) {
  return archiveEntryWithFileName(fileName, kDefaultFileMode,
                                  static_cast<double>(std::time(nullptr)), compress ? -1 : 0,
                                  std::move(dataBlock), nullptr, nullptr);
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(
    const std::string& fileName, bool compress, ZZStreamBlock streamBlock) {
  return archiveEntryWithFileName(fileName, kDefaultFileMode,
                                  static_cast<double>(std::time(nullptr)), compress ? -1 : 0,
                                  nullptr, std::move(streamBlock), nullptr);
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(
    const std::string& fileName, bool compress, ZZDataConsumerBlock dataConsumerBlock) {
  return archiveEntryWithFileName(fileName, kDefaultFileMode,
                                  static_cast<double>(std::time(nullptr)), compress ? -1 : 0,
                                  nullptr, nullptr, std::move(dataConsumerBlock));
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithDirectoryName(
    const std::string& directoryName) {
  return archiveEntryWithFileName(directoryName, kDefaultDirectoryMode,
                                  static_cast<double>(std::time(nullptr)), 0, nullptr, nullptr,
                                  nullptr);
}

std::shared_ptr<ZZArchiveEntry> ZZArchiveEntry::archiveEntryWithFileName(
    const std::string& fileName, std::uint16_t fileMode, double lastModified,
    std::int64_t compressionLevel, ZZDataBlock dataBlock, ZZStreamBlock streamBlock,
    ZZDataConsumerBlock dataConsumerBlock) {
  return std::make_shared<ZZNewArchiveEntry>(fileName, fileMode, lastModified, compressionLevel,
                                             std::move(dataBlock), std::move(streamBlock),
                                             std::move(dataConsumerBlock));
}

// Entries that hold no archive data (new entries) have nothing to read.

std::optional<kx::Bytes> ZZArchiveEntry::newDataWithPassword(const std::string& password,
                                                             kx::Error* error) const {
  kx::SetError(error, ZZError::make(ZZApplicationErrorCode));
  return std::nullopt;
}

std::unique_ptr<ZZInputStream> ZZArchiveEntry::newStreamWithPassword(const std::string& password,
                                                                     kx::Error* error) const {
  kx::SetError(error, ZZError::make(ZZApplicationErrorCode));
  return nullptr;
}

std::unique_ptr<ZZDataProvider> ZZArchiveEntry::newDataProviderWithPassword(
    const std::string& password, kx::Error* error) const {
  kx::SetError(error, ZZError::make(ZZApplicationErrorCode));
  return nullptr;
}

bool ZZArchiveEntry::check(kx::Error* error) const { return true; }
