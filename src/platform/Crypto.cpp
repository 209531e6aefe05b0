#include "platform/Crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>

namespace kx {

namespace {

// OpenSSL counts lengths in int; longer inputs go through in chunks of this.
constexpr std::size_t kChunk = std::size_t{1} << 30;

// A pointer OpenSSL accepts for empty inputs (some calls dislike nullptr).
const std::uint8_t kEmpty[1] = {0};

const std::uint8_t* nonNull(ByteView v) { return v.data() ? v.data() : kEmpty; }

Error makeError(std::int64_t code, std::string description) {
  return Error::make(kCryptoErrorDomain, code, std::move(description));
}

const EVP_MD* mdFor(Digest::Algorithm algorithm) {
  return algorithm == Digest::Algorithm::MD5 ? EVP_md5() : EVP_sha1();
}

const EVP_CIPHER* ecbCipherForKey(std::size_t keySize) {
  switch (keySize) {
    case 16: return EVP_aes_128_ecb();
    case 24: return EVP_aes_192_ecb();
    case 32: return EVP_aes_256_ecb();
    default: return nullptr;
  }
}

// Runs `in` through an initialised cipher context into `out`, chunk by chunk,
// and finishes it. `out` must have room for in.size() plus one block.
// Answers the number of bytes written, or -1 when the final step failed
// (bad padding or length when decrypting) and -2 for any other failure.
long long runCipher(EVP_CIPHER_CTX* ctx, ByteView in, std::uint8_t* out) {
  std::size_t written = 0;
  std::size_t offset = 0;
  while (offset < in.size()) {
    std::size_t n = std::min(kChunk, in.size() - offset);
    int outLen = 0;
    if (EVP_CipherUpdate(ctx, out + written, &outLen, in.data() + offset, static_cast<int>(n)) !=
        1) {
      return -2;
    }
    written += static_cast<std::size_t>(outLen);
    offset += n;
  }
  int finalLen = 0;
  if (EVP_CipherFinal_ex(ctx, out + written, &finalLen) != 1) return -1;
  written += static_cast<std::size_t>(finalLen);
  return static_cast<long long>(written);
}

struct CipherCtx {
  CipherCtx() : ctx(EVP_CIPHER_CTX_new()) {}
  ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
  CipherCtx(const CipherCtx&) = delete;
  CipherCtx& operator=(const CipherCtx&) = delete;
  EVP_CIPHER_CTX* ctx;
};

std::optional<Bytes> cipherOneShot(const EVP_CIPHER* cipher, bool encrypt, bool padding,
                                   ByteView data, ByteView key, const std::uint8_t* iv,
                                   Error* error) {
  CipherCtx c;
  if (!c.ctx || EVP_CipherInit_ex(c.ctx, cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(c.ctx, padding ? 1 : 0) != 1) {
    SetError(error, makeError(kCryptoInternalError, "The cipher could not be set up."));
    return std::nullopt;
  }
  Bytes out(data.size() + Crypto::kAesBlockSize);
  long long n = runCipher(c.ctx, data, out.data());
  if (n == -1) {
    SetError(error, makeError(kCryptoDecodeError,
                              encrypt ? "The data is not a whole number of blocks."
                                      : "The decrypted data has a bad length or padding."));
    return std::nullopt;
  }
  if (n < 0) {
    SetError(error, makeError(kCryptoInternalError, "The cipher failed."));
    return std::nullopt;
  }
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::optional<Bytes> aesCbc(bool encrypt, ByteView data, ByteView key, ByteView iv, Error* error) {
  if (key.size() != Crypto::kAes256KeySize || iv.size() != Crypto::kAesBlockSize) {
    SetError(error,
             makeError(kCryptoParamError, "AES-256-CBC needs a 32-byte key and a 16-byte IV."));
    return std::nullopt;
  }
  return cipherOneShot(EVP_aes_256_cbc(), encrypt, true, data, key, iv.data(), error);
}

const EVP_CIPHER* cbcCipherForKey(std::size_t keySize) {
  switch (keySize) {
    case 16: return EVP_aes_128_cbc();
    case 24: return EVP_aes_192_cbc();
    case 32: return EVP_aes_256_cbc();
    default: return nullptr;
  }
}

std::optional<Bytes> aesCbcAnyKey(bool encrypt, ByteView data, ByteView key, ByteView iv,
                                  Error* error) {
  const EVP_CIPHER* cipher = cbcCipherForKey(key.size());
  if (!cipher || iv.size() != Crypto::kAesBlockSize) {
    SetError(error, makeError(kCryptoParamError,
                              "AES-CBC needs a key of 16, 24 or 32 bytes and a 16-byte IV."));
    return std::nullopt;
  }
  return cipherOneShot(cipher, encrypt, true, data, key, iv.data(), error);
}

std::optional<Bytes> aesEcb(bool encrypt, ByteView data, ByteView key, Error* error) {
  const EVP_CIPHER* cipher = ecbCipherForKey(key.size());
  if (!cipher) {
    SetError(error, makeError(kCryptoParamError, "AES needs a key of 16, 24 or 32 bytes."));
    return std::nullopt;
  }
  if (data.size() % Crypto::kAesBlockSize != 0) {
    SetError(error, makeError(kCryptoAlignmentError, "The data is not a whole number of blocks."));
    return std::nullopt;
  }
  return cipherOneShot(cipher, encrypt, false, data, key, nullptr, error);
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, or -1 for anything outside the alphabet.
int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Appends the bytes of a group of 2 to 4 sextets.
void emitGroup(const int* v, int count, Bytes& out) {
  out.push_back(static_cast<std::uint8_t>((v[0] << 2) | (v[1] >> 4)));
  if (count > 2) out.push_back(static_cast<std::uint8_t>(((v[1] & 0x0F) << 4) | (v[2] >> 2)));
  if (count > 3) out.push_back(static_cast<std::uint8_t>(((v[2] & 0x03) << 6) | v[3]));
}

}  // namespace

// ---------------------------------------------------------------------------
// Digest

Digest::Digest(Algorithm algorithm) : algorithm_(algorithm), ctx_(EVP_MD_CTX_new()) { restart(); }

Digest::~Digest() { EVP_MD_CTX_free(ctx_); }

std::size_t Digest::length() const {
  return algorithm_ == Algorithm::MD5 ? Crypto::kMd5Length : Crypto::kSha1Length;
}

void Digest::restart() {
  failed_ = !ctx_ || EVP_DigestInit_ex(ctx_, mdFor(algorithm_), nullptr) != 1;
}

void Digest::update(ByteView bytes) {
  if (failed_) return;
  // EVP_DigestUpdate takes a size_t, so any length goes through in one call.
  if (!bytes.empty() && EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()) != 1) failed_ = true;
}

Bytes Digest::finish() {
  Bytes out;
  if (!failed_) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx_, md, &len) == 1) out.assign(md, md + len);
  }
  restart();
  return out;
}

