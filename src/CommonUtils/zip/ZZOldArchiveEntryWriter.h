// ZZOldArchiveEntryWriter writes an entry read from the current archive into
// its replacement unchanged: its local file (header, data and descriptor, as
// they lie in the archive) and a copy of its central header whose local
// header offset follows the new position. A writer that may skip its local
// file keeps it where it is and writes only the central header.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZOLDARCHIVEENTRYWRITER_H_
#define ZN_COMMONUTILS_ZIP_ZZOLDARCHIVEENTRYWRITER_H_

#include "CommonUtils/zip/ZZArchiveEntryWriter.h"
#include "CommonUtils/zip/ZZBytes.h"
#include "platform/Value.h"

class ZZOldArchiveEntryWriter : public ZZArchiveEntryWriter {
 public:
  ZZOldArchiveEntryWriter(ZZBytes contents, std::size_t centralOffset, std::size_t localFilesEnd,
                          bool skipLocalFile);

  std::uint64_t offsetToLocalFileEnd() const override;
  [[nodiscard]] bool isValid(kx::Error* error) const override;
  [[nodiscard]] bool writeLocalFileToChannelOutput(ZZChannelOutput& output,
                                                   std::uint64_t initialSkip,
                                                   kx::Error* error) override;
  [[nodiscard]] bool writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output,
                                                           kx::Error* error) override;

 private:
  kx::Bytes centralFileHeader_;
  std::uint64_t localHeaderOffset_ = 0;
  std::uint64_t localFileLength_ = 0;
  ZZBytes localFile_;  // empty when skipped
  bool skipLocalFile_;
  bool valid_ = false;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZOLDARCHIVEENTRYWRITER_H_
