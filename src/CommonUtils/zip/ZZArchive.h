// ZZArchive opens a zip archive held in a file (mapped, not read) or in
// memory, checks its end-of-central-directory record and central directory,
// and exposes its entries in central-directory order. updateEntries()
// rewrites the archive with a new entry list: entries taken from the archive
// are copied as they are, new entries are written from their data sources,
// and the result replaces the archive atomically.
//
// Archives come from the network (downloaded bundles), so every offset and
// length is checked before it is read: opening fails with an error for a
// missing or inconsistent end record, or one whose entry count and directory
// size disagree with the records that lie there
// (ZZEndOfCentralDirectoryReadErrorCode), and for a central header that runs
// past the directory, is not signed, points its local header into the
// directory, or whose local file shares bytes with another entry's
// (ZZCentralFileHeaderReadErrorCode with ZZEntryIndexKey); the entries check
// their local headers and data when they are read.
//
// Only single-disk archives with 32-bit sizes and offsets (no Zip64), with
// stored or deflated entries, traditionally or WinZip-AES encrypted or not.
//
// Thread safety: entries() and the entries themselves may be read from any
// number of threads; updateEntries() must not run while another thread uses
// the archive object (entries handed out before stay valid).
#ifndef ZN_COMMONUTILS_ZIP_ZZARCHIVE_H_
#define ZN_COMMONUTILS_ZIP_ZZARCHIVE_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/zip/ZZArchiveEntry.h"
#include "CommonUtils/zip/ZZBytes.h"
#include "CommonUtils/zip/ZZChannel.h"
#include "platform/Error.h"
#include "platform/URL.h"
#include "platform/Value.h"

// Option key (boolean): a missing file, or empty data, opens as an archive
// without entries instead of failing.
inline constexpr const char* ZZOpenOptionsCreateIfMissingKey = "ZZOpenOptionsCreateIfMissingKey";

class ZZArchive {
 public:
  static constexpr std::size_t kMaxEntries = 65535;
  static constexpr std::uint64_t kMaxArchiveSize = 0xffffffffu;

  // The archive in the file at a file URL, or in the data. nullptr with the
  // error on failure.
  static std::shared_ptr<ZZArchive> archiveWithURL(const kx::URL& url, kx::Error* error);
  static std::shared_ptr<ZZArchive> archiveWithData(kx::Bytes data, kx::Error* error);
  // With an options dictionary (ZZOpenOptionsCreateIfMissingKey).
  static std::shared_ptr<ZZArchive> archiveWithURL(const kx::URL& url, const kx::Value& options,
                                                   kx::Error* error);
  static std::shared_ptr<ZZArchive> archiveWithPath(const std::string& path,
                                                    const kx::Value& options, kx::Error* error);
  static std::shared_ptr<ZZArchive> archiveWithData(kx::Bytes data, const kx::Value& options,
                                                    kx::Error* error);
  static std::shared_ptr<ZZArchive> archiveWithChannel(std::unique_ptr<ZZChannel> channel,
                                                       const kx::Value& options, kx::Error* error);

  // The file URL of the channel; nullopt for archives in memory.
  std::optional<kx::URL> URL() const;
  const ZZBytes& contents() const { return contents_; }
  const std::vector<std::shared_ptr<ZZArchiveEntry>>& entries() const { return entries_; }

  // Replaces the entry list (see the header comment). On success the archive
  // is loaded again from its channel; on failure it is left as it was and
  // the error tells the step: ZZOpenWriteErrorCode, ZZLocalFileWriteErrorCode
  // and ZZCentralFileHeaderWriteErrorCode (with ZZEntryIndexKey),
  // ZZEndOfCentralDirectoryWriteErrorCode, ZZReplaceWriteErrorCode, or
  // ZZArchiveTooLargeErrorCode for more than 65535 entries or 4 GiB.
  [[nodiscard]] bool updateEntries(const std::vector<std::shared_ptr<ZZArchiveEntry>>& newEntries,
                                   kx::Error* error);

 private:
  explicit ZZArchive(std::unique_ptr<ZZChannel> channel);
  [[nodiscard]] bool load(bool createIfMissing, kx::Error* error);
  [[nodiscard]] bool writeArchive(const std::vector<std::shared_ptr<ZZArchiveEntry>>& newEntries,
                                  ZZChannel& temporary, kx::Error* error);

  std::unique_ptr<ZZChannel> channel_;
  ZZBytes contents_;
  std::vector<std::shared_ptr<ZZArchiveEntry>> entries_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZARCHIVE_H_
