// ZZDataInputStream reads a ZZBytes view from its start; the bottom of every
// entry's stream chain. It keeps the bytes alive while it lives.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZDATAINPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZDATAINPUTSTREAM_H_

#include "CommonUtils/zip/ZZBytes.h"
#include "CommonUtils/zip/ZZInputStream.h"

class ZZDataInputStream : public ZZInputStream {
 public:
  explicit ZZDataInputStream(ZZBytes bytes);

  void open() override;
  void close() override;
  ssize_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  ZZStreamStatus streamStatus() const override { return status_; }
  kx::Error streamError() const override { return kx::Error(); }

 private:
  ZZBytes bytes_;
  std::size_t position_ = 0;
  ZZStreamStatus status_ = ZZStreamStatus::NotOpen;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZDATAINPUTSTREAM_H_
