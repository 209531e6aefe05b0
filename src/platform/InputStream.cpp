#include "platform/InputStream.h"

#include <algorithm>
#include <cstring>

namespace kx {

std::ptrdiff_t BytesInputStream::read(std::uint8_t* buffer, std::size_t maxLength, Error*) {
  const std::size_t count = std::min(maxLength, bytes_.size() - offset_);
  if (count > 0) std::memcpy(buffer, bytes_.data() + offset_, count);
  offset_ += count;
  return static_cast<std::ptrdiff_t>(count);
}

}  // namespace kx