std::string Digest::finishHex() { return Crypto::hex(finish()); }

// ---------------------------------------------------------------------------
// AesEcb

AesEcb::AesEcb() : ctx_(EVP_CIPHER_CTX_new()) {}

AesEcb::~AesEcb() { EVP_CIPHER_CTX_free(ctx_); }

bool AesEcb::init(ByteView key, Direction direction, Error* error) {
  ready_ = false;
  const EVP_CIPHER* cipher = ecbCipherForKey(key.size());
  if (!cipher) {
    SetError(error, makeError(kCryptoParamError, "AES needs a key of 16, 24 or 32 bytes."));
    return false;
  }
  if (!ctx_ ||
      EVP_CipherInit_ex(ctx_, cipher, nullptr, key.data(), nullptr,
                        direction == Direction::Encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx_, 0) != 1) {
    SetError(error, makeError(kCryptoInternalError, "The cipher could not be set up."));
    return false;
  }
  ready_ = true;
  return true;
}

bool AesEcb::update(const std::uint8_t* in, std::size_t size, std::uint8_t* out, Error* error) {
  if (!ready_) {
    SetError(error, makeError(kCryptoParamError, "The cipher has no key."));
    return false;
  }
  if (size % Crypto::kAesBlockSize != 0) {
    SetError(error, makeError(kCryptoAlignmentError, "The data is not a whole number of blocks."));
    return false;
  }
  std::size_t offset = 0;
  while (offset < size) {
    std::size_t n = std::min(kChunk, size - offset);
    int outLen = 0;
    // Without padding ECB writes exactly what it reads, block for block, so
    // an in-place transform is safe.
    if (EVP_CipherUpdate(ctx_, out + offset, &outLen, in + offset, static_cast<int>(n)) != 1 ||
        static_cast<std::size_t>(outLen) != n) {
      SetError(error, makeError(kCryptoInternalError, "The cipher failed."));
      return false;
    }
    offset += n;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Crypto

Bytes Crypto::md5(ByteView bytes) {
  Digest d(Digest::Algorithm::MD5);
  d.update(bytes);
  return d.finish();
}

Bytes Crypto::sha1(ByteView bytes) {
  Digest d(Digest::Algorithm::SHA1);
  d.update(bytes);
  return d.finish();
}

std::string Crypto::md5Hex(ByteView bytes) { return hex(md5(bytes)); }

std::string Crypto::sha1Hex(ByteView bytes) { return hex(sha1(bytes)); }

std::string Crypto::hex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.resize(bytes.size() * 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes.data()[i] >> 4];
    out[2 * i + 1] = kDigits[bytes.data()[i] & 0x0F];
  }
  return out;
}

std::optional<Bytes> Crypto::aes256CbcEncrypt(ByteView plain, ByteView key, ByteView iv,
                                              Error* error) {
  return aesCbc(true, plain, key, iv, error);
}

std::optional<Bytes> Crypto::aes256CbcDecrypt(ByteView cipher, ByteView key, ByteView iv,
                                              Error* error) {
  return aesCbc(false, cipher, key, iv, error);
}

std::optional<Bytes> Crypto::aesCbcEncrypt(ByteView plain, ByteView key, ByteView iv,
                                           Error* error) {
  return aesCbcAnyKey(true, plain, key, iv, error);
}

