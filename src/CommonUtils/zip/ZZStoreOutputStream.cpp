#include "CommonUtils/zip/ZZStoreOutputStream.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

ZZStoreOutputStream::ZZStoreOutputStream(ZZChannelOutput& channelOutput)
    : channelOutput_(&channelOutput), crc32_(::crc32(0L, Z_NULL, 0)) {}

bool ZZStoreOutputStream::close() {
  if (status_ == ZZStreamStatus::Error) return false;
  status_ = ZZStreamStatus::Closed;
  return true;
}

ssize_t ZZStoreOutputStream::write(const std::uint8_t* buffer, std::size_t length) {
  if (status_ != ZZStreamStatus::Open) return -1;
  if (length > static_cast<std::size_t>(std::numeric_limits<ssize_t>::max()))
    length = static_cast<std::size_t>(std::numeric_limits<ssize_t>::max());
  if (!channelOutput_->writeData(buffer, length, &error_)) {
    status_ = ZZStreamStatus::Error;
    return -1;
  }
  std::size_t done = 0;
  while (done < length) {
    uInt piece =
        static_cast<uInt>(std::min<std::size_t>(length - done, std::numeric_limits<uInt>::max()));
    crc32_ = ::crc32(crc32_, buffer + done, piece);
    done += piece;
  }
  size_ += length;
  return static_cast<ssize_t>(length);
}
