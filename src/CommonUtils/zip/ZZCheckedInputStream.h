// ZZCheckedInputStream is the top of every entry stream: it passes the
// uncompressed bytes through, counts them and keeps their CRC-32, and when
// the stream below reaches its end it compares both with what the central
// directory recorded. More bytes than recorded, fewer, or another CRC-32 turn
// the end into an error (status Error, ZZDamagedDataErrorCode), so a damaged
// entry is never handed out as good. The read that brings the recorded size,
// or the end of the stream below, is checked at once: it answers -1 when the
// entry is damaged, so a reader that stops there learns it too.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZCHECKEDINPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZCHECKEDINPUTSTREAM_H_

#include <memory>
#include <optional>

#include "CommonUtils/zip/ZZInputStream.h"

class ZZCheckedInputStream : public ZZInputStream {
 public:
  // Without an expected CRC-32 (entries that record none) only the size is
  // checked.
  ZZCheckedInputStream(std::unique_ptr<ZZInputStream> upstream, std::uint64_t expectedSize,
                       std::optional<std::uint32_t> expectedCRC32);

  void open() override;
  void close() override;
  ssize_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  ZZStreamStatus streamStatus() const override;
  kx::Error streamError() const override;

 private:
  ssize_t fail();
  // Whether the bytes so far are the whole entry as recorded.
  bool complete() const;

  std::unique_ptr<ZZInputStream> upstream_;
  std::uint64_t expectedSize_;
  std::optional<std::uint32_t> expectedCRC32_;
  std::uint64_t size_ = 0;
  unsigned long crc32_ = 0;
  bool failed_ = false;
  kx::Error error_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZCHECKEDINPUTSTREAM_H_
