// ZZOutputStream is the sink that a new entry's stream block writes its bytes
// into: open(), write() as often as needed, close(). The archive writer reads
// the CRC-32 and sizes from it after closing.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZOUTPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZOUTPUTSTREAM_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "CommonUtils/zip/ZZInputStream.h"
#include "platform/Error.h"

class ZZOutputStream {
 public:
  virtual ~ZZOutputStream() = default;

  virtual void open() = 0;
  // Returns false when finishing the data failed (see streamError()).
  virtual bool close() = 0;
  // Takes all `length` bytes: the count, or -1 on error.
  virtual ssize_t write(const std::uint8_t* buffer, std::size_t length) = 0;
  virtual ZZStreamStatus streamStatus() const = 0;
  virtual kx::Error streamError() const = 0;

  bool hasSpaceAvailable() const { return true; }

  virtual std::uint32_t crc32() const = 0;
  virtual std::uint64_t compressedSize() const = 0;
  virtual std::uint64_t uncompressedSize() const = 0;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZOUTPUTSTREAM_H_
