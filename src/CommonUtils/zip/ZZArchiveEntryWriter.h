// ZZArchiveEntryWriter writes one entry of a new archive: its local file
// (header, data, descriptor), then, once all local files are out, its central
// header. An entry makes its writer with newWriterCanSkipLocalFile().
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZARCHIVEENTRYWRITER_H_
#define ZN_COMMONUTILS_ZIP_ZZARCHIVEENTRYWRITER_H_

#include <cstdint>

#include "CommonUtils/zip/ZZChannelOutput.h"
#include "platform/Error.h"

class ZZArchiveEntryWriter {
 public:
  virtual ~ZZArchiveEntryWriter() = default;

  // For a writer that skips its local file: where that local file ends in
  // the current archive (the bytes before it are kept); 0 otherwise.
  virtual std::uint64_t offsetToLocalFileEnd() const = 0;
  // Whether the writer can do its work; an entry whose local file cannot be
  // found in its archive cannot be written.
  [[nodiscard]] virtual bool isValid(kx::Error* error) const = 0;
  // Writes the local file at the output's offset; `initialSkip` is the
  // position in the final archive of the output's first byte.
  [[nodiscard]] virtual bool writeLocalFileToChannelOutput(ZZChannelOutput& output,
                                                           std::uint64_t initialSkip,
                                                           kx::Error* error) = 0;
  [[nodiscard]] virtual bool writeCentralFileHeaderToChannelOutput(ZZChannelOutput& output,
                                                                   kx::Error* error) = 0;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZARCHIVEENTRYWRITER_H_
