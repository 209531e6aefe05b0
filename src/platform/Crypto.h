// kx::Crypto gathers the cryptographic primitives the client needs, over
// OpenSSL's EVP interface: MD5 and SHA-1 digests (one-shot, or incremental
// with kx::Digest), AES-256 in CBC mode with PKCS#7 padding (the text cipher
// of the session files), AES in ECB mode without padding for 128, 192 and
// 256-bit keys (the key stream of encrypted zip entries, one-shot or block by
// block with kx::AesEcb), HMAC-SHA1, PBKDF2 with HMAC-SHA1, bytes from the
// system's secure random source, and Base64.
//
// Failures are returned: operations that can fail answer std::nullopt (or
// false) and fill the optional trailing kx::Error (domain kCryptoErrorDomain).
// Digests and HMACs answer empty bytes in the rare case that OpenSSL fails
// (for example when a FIPS-only configuration refuses MD5); a real digest is
// never empty.
//
// Base64 text form: the standard alphabet of RFC 4648 with "=" padding. The
// encoder can break its output into lines of 64 or 76 characters, each
// followed by a carriage return and a line feed when more output follows (no
// line end after the last line). The stored cipher texts use 64-character
// lines, so that form is part of files on disk.
//
// Thread safety: the static functions may be called from any thread at the
// same time. A Digest or AesEcb object must be used by one thread at a time.
#ifndef ZN_PLATFORM_CRYPTO_H_
#define ZN_PLATFORM_CRYPTO_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Value.h"

// OpenSSL's context types, declared here so that callers need not include
// OpenSSL's headers.
struct evp_md_ctx_st;
struct evp_cipher_ctx_st;

namespace kx {

inline constexpr const char* kCryptoErrorDomain = "kx.Crypto";

// Codes of kCryptoErrorDomain.
enum CryptoErrorCode : std::int64_t {
  kCryptoParamError = 1,      // wrong key or IV size, zero iterations, ...
  kCryptoAlignmentError = 2,  // data of ECB mode is not a whole number of blocks
  kCryptoDecodeError = 3,     // bad padding after decryption, bad Base64 text
  kCryptoRandomFailure = 4,   // the secure random source failed
  kCryptoInternalError = 5,   // OpenSSL refused an operation
};

// A read-only view of bytes, made implicitly from the usual byte holders so
// that callers need no casts. It does not own the bytes.
class ByteView {
 public:
  ByteView() = default;
  ByteView(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}
  ByteView(const Bytes& bytes) : data_(bytes.data()), size_(bytes.size()) {}
  ByteView(const std::string& s)
      : data_(reinterpret_cast<const std::uint8_t*>(s.data())), size_(s.size()) {}
  ByteView(std::string_view s)
      : data_(reinterpret_cast<const std::uint8_t*>(s.data())), size_(s.size()) {}
  ByteView(const char* s)
      : data_(reinterpret_cast<const std::uint8_t*>(s)), size_(s ? std::strlen(s) : 0) {}

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// An incremental MD5 or SHA-1 digest. update() may be called any number of
// times with any lengths (the total may exceed 4 GiB); finish() answers the
// digest and starts the object afresh for a new message.
class Digest {
 public:
  enum class Algorithm { MD5, SHA1 };

  explicit Digest(Algorithm algorithm);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  Algorithm algorithm() const { return algorithm_; }
  // Length in bytes of the digest: 16 for MD5, 20 for SHA-1.
  std::size_t length() const;

  void update(ByteView bytes);
  // The digest of everything given since construction or the last finish();
  // empty bytes when OpenSSL failed at any point.
  Bytes finish();
  // finish() as lower-case hexadecimal text ("" on failure).
  std::string finishHex();

 private:
  void restart();

  Algorithm algorithm_;
  ::evp_md_ctx_st* ctx_ = nullptr;
  bool failed_ = false;  // an OpenSSL call failed since the last restart
};

// AES in ECB mode without padding, keyed once and then fed whole blocks;
// used where a block cipher is run as a key stream.
class AesEcb {
 public:
  enum class Direction { Encrypt, Decrypt };

  AesEcb();
  ~AesEcb();
  AesEcb(const AesEcb&) = delete;
  AesEcb& operator=(const AesEcb&) = delete;

