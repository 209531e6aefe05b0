#include "CommonUtils/zip/ZZOldArchiveEntryWriter.h"

#include "CommonUtils/zip/ZZCentralFileHeader.h"
#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZLocalFileHeader.h"

ZZOldArchiveEntryWriter::ZZOldArchiveEntryWriter(ZZBytes contents, std::size_t centralOffset,
                                                 std::size_t localFilesEnd, bool skipLocalFile)
    : skipLocalFile_(skipLocalFile) {
  ZZCentralFileHeader central(contents.data() + centralOffset);
  centralFileHeader_.assign(central.bytes(), central.bytes() + central.totalLength());
  localHeaderOffset_ = central.relativeOffsetOfLocalHeader();

  // The local file as it lies: header, name, extra field, data, and the
  // descriptor, whole, when one follows. Entries the reader refuses (an
  // unsigned header, data past the directory, another name) are not copied.
  const std::uint8_t* local = contents.data() + localHeaderOffset_;
  const std::size_t available = localFilesEnd - localHeaderOffset_;
  std::optional<std::uint64_t> length =
      ZZLocalFileHeader::localFileLength(local, available, central);
  if (!length || !ZZLocalFileHeader(local).hasNameOf(central)) return;
  localFileLength_ = *length;
  if (!skipLocalFile_)
    localFile_ = contents.subrange(localHeaderOffset_, static_cast<std::size_t>(*length));
  valid_ = true;
}

std::uint64_t ZZOldArchiveEntryWriter::offsetToLocalFileEnd() const {
  return skipLocalFile_ ? localHeaderOffset_ + localFileLength_ : 0;
}

bool ZZOldArchiveEntryWriter::isValid(kx::Error* error) const {
  if (!valid_) kx::SetError(error, ZZError::make(ZZLocalFileReadErrorCode));
  return valid_;
}

bool ZZOldArchiveEntryWriter::writeLocalFileToChannelOutput(ZZChannelOutput& output,
                                                            std::uint64_t initialSkip,
                                                            kx::Error* error) {
  if (!isValid(error)) return false;
  if (skipLocalFile_) return true;
  const std::uint64_t offset = initialSkip + output.offset();
  if (offset > 0xffffffffu) {
    kx::SetError(error, ZZError::make(ZZArchiveTooLargeErrorCode));
    return false;
  }
  ZZWrite32(centralFileHeader_.data() + ZZCentralFileHeader::kLocalHeaderOffsetOffset,
            static_cast<std::uint32_t>(offset));
  return output.writeData(localFile_.data(), localFile_.size(), error);
}

bool ZZOldArchiveEntryWriter::writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output,
                                                                    kx::Error* error) {
  return output.writeData(centralFileHeader_.data(), centralFileHeader_.size(), error);
}
