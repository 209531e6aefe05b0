// AESEncrypt turns a short text into a password-protected text and back; the
// account code keeps the login fields of its session files this way.
//
// The enciphered form is a blob, in this order: one format byte 0x00, an
// 8-byte random salt, a 16-byte random initialisation vector, and the
// ciphertext of AES-256 in CBC mode with PKCS#7 padding. The key is 32 bytes
// of PBKDF2 with HMAC-SHA1 over the password's UTF-8 bytes and the salt,
// 1000 rounds. The text form is the blob in Base64 with a carriage return
// and a line feed after every 64 characters (NSDataGZip::base64EncodedString).
// Files on disk hold this form, so none of it may change.
//
// Data of 24 bytes or fewer cannot be a blob (it has no room for a
// ciphertext) and deciphers to itself, so a short field that was never
// enciphered reads back as it stands. Other failures are reported by a
// missing result: a wrong password or damaged data (the padding check
// fails), a failed random source.
//
// Thread safety: static functions, callable from any thread at once. The
// random source for tests is swapped under a lock.
#ifndef ZN_COMMONUTILS_AESENCRYPT_H_
#define ZN_COMMONUTILS_AESENCRYPT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Crypto.h"
#include "platform/Value.h"

class AESEncrypt {
 public:
  static constexpr std::uint8_t kFormatByte = 0x00;
  static constexpr std::size_t kSaltLength = 8;
  static constexpr std::size_t kIVLength = 16;
  static constexpr std::size_t kKeyLength = 32;
  static constexpr std::size_t kHeaderLength = 1 + kSaltLength + kIVLength;
  static constexpr std::uint32_t kIterations = 1000;

  // Hands out `count` random bytes, or nothing when the source fails.
  using RandomSource = std::function<std::optional<kx::Bytes>(std::size_t count)>;

  AESEncrypt() = delete;

  // "" gives "". Otherwise the text form of the blob of the text's UTF-8
  // bytes; nothing when enciphering fails.
  static std::optional<std::string> encryptText(std::string_view text, std::string_view password);
  // "" gives "". Otherwise the text form decoded, deciphered and read as
  // UTF-8; nothing when deciphering fails or the bytes are not UTF-8.
  static std::optional<std::string> decryptText(std::string_view text, std::string_view password);

  // The blob of the data (see above); empty data gives empty data; nothing
  // when the random source or the cipher fails.
  static std::optional<kx::Bytes> encryptData(kx::ByteView data, std::string_view password);
  // The plain bytes of a blob; data of 24 bytes or fewer unchanged; nothing
  // for a wrong password or damaged data. The format byte is not examined.
  static std::optional<kx::Bytes> decryptData(kx::ByteView data, std::string_view password);

  // That many bytes from the secure random source; nothing on failure.
  static std::optional<kx::Bytes> randomDataOfLength(std::size_t length);
  // The 32-byte key for a password and a salt.
  static std::optional<kx::Bytes> AESKeyForPassword(std::string_view password, kx::ByteView salt);
  // AES-CBC with PKCS#7 padding under a raw key of 16, 24 or 32 bytes
  // (AES-128, -192 or -256) and a 16-byte initialisation vector, without
  // salt or header; empty data gives empty data; nothing on failure (a key
  // or vector of another size included).
  static std::optional<kx::Bytes> encryptData(kx::ByteView data, kx::ByteView key, kx::ByteView iv);

  // Replaces the random source (an empty function puts the system's back).
  static void setRandomSourceForTesting(RandomSource source);
};

#endif  // ZN_COMMONUTILS_AESENCRYPT_H_
