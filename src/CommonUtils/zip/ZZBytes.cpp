#include "CommonUtils/zip/ZZBytes.h"

#include <utility>

ZZBytes::ZZBytes(kx::Bytes bytes) {
  auto holder = std::make_shared<const kx::Bytes>(std::move(bytes));
  data_ = holder->data();
  size_ = holder->size();
  owner_ = std::move(holder);
}

ZZBytes::ZZBytes(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size)
    : owner_(std::move(owner)), data_(data), size_(size) {}

ZZBytes ZZBytes::subrange(std::size_t offset, std::size_t length) const {
  return ZZBytes(owner_, data_ + offset, length);
}