std::optional<Bytes> Crypto::aesCbcDecrypt(ByteView cipher, ByteView key, ByteView iv,
                                           Error* error) {
  return aesCbcAnyKey(false, cipher, key, iv, error);
}

std::optional<Bytes> Crypto::aesEcbEncrypt(ByteView data, ByteView key, Error* error) {
  return aesEcb(true, data, key, error);
}

std::optional<Bytes> Crypto::aesEcbDecrypt(ByteView data, ByteView key, Error* error) {
  return aesEcb(false, data, key, error);
}

Bytes Crypto::hmacSha1(ByteView key, ByteView data) {
  if (key.size() > static_cast<std::size_t>(INT_MAX)) return {};
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!HMAC(EVP_sha1(), nonNull(key), static_cast<int>(key.size()), nonNull(data), data.size(), md,
            &len)) {
    return {};
  }
  return Bytes(md, md + len);
}

std::optional<Bytes> Crypto::pbkdf2HmacSha1(ByteView password, ByteView salt,
                                            std::uint32_t iterations, std::size_t length,
                                            Error* error) {
  constexpr std::size_t kMax = static_cast<std::size_t>(INT_MAX);
  if (iterations == 0 || iterations > kMax || length == 0 || length > kMax ||
      password.size() > kMax || salt.size() > kMax) {
    SetError(error, makeError(kCryptoParamError, "Bad parameters for PBKDF2."));
    return std::nullopt;
  }
  Bytes out(length);
  if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(nonNull(password)),
                        static_cast<int>(password.size()), nonNull(salt),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha1(),
                        static_cast<int>(length), out.data()) != 1) {
    SetError(error, makeError(kCryptoInternalError, "PBKDF2 failed."));
    return std::nullopt;
  }
  return out;
}

bool Crypto::randomBytes(void* out, std::size_t count, Error* error) {
  auto* p = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < count) {
    std::size_t n = std::min(kChunk, count - done);
    if (RAND_bytes(p + done, static_cast<int>(n)) != 1) {
      SetError(error, makeError(kCryptoRandomFailure, "The secure random source failed."));
      return false;
    }
    done += n;
  }
  return true;
}

std::optional<Bytes> Crypto::randomBytes(std::size_t count, Error* error) {
  Bytes out(count);
  if (!randomBytes(out.data(), count, error)) return std::nullopt;
  return out;
}

std::string Crypto::base64Encode(ByteView bytes, Base64Lines lines) {
  const std::size_t lineLength = lines == Base64Lines::Length64   ? 64
                                 : lines == Base64Lines::Length76 ? 76
                                                                  : 0;
  const std::size_t encodedLength = (bytes.size() + 2) / 3 * 4;
  std::string out;
  out.reserve(encodedLength + (lineLength ? encodedLength / lineLength * 2 : 0));
  std::size_t lineUsed = 0;
  auto put = [&](char c) {
    // A line end goes in only when another character follows it.
    if (lineLength && lineUsed == lineLength) {
      out += "\r\n";
      lineUsed = 0;
    }
    out.push_back(c);
    ++lineUsed;
  };
  const std::uint8_t* p = bytes.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
    put(kBase64Alphabet[(v >> 18) & 63]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(kBase64Alphabet[(v >> 6) & 63]);
    put(kBase64Alphabet[v & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{p[i]} << 16;
    if (rest == 2) v |= std::uint32_t{p[i + 1]} << 8;
    put(kBase64Alphabet[(v >> 18) & 63]);
    put(kBase64Alphabet[(v >> 12) & 63]);
    put(rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  return out;
}

std::optional<Bytes> Crypto::base64Decode(std::string_view text, Base64Decoding mode,
                                          Error* error) {
  Bytes out;
  out.reserve(text.size() / 4 * 3 + 3);
  int group[4];
  int count = 0;
  if (mode == Base64Decoding::IgnoreUnknownCharacters) {
    for (unsigned char c : text) {
      int v = base64Value(c);
      if (v < 0) continue;
      group[count++] = v;
      if (count == 4) {
        emitGroup(group, 4, out);
        count = 0;
      }
    }
    if (count >= 2) emitGroup(group, count, out);  // a single leftover is dropped
    return out;
  }

  auto fail = [&]() -> std::optional<Bytes> {
    SetError(error, makeError(kCryptoDecodeError, "The text is not valid Base64."));
    return std::nullopt;
  };
  if (text.size() % 4 != 0) return fail();
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=')
    padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  const std::size_t dataChars = text.size() - padding;
  for (std::size_t i = 0; i < dataChars; ++i) {
    int v = base64Value(static_cast<unsigned char>(text[i]));
    if (v < 0) return fail();
    group[count++] = v;
    if (count == 4) {
      emitGroup(group, 4, out);
      count = 0;
    }
  }
  // With padding the last group holds 2 or 3 characters; 1 cannot happen
  // because the total is a multiple of four and at most two are padding.
  if (count > 0) emitGroup(group, count, out);
  return out;
}

}  // namespace kx
