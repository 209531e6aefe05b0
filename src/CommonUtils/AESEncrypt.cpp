#include "CommonUtils/AESEncrypt.h"

#include <utility>

#include "CommonUtils/NSDataGZip.h"
#include "platform/Mutex.h"
#include "platform/Text.h"

namespace {

kx::Mutex gRandomMutex;
AESEncrypt::RandomSource gRandomSource GUARDED_BY(gRandomMutex);  // empty = the system's

}  // namespace

void AESEncrypt::setRandomSourceForTesting(RandomSource source) {
  kx::MutexLock lock(gRandomMutex);
  gRandomSource = std::move(source);
}

std::optional<kx::Bytes> AESEncrypt::randomDataOfLength(std::size_t length) {
  RandomSource source;
  {
    kx::MutexLock lock(gRandomMutex);
    source = gRandomSource;
  }
  std::optional<kx::Bytes> bytes = source ? source(length) : kx::Crypto::randomBytes(length);
  if (!bytes || bytes->size() != length) return std::nullopt;
  return bytes;
}

std::optional<kx::Bytes> AESEncrypt::AESKeyForPassword(std::string_view password,
                                                       kx::ByteView salt) {
  return kx::Crypto::pbkdf2HmacSha1(password, salt, kIterations, kKeyLength);
}

std::optional<kx::Bytes> AESEncrypt::encryptData(kx::ByteView data, kx::ByteView key,
                                                 kx::ByteView iv) {
  if (data.empty()) return kx::Bytes();
  return kx::Crypto::aesCbcEncrypt(data, key, iv);
}

std::optional<kx::Bytes> AESEncrypt::encryptData(kx::ByteView data, std::string_view password) {
  if (data.empty()) return kx::Bytes();
  // A weak salt or vector would be worse than no result: a failed random
  // source fails the encipherment.
  std::optional<kx::Bytes> salt = randomDataOfLength(kSaltLength);
  if (!salt) return std::nullopt;
  std::optional<kx::Bytes> iv = randomDataOfLength(kIVLength);
  if (!iv) return std::nullopt;
  std::optional<kx::Bytes> key = AESKeyForPassword(password, *salt);
  if (!key) return std::nullopt;
  std::optional<kx::Bytes> cipher = kx::Crypto::aes256CbcEncrypt(data, *key, *iv);
  if (!cipher) return std::nullopt;

  kx::Bytes blob;
  blob.reserve(kHeaderLength + cipher->size());
  blob.push_back(kFormatByte);
  blob.insert(blob.end(), salt->begin(), salt->end());
  blob.insert(blob.end(), iv->begin(), iv->end());
  blob.insert(blob.end(), cipher->begin(), cipher->end());
  return blob;
}

std::optional<kx::Bytes> AESEncrypt::decryptData(kx::ByteView data, std::string_view password) {
  if (data.size() < kHeaderLength) return kx::Bytes(data.data(), data.data() + data.size());
  const std::uint8_t* p = data.data();
  kx::ByteView salt(p + 1, kSaltLength);
  kx::ByteView iv(p + 1 + kSaltLength, kIVLength);
  kx::ByteView cipher(p + kHeaderLength, data.size() - kHeaderLength);
  std::optional<kx::Bytes> key = AESKeyForPassword(password, salt);
  if (!key) return std::nullopt;
  return kx::Crypto::aes256CbcDecrypt(cipher, *key, iv);
}

std::optional<std::string> AESEncrypt::encryptText(std::string_view text,
                                                   std::string_view password) {
  if (text.empty()) return std::string();
  std::optional<kx::Bytes> blob = encryptData(text, password);
  if (!blob) return std::nullopt;
  return NSDataGZip::base64EncodedString(*blob);
}

std::optional<std::string> AESEncrypt::decryptText(std::string_view text,
                                                   std::string_view password) {
  if (text.empty()) return std::string();
  const kx::Bytes blob = NSDataGZip::dataFromBase64String(text);
  std::optional<kx::Bytes> plain = decryptData(blob, password);
  if (!plain) return std::nullopt;
  std::string result(plain->begin(), plain->end());
  if (!kx::Text::isValidUtf8(result)) return std::nullopt;
  return result;
}
