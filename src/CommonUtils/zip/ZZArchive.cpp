#include "CommonUtils/zip/ZZArchive.h"

#include <algorithm>

#include "CommonUtils/zip/ZZCentralFileHeader.h"
#include "CommonUtils/zip/ZZDataChannel.h"
#include "CommonUtils/zip/ZZEndOfCentralDirectory.h"
#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZFileChannel.h"
#include "CommonUtils/zip/ZZLocalFileHeader.h"
#include "CommonUtils/zip/ZZOldArchiveEntry.h"

namespace {

// The platform's error for a URL that names no file.
constexpr std::int64_t kFileReadUnsupportedSchemeError = 262;

// The bytes an entry's local file takes: header, data and descriptor, or
// the fixed part of a header that cannot be read (that entry fails when it
// is read).
struct LocalFileRange {
  std::uint64_t start;
  std::uint64_t end;
  std::size_t index;  // in the central directory
};

// The directory index of an entry whose local file shares bytes with one
// that starts before it (or at the same place, earlier in the directory);
// nullopt when the local files are disjoint. Overlapping entries let a small
// archive stand for a huge one, and a rewrite would copy the shared bytes
// once per entry.
std::optional<std::size_t> firstOverlap(std::vector<LocalFileRange> ranges) {
  std::stable_sort(
      ranges.begin(), ranges.end(),
      [](const LocalFileRange& a, const LocalFileRange& b) { return a.start < b.start; });
  std::uint64_t reached = 0;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (i > 0 && ranges[i].start < reached) return ranges[i].index;
    reached = std::max(reached, ranges[i].end);
  }
  return std::nullopt;
}

}  // namespace

ZZArchive::ZZArchive(std::unique_ptr<ZZChannel> channel) : channel_(std::move(channel)) {}

std::shared_ptr<ZZArchive> ZZArchive::archiveWithURL(const kx::URL& url, kx::Error* error) {
  return archiveWithURL(url, kx::Value(), error);
}

std::shared_ptr<ZZArchive> ZZArchive::archiveWithData(kx::Bytes data, kx::Error* error) {
  return archiveWithData(std::move(data), kx::Value(), error);
}

std::shared_ptr<ZZArchive> ZZArchive::archiveWithURL(const kx::URL& url, const kx::Value& options,
                                                     kx::Error* error) {
  if (!url.isFileURL() || url.path().empty()) {
    kx::SetError(error, ZZError::withUnderlying(
                            ZZOpenReadErrorCode,
                            kx::Error(kx::kCocoaErrorDomain, kFileReadUnsupportedSchemeError,
                                      kx::Value(kx::Dictionary()))));
    return nullptr;
  }
  return archiveWithPath(url.path(), options, error);
}

std::shared_ptr<ZZArchive> ZZArchive::archiveWithPath(const std::string& path,
                                                      const kx::Value& options, kx::Error* error) {
  return archiveWithChannel(std::make_unique<ZZFileChannel>(path), options, error);
}

std::shared_ptr<ZZArchive> ZZArchive::archiveWithData(kx::Bytes data, const kx::Value& options,
                                                      kx::Error* error) {
  return archiveWithChannel(std::make_unique<ZZDataChannel>(std::move(data)), options, error);
}

std::shared_ptr<ZZArchive> ZZArchive::archiveWithChannel(std::unique_ptr<ZZChannel> channel,
                                                         const kx::Value& options,
                                                         kx::Error* error) {
  std::shared_ptr<ZZArchive> archive(new ZZArchive(std::move(channel)));
  const bool createIfMissing = options[ZZOpenOptionsCreateIfMissingKey].boolValue();
  if (!archive->load(createIfMissing, error)) return nullptr;
  return archive;
}

std::optional<kx::URL> ZZArchive::URL() const {
  std::string path = channel_->path();
  if (path.empty()) return std::nullopt;
  return kx::URL::fileURLWithPath(path);
}

