// kx::InputStream is a body read in pieces, as the platform's input stream
// was: a request body that is too large to hold in memory reaches its
// handler as one of these, and the handler reads it to its end.
//
//  - read blocks until at least one byte is there, the stream has ended, or
//    it failed. It answers the count of bytes written into `buffer` (at most
//    `maxLength`), 0 at the end, or -1 on failure with `error` set.
//  - expectedLength is the length announced for the whole body (for
//    example its Content-Length), or -1 when none was.
//
// Thread safety: one reader at a time; a stream may be handed to another
// thread between reads. Implementations say what else they allow.
#ifndef ZN_PLATFORM_INPUTSTREAM_H_
#define ZN_PLATFORM_INPUTSTREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kx {

class InputStream {
 public:
  virtual ~InputStream() = default;

  virtual std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength, Error* error) = 0;
  virtual std::int64_t expectedLength() const { return -1; }
};

// A stream over bytes held in memory.
class BytesInputStream final : public InputStream {
 public:
  explicit BytesInputStream(Bytes bytes) : bytes_(std::move(bytes)) {}

  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength, Error* error) override;
  std::int64_t expectedLength() const override { return static_cast<std::int64_t>(bytes_.size()); }

 private:
  Bytes bytes_;
  std::size_t offset_ = 0;
};

}  // namespace kx

#endif  // ZN_PLATFORM_INPUTSTREAM_H_
