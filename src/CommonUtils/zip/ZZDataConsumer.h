// ZZDataConsumer is what a new entry's consumer block writes into: each
// putBytes() passes the bytes on to the entry's output stream and answers how
// many were taken (0 after a failure).
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZDATACONSUMER_H_
#define ZN_COMMONUTILS_ZIP_ZZDATACONSUMER_H_

#include <cstddef>

#include "CommonUtils/zip/ZZOutputStream.h"

class ZZDataConsumer {
 public:
  explicit ZZDataConsumer(ZZOutputStream& stream) : stream_(&stream) {}

  std::size_t putBytes(const void* buffer, std::size_t count);

 private:
  ZZOutputStream* stream_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZDATACONSUMER_H_
