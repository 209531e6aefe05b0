#include "CommonUtils/zip/ZZCheckedInputStream.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "CommonUtils/zip/ZZError.h"

ZZCheckedInputStream::ZZCheckedInputStream(std::unique_ptr<ZZInputStream> upstream,
                                           std::uint64_t expectedSize,
                                           std::optional<std::uint32_t> expectedCRC32)
    : upstream_(std::move(upstream)), expectedSize_(expectedSize), expectedCRC32_(expectedCRC32) {
  crc32_ = ::crc32(0L, Z_NULL, 0);
}

void ZZCheckedInputStream::open() { upstream_->open(); }

void ZZCheckedInputStream::close() { upstream_->close(); }

ZZStreamStatus ZZCheckedInputStream::streamStatus() const {
  if (failed_) return ZZStreamStatus::Error;
  return upstream_->streamStatus();
}

kx::Error ZZCheckedInputStream::streamError() const {
  if (failed_) return error_;
  return upstream_->streamError();
}

ssize_t ZZCheckedInputStream::fail() {
  failed_ = true;
  error_ = ZZError::make(ZZDamagedDataErrorCode);
  return -1;
}

bool ZZCheckedInputStream::complete() const {
  if (size_ != expectedSize_) return false;
  return !expectedCRC32_ || static_cast<std::uint32_t>(crc32_) == *expectedCRC32_;
}

ssize_t ZZCheckedInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  if (failed_) return -1;
  ssize_t got = upstream_->read(buffer, maxLength);
  if (got < 0) return got;
  if (got == 0) {
    if (maxLength == 0) return 0;
    return complete() ? 0 : fail();
  }
  const std::size_t n = static_cast<std::size_t>(got);
  if (n > expectedSize_ - size_) return fail();
  size_ += n;
  std::size_t done = 0;
  while (done < n) {
    uInt piece =
        static_cast<uInt>(std::min<std::size_t>(n - done, std::numeric_limits<uInt>::max()));
    crc32_ = ::crc32(crc32_, buffer + done, piece);
    done += piece;
  }
  // A reader that stops at the recorded size, or when the stream below says
  // it is at its end, never makes the read that answers 0: the bytes that
  // complete the entry are checked as they are handed out.
  if ((size_ == expectedSize_ || upstream_->streamStatus() == ZZStreamStatus::AtEnd) && !complete())
    return fail();
  return got;
}