  // Key of 16, 24 or 32 bytes. May be called again to re-key.
  [[nodiscard]] bool init(ByteView key, Direction direction, Error* error = nullptr);
  // Transforms `size` bytes (a multiple of 16) from `in` to `out`; they may
  // be the same buffer. False when not initialised or misaligned.
  [[nodiscard]] bool update(const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                            Error* error = nullptr);

 private:
  ::evp_cipher_ctx_st* ctx_ = nullptr;
  bool ready_ = false;
};

class Crypto {
 public:
  Crypto() = delete;

  static constexpr std::size_t kAesBlockSize = 16;
  static constexpr std::size_t kAes256KeySize = 32;
  static constexpr std::size_t kMd5Length = 16;
  static constexpr std::size_t kSha1Length = 20;

  // Digests; empty on OpenSSL failure.
  static Bytes md5(ByteView bytes);
  static Bytes sha1(ByteView bytes);
  static std::string md5Hex(ByteView bytes);
  static std::string sha1Hex(ByteView bytes);
  // Lower-case hexadecimal text of the bytes, two digits a byte.
  static std::string hex(ByteView bytes);

  // AES-256-CBC with PKCS#7 padding; a 32-byte key and a 16-byte IV. The
  // ciphertext is 1 to 16 bytes longer than the plain text. Decryption
  // fails with kCryptoDecodeError when the padding is wrong (a wrong key
  // usually shows that way) or the length is not a whole number of blocks.
  static std::optional<Bytes> aes256CbcEncrypt(ByteView plain, ByteView key, ByteView iv,
                                               Error* error = nullptr);
  static std::optional<Bytes> aes256CbcDecrypt(ByteView cipher, ByteView key, ByteView iv,
                                               Error* error = nullptr);

  // AES-CBC with PKCS#7 padding under a key of 16, 24 or 32 bytes (AES-128,
  // -192 or -256) and a 16-byte IV; fails as the AES-256 pair does.
  static std::optional<Bytes> aesCbcEncrypt(ByteView plain, ByteView key, ByteView iv,
                                            Error* error = nullptr);
  static std::optional<Bytes> aesCbcDecrypt(ByteView cipher, ByteView key, ByteView iv,
                                            Error* error = nullptr);

  // AES-ECB without padding; keys of 16, 24 or 32 bytes; the data must be a
  // whole number of 16-byte blocks.
  static std::optional<Bytes> aesEcbEncrypt(ByteView data, ByteView key, Error* error = nullptr);
  static std::optional<Bytes> aesEcbDecrypt(ByteView data, ByteView key, Error* error = nullptr);

  // HMAC with SHA-1 (20 bytes); empty on OpenSSL failure.
  static Bytes hmacSha1(ByteView key, ByteView data);

  // PBKDF2 with HMAC-SHA1: `length` bytes derived from the password and the
  // salt with `iterations` rounds. Zero iterations or length is a parameter
  // error.
  static std::optional<Bytes> pbkdf2HmacSha1(ByteView password, ByteView salt,
                                             std::uint32_t iterations, std::size_t length,
                                             Error* error = nullptr);

  // `count` bytes from the secure random source; failure of the source is
  // reported, never papered over.
  static std::optional<Bytes> randomBytes(std::size_t count, Error* error = nullptr);
  [[nodiscard]] static bool randomBytes(void* out, std::size_t count, Error* error = nullptr);

  // Base64 encoding; see the header comment for the line form.
  enum class Base64Lines { None, Length64, Length76 };
  static std::string base64Encode(ByteView bytes, Base64Lines lines = Base64Lines::None);

  // Base64 decoding.
  // Strict: only the alphabet, with "=" padding to a multiple of four
  //   characters; anything else fails. The empty text gives empty bytes.
  // IgnoreUnknownCharacters: every character outside the alphabet (padding,
  //   line breaks, spaces, anything) is skipped; each four characters give
  //   three bytes, a final group of two or three gives one or two bytes, and a
  //   single leftover character is dropped. Never fails.
  enum class Base64Decoding { Strict, IgnoreUnknownCharacters };
  static std::optional<Bytes> base64Decode(std::string_view text,
                                           Base64Decoding mode = Base64Decoding::Strict,
                                           Error* error = nullptr);
};

}  // namespace kx

#endif  // ZN_PLATFORM_CRYPTO_H_
