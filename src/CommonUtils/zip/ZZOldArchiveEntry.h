// ZZOldArchiveEntry is an entry read from an archive: a view of its central
// header and local header in the archive's bytes, which it shares, so the
// entry stays valid after its archive is gone or rewritten.
//
// Encryption modes: 0 none, 1 traditional PKWARE, 2 strong (not supported),
// 3 WinZip AES. Before any byte of the entry is read, the local header, its
// name and extra field and the file data (with the encryption header, salt,
// verifier and authentication code that belong to it) are checked to lie
// before the central directory, and the local header to carry the central
// header's name bytes; an entry that fails answers an error.
//
// Thread safety: immutable; any number of threads.
#ifndef ZN_COMMONUTILS_ZIP_ZZOLDARCHIVEENTRY_H_
#define ZN_COMMONUTILS_ZIP_ZZOLDARCHIVEENTRY_H_

#include "CommonUtils/zip/ZZArchiveEntry.h"
#include "CommonUtils/zip/ZZBytes.h"
#include "CommonUtils/zip/ZZCentralFileHeader.h"
#include "CommonUtils/zip/ZZLocalFileHeader.h"

class ZZOldArchiveEntry : public ZZArchiveEntry {
 public:
  enum EncryptionMode : std::int64_t { kNone = 0, kStandard = 1, kStrong = 2, kWinZipAES = 3 };

  // `contents` is the whole archive; the central header at `centralOffset`
  // has been checked to fit, and its local header offset plus 30 bytes to lie
  // at or before `localFilesEnd` (the central directory's offset).
  ZZOldArchiveEntry(ZZBytes contents, std::size_t centralOffset, std::size_t localFilesEnd);

  bool compressed() const override;
  bool encrypted() const override;
  double lastModified() const override;
  std::uint64_t crc32() const override;
  std::uint64_t compressedSize() const override;
  std::uint64_t uncompressedSize() const override;
  std::uint16_t fileMode() const override;
  kx::Bytes rawFileName() const override;
  ZZStringEncoding encoding() const override;
  std::string fileNameWithEncoding(ZZStringEncoding encoding) const override;

  std::optional<kx::Bytes> newDataWithPassword(const std::string& password,
                                               kx::Error* error) const override;
  std::unique_ptr<ZZInputStream> newStreamWithPassword(const std::string& password,
                                                       kx::Error* error) const override;
  std::unique_ptr<ZZDataProvider> newDataProviderWithPassword(const std::string& password,
                                                              kx::Error* error) const override;
  [[nodiscard]] bool check(kx::Error* error) const override;
  std::unique_ptr<ZZArchiveEntryWriter> newWriterCanSkipLocalFile(bool canSkip) const override;

  std::int64_t encryptionMode() const { return encryptionMode_; }
  // The compression method (for AES entries, the one inside the AES block).
  std::uint16_t compressionMethod() const;
  ZZCentralFileHeader centralFileHeader() const {
    return ZZCentralFileHeader(contents_.data() + centralOffset_);
  }

 private:
  // Where the entry's bytes lie, found and bounds-checked.
  struct FileData {
    ZZBytes data;                                      // what the streams decode
    const std::uint8_t* encryptionHeader = nullptr;    // mode 1: 12 bytes; mode 3: salt + verifier
    const std::uint8_t* authenticationCode = nullptr;  // mode 3: 10 bytes after the data
    std::uint8_t strength = 0;                         // mode 3
  };

  [[nodiscard]] bool checkEncryptionAndCompression(kx::Error* error) const;
  [[nodiscard]] bool locateFileData(FileData* out, kx::Error* error) const;
  // Sizes that no valid entry can have are refused before memory is taken.
  [[nodiscard]] bool checkPlausibleSize(const FileData& file, kx::Error* error) const;
  // CRC-32 to compare with, or nullopt for AES entries that record none.
  std::optional<std::uint32_t> expectedCRC32() const;
  [[nodiscard]] bool verify(const kx::Bytes& data, kx::Error* error) const;
  std::unique_ptr<ZZInputStream> makeStream(const FileData& file, const std::string& password,
                                            kx::Error* error) const;

  ZZBytes contents_;
  std::size_t centralOffset_;
  std::size_t localFilesEnd_;
  std::int64_t encryptionMode_ = kNone;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZOLDARCHIVEENTRY_H_
