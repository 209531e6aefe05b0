#include "CommonUtils/zip/ZZDataConsumer.h"

#include <cstdint>

std::size_t ZZDataConsumer::putBytes(const void* buffer, std::size_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = stream_->write(bytes + done, count - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}
