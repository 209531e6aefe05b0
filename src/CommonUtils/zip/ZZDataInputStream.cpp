#include "CommonUtils/zip/ZZDataInputStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

ZZDataInputStream::ZZDataInputStream(ZZBytes bytes) : bytes_(std::move(bytes)) {}

void ZZDataInputStream::open() {
  if (status_ == ZZStreamStatus::NotOpen) status_ = ZZStreamStatus::Open;
}

void ZZDataInputStream::close() { status_ = ZZStreamStatus::Closed; }

ssize_t ZZDataInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (status_ != ZZStreamStatus::Open && status_ != ZZStreamStatus::AtEnd) return -1;
  std::size_t left = bytes_.size() - position_;
  if (left == 0) {
    status_ = ZZStreamStatus::AtEnd;
    return 0;
  }
  std::size_t n =
      std::min({left, maxLength, static_cast<std::size_t>(std::numeric_limits<ssize_t>::max())});
  if (n > 0) std::memcpy(buffer, bytes_.data() + position_, n);
  position_ += n;
  return static_cast<ssize_t>(n);
}
