// ZZDataProvider hands out an entry's uncompressed bytes in sequence, for
// callers that pull data in pieces: either over a copy of the bytes (stored,
// unencrypted entries) or over an entry stream made on first use. getBytes()
// fills the asked length until the data ends; skipForward() drops bytes;
// rewind() starts again (a stream is closed and made anew at the next read).
// A stream that fails ends the data early and leaves its error in error().
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZDATAPROVIDER_H_
#define ZN_COMMONUTILS_ZIP_ZZDATAPROVIDER_H_

#include <sys/types.h>

#include <functional>
#include <memory>

#include "CommonUtils/zip/ZZInputStream.h"
#include "platform/Error.h"
#include "platform/Value.h"

class ZZDataProvider {
 public:
  using StreamBlock = std::function<std::unique_ptr<ZZInputStream>(kx::Error* error)>;

  explicit ZZDataProvider(kx::Bytes bytes);
  explicit ZZDataProvider(StreamBlock streamBlock);
  ~ZZDataProvider();
  ZZDataProvider(const ZZDataProvider&) = delete;
  ZZDataProvider& operator=(const ZZDataProvider&) = delete;

  // Whether the provider works over a copy of the bytes.
  bool isDirect() const { return !streamBlock_; }
  // The copy of a direct provider (empty for a sequential one).
  const kx::Bytes& directBytes() const { return bytes_; }

  std::size_t getBytes(void* buffer, std::size_t count);
  off_t skipForward(off_t count);
  void rewind();
  // The failure that ended the data, if any.
  const kx::Error& error() const { return error_; }

 private:
  ZZInputStream* stream();

  kx::Bytes bytes_;
  std::size_t position_ = 0;
  StreamBlock streamBlock_;
  std::unique_ptr<ZZInputStream> stream_;
  kx::Error error_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZDATAPROVIDER_H_
