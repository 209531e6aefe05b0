#include "CommonUtils/zip/ZZDataProvider.h"

#include <algorithm>
#include <cstring>

ZZDataProvider::ZZDataProvider(kx::Bytes bytes) : bytes_(std::move(bytes)) {}

ZZDataProvider::ZZDataProvider(StreamBlock streamBlock) : streamBlock_(std::move(streamBlock)) {}

ZZDataProvider::~ZZDataProvider() {
  if (stream_) stream_->close();
}

ZZInputStream* ZZDataProvider::stream() {
  if (!stream_ && !error_) {
    stream_ = streamBlock_(&error_);
    if (stream_) stream_->open();
  }
  return stream_.get();
}

std::size_t ZZDataProvider::getBytes(void* buffer, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  if (isDirect()) {
    std::size_t n = std::min(count, bytes_.size() - position_);
    if (n) std::memcpy(out, bytes_.data() + position_, n);
    position_ += n;
    return n;
  }
  ZZInputStream* s = stream();
  if (!s) return 0;
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = s->read(out + done, count - done);
    if (n < 0) {
      if (!error_) error_ = s->streamError();
      break;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

off_t ZZDataProvider::skipForward(off_t count) {
  if (count <= 0) return 0;
  if (isDirect()) {
    std::size_t n = std::min(static_cast<std::size_t>(count), bytes_.size() - position_);
    position_ += n;
    return static_cast<off_t>(n);
  }
  std::uint8_t scratch[1024];
  off_t skipped = 0;
  while (skipped < count) {
    std::size_t want = static_cast<std::size_t>(std::min<off_t>(count - skipped, sizeof scratch));
    std::size_t got = getBytes(scratch, want);
    skipped += static_cast<off_t>(got);
    if (got < want) break;
  }
  return skipped;
}

void ZZDataProvider::rewind() {
  position_ = 0;
  if (stream_) {
    stream_->close();
    stream_.reset();
  }
  error_ = kx::Error();
}