bool ZZArchive::load(bool createIfMissing, kx::Error* error) {
  kx::Error readError;
  std::optional<ZZBytes> input = channel_->newInput(&readError);
  if (!input) {
    if (createIfMissing && readError.domain() == kx::kCocoaErrorDomain &&
        readError.code() == ZZFileReadNoSuchFileError) {
      contents_ = ZZBytes();
      entries_.clear();
      return true;
    }
    kx::SetError(error, ZZError::withUnderlying(ZZOpenReadErrorCode, readError));
    return false;
  }
  const ZZBytes contents = *input;
  const std::uint8_t* data = contents.data();

  std::optional<ZZEndOfCentralDirectory> end =
      ZZEndOfCentralDirectory::locate(data, contents.size());
  if (!end) {
    kx::SetError(error, ZZError::make(ZZEndOfCentralDirectoryReadErrorCode));
    return false;
  }

  // locate() checked that the directory's offset lies before the record.
  const std::size_t directoryStart = end->offsetOfStartOfCentralDirectory;
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries;
  entries.reserve(end->totalNumberOfEntriesInTheCentralDirectory);
  std::vector<LocalFileRange> localFiles;
  localFiles.reserve(end->totalNumberOfEntriesInTheCentralDirectory);
  std::size_t position = directoryStart;
  for (std::size_t i = 0; i < end->totalNumberOfEntriesInTheCentralDirectory; ++i) {
    const std::uint8_t* p = data + position;
    const std::size_t available = end->position - position;
    if (!ZZCentralFileHeader::fitsIn(p, available)) {
      kx::SetError(error, ZZError::withIndex(ZZCentralFileHeaderReadErrorCode, i));
      return false;
    }
    ZZCentralFileHeader header(p);
    const std::uint64_t localEnd =
        static_cast<std::uint64_t>(header.relativeOffsetOfLocalHeader()) +
        ZZLocalFileHeader::kFixedSize;
    if (header.signature() != ZZCentralFileHeader::kSignature || header.diskNumberStart() != 0 ||
        localEnd > directoryStart) {
      kx::SetError(error, ZZError::withIndex(ZZCentralFileHeaderReadErrorCode, i));
      return false;
    }
    entries.push_back(std::make_shared<ZZOldArchiveEntry>(contents, position, directoryStart));
    const std::uint64_t localLength =
        ZZLocalFileHeader::localFileLength(data + header.relativeOffsetOfLocalHeader(),
                                           directoryStart - header.relativeOffsetOfLocalHeader(),
                                           header)
            .value_or(ZZLocalFileHeader::kFixedSize);
    localFiles.push_back({header.relativeOffsetOfLocalHeader(),
                          header.relativeOffsetOfLocalHeader() + localLength, i});
    position += header.totalLength();
  }
  // The count and the size must describe the same records. Writers that
  // know no Zip64 put 65535, or the count modulo 65536, into the record of
  // an archive with more entries: opening its first records only would hand
  // out a shortened list (and a rewrite would drop the rest).
  if (position - directoryStart != end->sizeOfTheCentralDirectory) {
    kx::SetError(error, ZZError::make(ZZEndOfCentralDirectoryReadErrorCode));
    return false;
  }
  if (std::optional<std::size_t> overlapping = firstOverlap(std::move(localFiles))) {
    kx::SetError(error, ZZError::withIndex(ZZCentralFileHeaderReadErrorCode, *overlapping));
    return false;
  }
  contents_ = contents;
  entries_ = std::move(entries);
  return true;
}

bool ZZArchive::updateEntries(const std::vector<std::shared_ptr<ZZArchiveEntry>>& newEntries,
                              kx::Error* error) {
  if (newEntries.size() > kMaxEntries) {
    kx::SetError(error, ZZError::make(ZZArchiveTooLargeErrorCode));
    return false;
  }
  kx::Error channelError;
  std::unique_ptr<ZZChannel> temporary = channel_->temporaryChannel(&channelError);
  if (!temporary) {
    kx::SetError(error, ZZError::withUnderlying(ZZOpenWriteErrorCode, channelError));
    return false;
  }
  bool ok = writeArchive(newEntries, *temporary, error);
  if (ok && !channel_->replaceWithChannel(*temporary, &channelError)) {
    kx::SetError(error, ZZError::withUnderlying(ZZReplaceWriteErrorCode, channelError));
    ok = false;
  }
  temporary->removeAsTemporary();
  if (!ok) return false;
  return load(false, error);
}

