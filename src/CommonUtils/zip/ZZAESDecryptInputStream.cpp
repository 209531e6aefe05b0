#include "CommonUtils/zip/ZZAESDecryptInputStream.h"

#include <cstring>

#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZWinZipAESExtraField.h"

ZZAESDecryptInputStream::ZZAESDecryptInputStream(std::unique_ptr<ZZInputStream> upstream)
    : upstream_(std::move(upstream)) {}

std::unique_ptr<ZZAESDecryptInputStream> ZZAESDecryptInputStream::create(
    std::unique_ptr<ZZInputStream> upstream, const std::string& password,
    const std::uint8_t* header, std::uint8_t strength, kx::Error* error, const ZZBytes* encrypted,
    const std::uint8_t* authenticationCode) {
  const std::size_t saltLength = ZZWinZipAESExtraField::saltLength(strength);
  const std::size_t keyLength = ZZWinZipAESExtraField::keyLength(strength);
  if (saltLength == 0 || keyLength == 0) {
    kx::SetError(error, ZZError::make(ZZUnsupportedEncryptionMethod));
    return nullptr;
  }
  const std::size_t derivedLength = 2 * keyLength + kPasswordVerifierLength;
  kx::Error cryptoError;
  std::optional<kx::Bytes> derived =
      kx::Crypto::pbkdf2HmacSha1(kx::ByteView(password), kx::ByteView(header, saltLength),
                                 kIterations, derivedLength, &cryptoError);
  if (!derived || derived->size() != derivedLength) {
    kx::SetError(error, ZZError::withUnderlying(ZZWrongPassword, cryptoError));
    return nullptr;
  }
  const std::uint8_t* verifier = header + saltLength;
  if (std::memcmp(derived->data() + 2 * keyLength, verifier, kPasswordVerifierLength) != 0) {
    kx::SetError(error, ZZError::make(ZZWrongPassword));
    return nullptr;
  }
  if (encrypted && authenticationCode) {
    kx::Bytes mac = kx::Crypto::hmacSha1(kx::ByteView(derived->data() + keyLength, keyLength),
                                         kx::ByteView(encrypted->data(), encrypted->size()));
    if (mac.size() < kAuthenticationCodeLength ||
        std::memcmp(mac.data(), authenticationCode, kAuthenticationCodeLength) != 0) {
      kx::SetError(error, ZZError::make(ZZDamagedDataErrorCode));
      return nullptr;
    }
  }
  std::unique_ptr<ZZAESDecryptInputStream> stream(new ZZAESDecryptInputStream(std::move(upstream)));
  if (!stream->aes_.init(kx::ByteView(derived->data(), keyLength), kx::AesEcb::Direction::Encrypt,
                         &cryptoError)) {
    kx::SetError(error, ZZError::withUnderlying(ZZUnsupportedEncryptionMethod, cryptoError));
    return nullptr;
  }
  return stream;
}

ssize_t ZZAESDecryptInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  ssize_t got = upstream_->read(buffer, maxLength);
  for (ssize_t i = 0; i < got; ++i) {
    if (keystreamPos_ == 16) {
      ++counterNonce_[0];
      std::uint8_t counter[16];
      for (int w = 0; w < 4; ++w) ZZWrite32(counter + 4 * w, counterNonce_[w]);
      if (!aes_.update(counter, sizeof counter, keystream_)) return -1;
      keystreamPos_ = 0;
    }
    buffer[i] ^= keystream_[keystreamPos_++];
  }
  return got;
}
