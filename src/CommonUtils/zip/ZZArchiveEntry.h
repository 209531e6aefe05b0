// ZZArchiveEntry is one entry of a zip archive: its name, mode, sizes and
// date, and its uncompressed bytes as a whole, as a pull stream or through a
// sequential data provider. Entries read from an archive are
// ZZOldArchiveEntry; entries made to be written are ZZNewArchiveEntry, built
// by the factories below from a name and a block that supplies the data.
//
// Every read checks the data against what the central directory records
// (size and CRC-32, or the authentication code of AES entries) and answers an
// error, never damaged bytes.
//
// Thread safety: an entry is immutable; entries read from an archive may be
// read from several threads at once (each stream or provider by one thread).
#ifndef ZN_COMMONUTILS_ZIP_ZZARCHIVEENTRY_H_
#define ZN_COMMONUTILS_ZIP_ZZARCHIVEENTRY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CommonUtils/zip/ZZArchiveEntryWriter.h"
#include "CommonUtils/zip/ZZDataConsumer.h"
#include "CommonUtils/zip/ZZDataProvider.h"
#include "CommonUtils/zip/ZZInputStream.h"
#include "CommonUtils/zip/ZZOutputStream.h"
#include "CommonUtils/zip/ZZStringEncoding.h"
#include "platform/Error.h"
#include "platform/Value.h"

// Data sources of a new entry. Each answers its data (or writes it) and
// reports failure by answering nothing or false, with an error when it has
// one.
using ZZDataBlock = std::function<std::optional<kx::Bytes>(kx::Error* error)>;
using ZZStreamBlock = std::function<bool(ZZOutputStream& stream, kx::Error* error)>;
using ZZDataConsumerBlock = std::function<bool(ZZDataConsumer& consumer, kx::Error* error)>;

class ZZArchiveEntry {
 public:
  // Modes of new entries: a regular file rw-r--r-- and a folder rwxr-xr-x.
  static constexpr std::uint16_t kDefaultFileMode = 0100644;
  static constexpr std::uint16_t kDefaultDirectoryMode = 040755;

  virtual ~ZZArchiveEntry() = default;

  // A file entry, modified now, deflated at the default level when
  // `compress`, else stored.
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(const std::string& fileName,
                                                                  bool compress,
                                                                  ZZDataBlock dataBlock);
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(const std::string& fileName,
                                                                  bool compress,
                                                                  ZZStreamBlock streamBlock);
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(
      const std::string& fileName, bool compress, ZZDataConsumerBlock dataConsumerBlock);
  // A folder entry (give the name with its trailing "/").
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithDirectoryName(
      const std::string& directoryName);
  // Everything given: mode, modification time (seconds since 1970), level (0
  // store, -1 the library default, 1 to 9) and at most one data source.
  static std::shared_ptr<ZZArchiveEntry> archiveEntryWithFileName(
      const std::string& fileName, std::uint16_t fileMode, double lastModified,
      std::int64_t compressionLevel, ZZDataBlock dataBlock, ZZStreamBlock streamBlock,
      ZZDataConsumerBlock dataConsumerBlock);

  virtual bool compressed() const = 0;
  virtual bool encrypted() const = 0;
  // Seconds since 1970.
  virtual double lastModified() const = 0;
  virtual std::uint64_t crc32() const = 0;
  virtual std::uint64_t compressedSize() const = 0;
  virtual std::uint64_t uncompressedSize() const = 0;
  virtual std::uint16_t fileMode() const = 0;
  virtual kx::Bytes rawFileName() const = 0;
  virtual ZZStringEncoding encoding() const = 0;
  // The name decoded with the encoding; "" when the bytes do not decode.
  virtual std::string fileNameWithEncoding(ZZStringEncoding encoding) const = 0;
  std::string fileName() const { return fileNameWithEncoding(encoding()); }

  // The uncompressed bytes.
  std::optional<kx::Bytes> newDataWithError(kx::Error* error) const {
    return newDataWithPassword(std::string(), error);
  }
  virtual std::optional<kx::Bytes> newDataWithPassword(const std::string& password,
                                                       kx::Error* error) const;
  // An unopened stream of the uncompressed bytes.
  std::unique_ptr<ZZInputStream> newStreamWithError(kx::Error* error) const {
    return newStreamWithPassword(std::string(), error);
  }
  virtual std::unique_ptr<ZZInputStream> newStreamWithPassword(const std::string& password,
                                                               kx::Error* error) const;
  // A provider of the uncompressed bytes.
  std::unique_ptr<ZZDataProvider> newDataProviderWithError(kx::Error* error) const {
    return newDataProviderWithPassword(std::string(), error);
  }
  virtual std::unique_ptr<ZZDataProvider> newDataProviderWithPassword(const std::string& password,
                                                                      kx::Error* error) const;
  // Whether the local header agrees with the central one.
  [[nodiscard]] virtual bool check(kx::Error* error) const;

  virtual std::unique_ptr<ZZArchiveEntryWriter> newWriterCanSkipLocalFile(bool canSkip) const = 0;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZARCHIVEENTRY_H_
