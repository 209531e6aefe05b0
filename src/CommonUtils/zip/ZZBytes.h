// ZZBytes is a read-only view of bytes that keeps their storage alive: an
// archive's contents (a mapped file or an in-memory buffer) and every part of
// them that an entry, a stream or a provider points into. Copies share the
// storage, so an entry stays valid however long it outlives its archive.
//
// The little-endian helpers read and write the fixed-width fields of zip
// records; callers check bounds before they read.
//
// Thread safety: a ZZBytes is immutable; any number of threads may read it.
#ifndef ZN_COMMONUTILS_ZIP_ZZBYTES_H_
#define ZN_COMMONUTILS_ZIP_ZZBYTES_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Value.h"

class ZZBytes {
 public:
  ZZBytes() = default;
  // Takes the buffer over.
  explicit ZZBytes(kx::Bytes bytes);
  // A view of `size` bytes at `data` that lives as long as `owner`.
  ZZBytes(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size);

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The part [offset, offset + length); the caller has checked the range.
  ZZBytes subrange(std::size_t offset, std::size_t length) const;
  // Whether [offset, offset + length) lies inside, without overflow.
  bool contains(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  kx::Bytes copy() const { return kx::Bytes(data_, data_ + size_); }

 private:
  std::shared_ptr<const void> owner_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

inline std::uint16_t ZZRead16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ZZRead32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void ZZWrite16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void ZZWrite32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

#endif  // ZN_COMMONUTILS_ZIP_ZZBYTES_H_
