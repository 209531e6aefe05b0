#include "CommonUtils/zip/ZZDeflateOutputStream.h"

#include <algorithm>
#include <limits>

#include "CommonUtils/zip/ZZError.h"

namespace {
constexpr std::size_t kInputPiece = 1 << 20;
constexpr std::size_t kFinishPiece = 1024;
}  // namespace

ZZDeflateOutputStream::ZZDeflateOutputStream(ZZChannelOutput& channelOutput, int compressionLevel)
    : channelOutput_(&channelOutput),
      compressionLevel_(compressionLevel),
      crc32_(::crc32(0L, Z_NULL, 0)) {}

ZZDeflateOutputStream::~ZZDeflateOutputStream() {
  if (streamReady_) deflateEnd(&stream_);
}

void ZZDeflateOutputStream::open() {
  if (status_ != ZZStreamStatus::NotOpen) return;
  stream_ = z_stream{};
  int level = compressionLevel_;
  if (level != Z_DEFAULT_COMPRESSION && (level < 0 || level > 9)) level = Z_DEFAULT_COMPRESSION;
  if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    fail(ZZError::make(ZZLocalFileWriteErrorCode));
    return;
  }
  streamReady_ = true;
  status_ = ZZStreamStatus::Open;
}

ssize_t ZZDeflateOutputStream::fail(kx::Error error) {
  status_ = ZZStreamStatus::Error;
  error_ = std::move(error);
  return -1;
}

bool ZZDeflateOutputStream::flushOutput(std::size_t produced) {
  if (produced == 0) return true;
  if (!channelOutput_->writeData(buffer_.data(), produced, &error_)) {
    status_ = ZZStreamStatus::Error;
    return false;
  }
  compressedSize_ += produced;
  return true;
}

ssize_t ZZDeflateOutputStream::write(const std::uint8_t* buffer, std::size_t length) {
  if (status_ != ZZStreamStatus::Open) return -1;
  if (length > static_cast<std::size_t>(std::numeric_limits<ssize_t>::max()))
    length = static_cast<std::size_t>(std::numeric_limits<ssize_t>::max());
  std::size_t done = 0;
  while (done < length) {
    const std::size_t piece = std::min(length - done, kInputPiece);
    stream_.next_in = const_cast<Bytef*>(buffer + done);
    stream_.avail_in = static_cast<uInt>(piece);
    buffer_.resize(deflateBound(&stream_, static_cast<uLong>(piece)));
    while (stream_.avail_in > 0) {
      stream_.next_out = buffer_.data();
      stream_.avail_out = static_cast<uInt>(buffer_.size());
      int rc = deflate(&stream_, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_BUF_ERROR) return fail(ZZError::make(ZZLocalFileWriteErrorCode));
      if (!flushOutput(buffer_.size() - stream_.avail_out)) return -1;
    }
    crc32_ = ::crc32(crc32_, buffer + done, static_cast<uInt>(piece));
    uncompressedSize_ += piece;
    done += piece;
  }
  return static_cast<ssize_t>(length);
}

bool ZZDeflateOutputStream::close() {
  if (status_ == ZZStreamStatus::Closed) return true;
  if (status_ != ZZStreamStatus::Open) return false;
  buffer_.resize(kFinishPiece);
  stream_.next_in = nullptr;
  stream_.avail_in = 0;
  int rc;
  do {
    stream_.next_out = buffer_.data();
    stream_.avail_out = static_cast<uInt>(buffer_.size());
    rc = deflate(&stream_, Z_FINISH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      fail(ZZError::make(ZZLocalFileWriteErrorCode));
      return false;
    }
    const std::size_t produced = buffer_.size() - stream_.avail_out;
    if (rc == Z_BUF_ERROR && produced == 0) {
      fail(ZZError::make(ZZLocalFileWriteErrorCode));
      return false;
    }
    if (!flushOutput(produced)) return false;
  } while (rc != Z_STREAM_END);
  deflateEnd(&stream_);
  streamReady_ = false;
  status_ = ZZStreamStatus::Closed;
  return true;
}