bool ZZArchive::writeArchive(const std::vector<std::shared_ptr<ZZArchiveEntry>>& newEntries,
                             ZZChannel& temporary, kx::Error* error) {
  // Leading entries that are the very objects of the current list keep their
  // local files where they are: the archive's bytes up to the end of the
  // furthest of those local files are copied as they stand.
  std::size_t kept = 0;
  while (kept < newEntries.size() && kept < entries_.size() && newEntries[kept] == entries_[kept])
    ++kept;

  std::vector<std::unique_ptr<ZZArchiveEntryWriter>> writers;
  writers.reserve(newEntries.size());
  std::uint64_t skip = 0;
  for (std::size_t i = 0; i < newEntries.size(); ++i) {
    std::unique_ptr<ZZArchiveEntryWriter> writer =
        newEntries[i]->newWriterCanSkipLocalFile(i < kept);
    kx::Error writerError;
    if (!writer->isValid(&writerError)) {
      kx::SetError(error,
                   ZZError::withUnderlyingAndIndex(ZZLocalFileWriteErrorCode, writerError, i));
      return false;
    }
    skip = std::max(skip, writer->offsetToLocalFileEnd());
    writers.push_back(std::move(writer));
  }
  skip = std::min<std::uint64_t>(skip, contents_.size());

  kx::Error outputError;
  std::unique_ptr<ZZChannelOutput> output = temporary.newOutput(&outputError);
  if (!output) {
    kx::SetError(error, ZZError::withUnderlying(ZZOpenWriteErrorCode, outputError));
    return false;
  }
  auto fail = [&](ZZErrorCode code, const kx::Error& cause, std::optional<std::size_t> index) {
    kx::Error e = cause.domain() == ZZErrorDomain && cause.code() == ZZArchiveTooLargeErrorCode
                      ? cause
                      : ZZError::withUnderlying(code, cause);
    if (index)
      e.mutableUserInfo().set(ZZEntryIndexKey, kx::Value(static_cast<std::uint64_t>(*index)));
    kx::SetError(error, e);
    kx::ignoreError(output->close(nullptr));  // the first failure is the one reported
    return false;
  };

  kx::Error stepError;
  if (skip > 0 && !output->writeData(contents_.data(), static_cast<std::size_t>(skip), &stepError))
    return fail(ZZLocalFileWriteErrorCode, stepError, 0);
  for (std::size_t i = kept; i < writers.size(); ++i) {
    if (!writers[i]->writeLocalFileToChannelOutput(*output, 0, &stepError))
      return fail(ZZLocalFileWriteErrorCode, stepError, i);
  }
  const std::uint64_t directoryOffset = output->offset();
  for (std::size_t i = 0; i < writers.size(); ++i) {
    if (!writers[i]->writeCentralFileHeaderToChannelOutput(*output, &stepError))
      return fail(ZZCentralFileHeaderWriteErrorCode, stepError, i);
  }
  const std::uint64_t directorySize = output->offset() - directoryOffset;
  if (output->offset() + ZZEndOfCentralDirectory::kFixedSize > kMaxArchiveSize)
    return fail(ZZEndOfCentralDirectoryWriteErrorCode, ZZError::make(ZZArchiveTooLargeErrorCode),
                std::nullopt);
  std::uint8_t record[ZZEndOfCentralDirectory::kFixedSize];
  ZZEndOfCentralDirectory::write(record, static_cast<std::uint16_t>(writers.size()),
                                 static_cast<std::uint32_t>(directorySize),
                                 static_cast<std::uint32_t>(directoryOffset));
  if (!output->writeData(record, sizeof record, &stepError))
    return fail(ZZEndOfCentralDirectoryWriteErrorCode, stepError, std::nullopt);
  if (!output->close(&stepError)) {
    kx::SetError(error, ZZError::withUnderlying(ZZEndOfCentralDirectoryWriteErrorCode, stepError));
    return false;
  }
  return true;
}
