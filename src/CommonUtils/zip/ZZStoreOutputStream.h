// ZZStoreOutputStream writes an entry's bytes to the channel output as they
// are (compression method 0), keeping their CRC-32 and count.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZSTOREOUTPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZSTOREOUTPUTSTREAM_H_

#include "CommonUtils/zip/ZZChannelOutput.h"
#include "CommonUtils/zip/ZZOutputStream.h"

class ZZStoreOutputStream : public ZZOutputStream {
 public:
  explicit ZZStoreOutputStream(ZZChannelOutput& channelOutput);

  void open() override { status_ = ZZStreamStatus::Open; }
  bool close() override;
  ssize_t write(const std::uint8_t* buffer, std::size_t length) override;
  ZZStreamStatus streamStatus() const override { return status_; }
  kx::Error streamError() const override { return error_; }

  std::uint32_t crc32() const override { return static_cast<std::uint32_t>(crc32_); }
  std::uint64_t compressedSize() const override { return size_; }
  std::uint64_t uncompressedSize() const override { return size_; }

 private:
  ZZChannelOutput* channelOutput_;
  ZZStreamStatus status_ = ZZStreamStatus::NotOpen;
  kx::Error error_;
  unsigned long crc32_;
  std::uint64_t size_ = 0;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZSTOREOUTPUTSTREAM_H_
