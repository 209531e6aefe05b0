// ZZInflateInputStream inflates a raw deflate stream (no zlib or gzip header)
// pulled from its upstream, 16 KiB at a time. decompressData() is the one-step
// form for a whole buffer.
//
// A damaged deflate stream, or one whose input ends before the deflate end
// marker, is an error (status Error, code ZZDamagedDataErrorCode), never a
// quiet end. A read answers at least one byte unless the stream is at its
// end or failed: blocks that produce no output are passed over inside one
// read, so 0 always means the end.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZINFLATEINPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZINFLATEINPUTSTREAM_H_

#include <zlib.h>

#include <memory>
#include <optional>
#include <vector>

#include "CommonUtils/zip/ZZInputStream.h"
#include "platform/Value.h"

class ZZInflateInputStream : public ZZInputStream {
 public:
  static constexpr std::size_t kReadBufferSize = 16384;
  // decompressData() starts with this much room, or four times the input.
  static constexpr std::size_t kInitialOutputSize = 65536;

  explicit ZZInflateInputStream(std::unique_ptr<ZZInputStream> upstream);
  ~ZZInflateInputStream() override;
  ZZInflateInputStream(const ZZInflateInputStream&) = delete;
  ZZInflateInputStream& operator=(const ZZInflateInputStream&) = delete;

  void open() override;
  void close() override;
  ssize_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  ZZStreamStatus streamStatus() const override { return status_; }
  kx::Error streamError() const override { return error_; }

  // Inflates `size` bytes of raw deflate data in one go into exactly
  // `uncompressedSize` bytes. nullopt (with ZZDamagedDataErrorCode) when the
  // data is damaged, ends early, or does not come to `uncompressedSize` bytes
  // at the deflate end marker. Memory is taken as the output grows, never
  // the declared size up front.
  static std::optional<kx::Bytes> decompressData(const std::uint8_t* data, std::size_t size,
                                                 std::size_t uncompressedSize, kx::Error* error);

 private:
  ssize_t fail(kx::Error error);

  std::unique_ptr<ZZInputStream> upstream_;
  std::vector<std::uint8_t> readBuffer_;
  ZZStreamStatus status_ = ZZStreamStatus::NotOpen;
  kx::Error error_;
  z_stream stream_{};
  bool streamReady_ = false;
  bool upstreamEnded_ = false;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZINFLATEINPUTSTREAM_H_
