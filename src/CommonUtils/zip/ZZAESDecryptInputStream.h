// ZZAESDecryptInputStream decrypts a WinZip AES entry pulled from its
// upstream: keys derived from the password and the salt with PBKDF2
// (HMAC-SHA1, 1000 rounds), AES in counter mode with a little-endian counter
// that starts at 1.
//
// create() refuses an unknown key strength (ZZUnsupportedEncryptionMethod)
// before any derivation and a wrong password (ZZWrongPassword, from the
// two-byte verifier). Given the encrypted data and the 10-byte authentication
// code that follows it, it also checks the code (HMAC-SHA1 of the encrypted
// data) and refuses damaged data with ZZDamagedDataErrorCode, so that bytes
// which were never authenticated are not handed out as good.
//
// open, close, status and error are those of the upstream.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZAESDECRYPTINPUTSTREAM_H_
#define ZN_COMMONUTILS_ZIP_ZZAESDECRYPTINPUTSTREAM_H_

#include <memory>
#include <string>

#include "CommonUtils/zip/ZZBytes.h"
#include "CommonUtils/zip/ZZInputStream.h"
#include "platform/Crypto.h"

class ZZAESDecryptInputStream : public ZZInputStream {
 public:
  static constexpr std::size_t kPasswordVerifierLength = 2;
  static constexpr std::size_t kAuthenticationCodeLength = 10;
  static constexpr std::uint32_t kIterations = 1000;

  // `header` points at the salt, which the two verifier bytes follow.
  // `encrypted` and `authenticationCode` are optional (both or neither).
  static std::unique_ptr<ZZAESDecryptInputStream> create(
      std::unique_ptr<ZZInputStream> upstream, const std::string& password,
      const std::uint8_t* header, std::uint8_t strength, kx::Error* error,
      const ZZBytes* encrypted = nullptr, const std::uint8_t* authenticationCode = nullptr);

  void open() override { upstream_->open(); }
  void close() override { upstream_->close(); }
  ssize_t read(std::uint8_t* buffer, std::size_t maxLength) override;
  ZZStreamStatus streamStatus() const override { return upstream_->streamStatus(); }
  kx::Error streamError() const override { return upstream_->streamError(); }

 private:
  explicit ZZAESDecryptInputStream(std::unique_ptr<ZZInputStream> upstream);

  std::unique_ptr<ZZInputStream> upstream_;
  std::uint32_t counterNonce_[4] = {0, 0, 0, 0};
  std::uint8_t keystream_[16] = {};
  std::uint64_t keystreamPos_ = 16;
  kx::AesEcb aes_;
};

#endif  // ZN_COMMONUTILS_ZIP_ZZAESDECRYPTINPUTSTREAM_H_
