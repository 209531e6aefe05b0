#include "WebUI/KXFrontBodyStream.h"

#include <algorithm>
#include <cstring>
#include <utility>

KXFrontBodyStream::KXFrontBodyStream(std::size_t capacity, std::int64_t expectedLength,
                                     std::function<void()> onRoom)
    : capacity_(std::max<std::size_t>(capacity, 1)),
      expectedLength_(expectedLength),
      onRoom_(std::move(onRoom)) {
  kx::MutexLock lock(mu_);
  ring_.resize(capacity_);
}

std::ptrdiff_t KXFrontBodyStream::read(std::uint8_t* buffer, std::size_t maxLength,
                                       kx::Error* error) {
  if (maxLength == 0) return 0;
  bool callOnRoom = false;
  std::size_t count = 0;
  {
    kx::MutexLock lock(mu_);
    while (size_ == 0 && !ended_ && !failed_) changed_.wait(mu_);
    if (size_ == 0) {
      if (ended_) return 0;
      if (error) *error = error_;
      return -1;
    }
    count = std::min(maxLength, size_);
    const std::size_t first = std::min(count, capacity_ - head_);
    std::memcpy(buffer, ring_.data() + head_, first);
    if (count > first) std::memcpy(buffer + first, ring_.data(), count - first);
    head_ = (head_ + count) % capacity_;
    size_ -= count;
    if (writerWaiting_ && capacity_ - size_ >= capacity_ / 2) {
      writerWaiting_ = false;
      callOnRoom = true;
    }
  }
  if (callOnRoom && onRoom_) onRoom_();
  return static_cast<std::ptrdiff_t>(count);
}

std::size_t KXFrontBodyStream::room() {
  kx::MutexLock lock(mu_);
  const std::size_t free = capacity_ - size_;
  if (free == 0) writerWaiting_ = true;
  return free;
}

void KXFrontBodyStream::write(const std::uint8_t* data, std::size_t size) {
  kx::MutexLock lock(mu_);
  if (ended_ || failed_) return;
  size = std::min(size, capacity_ - size_);
  if (size == 0) return;
  const std::size_t tail = (head_ + size_) % capacity_;
  const std::size_t first = std::min(size, capacity_ - tail);
  std::memcpy(ring_.data() + tail, data, first);
  if (size > first) std::memcpy(ring_.data(), data + first, size - first);
  size_ += size;
  peak_ = std::max(peak_, size_);
  changed_.signalAll();
}

void KXFrontBodyStream::end() {
  kx::MutexLock lock(mu_);
  if (failed_) return;
  ended_ = true;
  changed_.signalAll();
}

void KXFrontBodyStream::fail(const kx::Error& error) {
  kx::MutexLock lock(mu_);
  if (ended_ || failed_) return;
  failed_ = true;
  error_ = error;
  changed_.signalAll();
}

bool KXFrontBodyStream::finished() const {
  kx::MutexLock lock(mu_);
  return ended_ || failed_;
}

std::size_t KXFrontBodyStream::peakBuffered() const {
  kx::MutexLock lock(mu_);
  return peak_;
}
