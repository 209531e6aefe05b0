// ZZStandardDecryptInputStream decrypts a traditionally (PKWARE) encrypted
// entry pulled from its upstream. create() checks the password against the
// 12-byte encryption header: the twelfth decrypted byte must equal the high
// byte of the check value and, for archives made by a version below 20, the
// eleventh its low byte; otherwise it fails with ZZWrongPassword.
//
// open, close, status and error are those of the upstream.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZSTANDARDDECRYPTINPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZSTANDARDDECRYPTINPUTSTREAM_H_

#include <memory>
#include <string>

#include "CommonUtils/zip/ZZInputStream.h"
#include "CommonUtils/zip/ZZStandardCryptoEngine.h"

class ZZStandardDecryptInputStream : public ZZInputStream {
 public:
  static constexpr std::size_t kHeaderLength = 12;

  // `header` points at the 12 encryption-header bytes.
  static std::unique_ptr<ZZStandardDecryptInputStream> create(
      std::unique_ptr<ZZInputStream> upstream, const std::string& password,
      const std::uint8_t* header, std::uint16_t check, std::uint8_t version, kx::Error* error);

  void open() override { upstream_->open(); }
  void close() override { upstream_->close(); }
  ssize_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  ZZStreamStatus streamStatus() const override { return upstream_->streamStatus(); }
  kx::Error streamError() const override { return upstream_->streamError(); }

 private:
  explicit ZZStandardDecryptInputStream(std::unique_ptr<ZZInputStream> upstream);

  std::unique_ptr<ZZInputStream> upstream_;
  ZZStandardCryptoEngine crypto_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZSTANDARDDECRYPTINPUTSTREAM_H_
