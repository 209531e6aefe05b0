#include "CommonUtils/zip/ZZInflateInputStream.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "CommonUtils/zip/ZZError.h"

ZZInflateInputStream::ZZInflateInputStream(std::unique_ptr<ZZInputStream> upstream)
    : upstream_(std::move(upstream)), readBuffer_(kReadBufferSize) {}

ZZInflateInputStream::~ZZInflateInputStream() {
  if (streamReady_) inflateEnd(&stream_);
}

void ZZInflateInputStream::open() {
  if (status_ != ZZStreamStatus::NotOpen) return;
  upstream_->open();
  stream_ = z_stream{};
  if (inflateInit2(&stream_, -15) != Z_OK) {
    fail(ZZError::make(ZZDamagedDataErrorCode));
    return;
  }
  streamReady_ = true;
  status_ = ZZStreamStatus::Open;
}

void ZZInflateInputStream::close() {
  if (streamReady_) {
    inflateEnd(&stream_);
    streamReady_ = false;
  }
  upstream_->close();
  status_ = ZZStreamStatus::Closed;
}

ssize_t ZZInflateInputStream::fail(kx::Error error) {
  status_ = ZZStreamStatus::Error;
  error_ = std::move(error);
  return -1;
}

ssize_t ZZInflateInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ == ZZStreamStatus::AtEnd) return 0;
  if (status_ != ZZStreamStatus::Open) return -1;
  if (maxLength == 0) return 0;
  const std::size_t limit =
      std::min<std::size_t>({maxLength, std::numeric_limits<uInt>::max(),
                             static_cast<std::size_t>(std::numeric_limits<ssize_t>::max())});
  stream_.next_out = buffer;
  stream_.avail_out = static_cast<uInt>(limit);
  for (;;) {
    if (stream_.avail_in == 0 && !upstreamEnded_) {
      ssize_t got = upstream_->read(readBuffer_.data(), readBuffer_.size());
      if (got < 0) {
        kx::Error upstreamError = upstream_->streamError();
        return fail(upstreamError ? upstreamError : ZZError::make(ZZDamagedDataErrorCode));
      }
      if (got == 0) {
        upstreamEnded_ = true;
      } else {
        stream_.next_in = readBuffer_.data();
        stream_.avail_in = static_cast<uInt>(got);
      }
    }
    int rc = inflate(&stream_, Z_NO_FLUSH);
    std::size_t produced = limit - stream_.avail_out;
    if (rc == Z_STREAM_END) {
      status_ = ZZStreamStatus::AtEnd;
      return static_cast<ssize_t>(produced);
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) return fail(ZZError::make(ZZDamagedDataErrorCode));
    if (produced > 0) return static_cast<ssize_t>(produced);
    // Nothing came out: go on while there is input to give; without any, the
    // compressed data ended before the deflate end marker.
    if (stream_.avail_in == 0 && upstreamEnded_) return fail(ZZError::make(ZZDamagedDataErrorCode));
  }
}

std::optional<kx::Bytes> ZZInflateInputStream::decompressData(const std::uint8_t* data,
                                                              std::size_t size,
                                                              std::size_t uncompressedSize,
                                                              kx::Error* error) {
  if (size > std::numeric_limits<uInt>::max() ||
      uncompressedSize > std::numeric_limits<uInt>::max()) {
    kx::SetError(error, ZZError::make(ZZDamagedDataErrorCode));
    return std::nullopt;
  }
  // The output grows as the data really inflates, up to the declared size:
  // a declared size is only a claim, and damaged or hostile data usually
  // fails within its first bytes.
  kx::Bytes out;
  std::uint8_t dummyIn = 0;
  std::uint8_t dummyOut = 0;
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(size ? data : &dummyIn);
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = &dummyOut;
  stream.avail_out = 0;
  if (inflateInit2(&stream, -15) != Z_OK) {
    kx::SetError(error, ZZError::make(ZZDamagedDataErrorCode));
    return std::nullopt;
  }
  int rc = Z_OK;
  for (;;) {
    if (stream.avail_out == 0 && out.size() < uncompressedSize) {
      const std::size_t filled = out.size();
      const std::size_t grown =
          std::min(uncompressedSize, std::max({filled * 2, size * 4, kInitialOutputSize}));
      out.resize(grown);
      stream.next_out = out.data() + filled;
      stream.avail_out = static_cast<uInt>(grown - filled);
    }
    rc = inflate(&stream, Z_FINISH);
    if (rc == Z_STREAM_END) break;
    // Z_BUF_ERROR with room left means the input ended before the end
    // marker; without room, the data is longer than declared.
    if (rc != Z_BUF_ERROR || stream.avail_out != 0 || out.size() == uncompressedSize) break;
  }
  const bool complete = rc == Z_STREAM_END && stream.total_out == uncompressedSize;
  inflateEnd(&stream);
  if (!complete) {
    kx::SetError(error, ZZError::make(ZZDamagedDataErrorCode));
    return std::nullopt;
  }
  return out;
}
