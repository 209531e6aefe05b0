// ZZDeflateOutputStream compresses an entry's bytes with raw deflate (window
// bits -15, memory level 8, default strategy) at the entry's level and
// writes the result to the channel output, keeping the CRC-32 of the
// uncompressed bytes. close() finishes the deflate stream.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZDEFLATEOUTPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZDEFLATEOUTPUTSTREAM_H_

#include <zlib.h>

#include <vector>

#include "CommonUtils/zip/ZZChannelOutput.h"
#include "CommonUtils/zip/ZZOutputStream.h"

class ZZDeflateOutputStream : public ZZOutputStream {
 public:
  ZZDeflateOutputStream(ZZChannelOutput& channelOutput, int compressionLevel);
  ~ZZDeflateOutputStream() override;
  ZZDeflateOutputStream(const ZZDeflateOutputStream&) = delete;
  ZZDeflateOutputStream& operator=(const ZZDeflateOutputStream&) = delete;

  void open() override;
  bool close() override;
  ssize_t write(const std::uint8_t* buffer, std::size_t length) override;
  ZZStreamStatus streamStatus() const override { return status_; }
  kx::Error streamError() const override { return error_; }

  std::uint32_t crc32() const override { return static_cast<std::uint32_t>(crc32_); }
  std::uint64_t compressedSize() const override { return compressedSize_; }
  std::uint64_t uncompressedSize() const override { return uncompressedSize_; }

 private:
  bool flushOutput(std::size_t produced);
  ssize_t fail(kx::Error error);

  ZZChannelOutput* channelOutput_;
  int compressionLevel_;
  ZZStreamStatus status_ = ZZStreamStatus::NotOpen;
  kx::Error error_;
  unsigned long crc32_;
  z_stream stream_{};
  bool streamReady_ = false;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t compressedSize_ = 0;
  std::uint64_t uncompressedSize_ = 0;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZDEFLATEOUTPUTSTREAM_H_
