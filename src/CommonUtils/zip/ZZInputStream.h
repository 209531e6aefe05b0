// ZZInputStream is the pull-style byte stream through which an entry hands
// out its uncompressed bytes: open(), then read() until it answers 0 (the end)
// or -1 (an error, described by streamError()), then close(). Streams stack:
// a decryption or inflate stream pulls from the stream below it (its
// upstream) on demand.
//
// Status values follow the platform's stream status numbers.
//
// Thread safety: a stream belongs to one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZINPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZINPUTSTREAM_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/Error.h"

enum class ZZStreamStatus {
  NotOpen = 0,
  Opening = 1,
  Open = 2,
  Reading = 3,
  Writing = 4,
  AtEnd = 5,
  Closed = 6,
  Error = 7,
};

class ZZInputStream {
 public:
  virtual ~ZZInputStream() = default;

  virtual void open() = 0;
  virtual void close() = 0;
  // Up to maxLength bytes into buffer: the count, 0 at the end, -1 on error.
  virtual ssize_t read(std::uint8_t* buffer, std::size_t maxLength) = 0;
  virtual ZZStreamStatus streamStatus() const = 0;
  virtual kx::Error streamError() const = 0;

  bool hasBytesAvailable() const { return true; }
  bool getBuffer(std::uint8_t** buffer, std::size_t* length) const {
    (void)buffer;
    (void)length;
    return false;
  }
};

#endif  // ZN_COMMONUTILS_ZIP_ZZINPUTSTREAM_H_
