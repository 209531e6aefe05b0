#include "CommonUtils/zip/ZZAESDecryptInputStream.h"

#include <gtest/gtest.h>

#include "CommonUtils/zip/ZZDataInputStream.h"
#include "CommonUtils/zip/ZZError.h"
#include "CommonUtils/zip/ZZWinZipAESExtraField.h"
#include "platform/Crypto.h"

TEST(ZZAESDecryptInputStreamTest, KeyStrengthSetsSaltAndKeyLengths) {
  EXPECT_EQ(ZZWinZipAESExtraField::saltLength(1), 8u);
  EXPECT_EQ(ZZWinZipAESExtraField::saltLength(2), 12u);
  EXPECT_EQ(ZZWinZipAESExtraField::saltLength(3), 16u);
  EXPECT_EQ(ZZWinZipAESExtraField::keyLength(3), 32u);
  for (std::uint8_t strength : {0, 4, 255}) {
    EXPECT_EQ(ZZWinZipAESExtraField::saltLength(strength), 0u);
    kx::Error error;
    const std::uint8_t header[32] = {};
    EXPECT_FALSE(ZZAESDecryptInputStream::create(std::make_unique<ZZDataInputStream>(ZZBytes()),
                                                 "pw", header, strength, &error));
    EXPECT_EQ(error.code(), ZZUnsupportedEncryptionMethod);
  }
}

TEST(ZZAESDecryptInputStreamTest, DecryptsTheCounterModeKeyStream) {
  // Built from the published construction with the platform's primitives:
  // PBKDF2-HMAC-SHA1 (1000 rounds) gives key, authentication key and verifier;
  // the key stream is AES of a little-endian counter starting at 1.
  const std::string password = "password";
  kx::Bytes salt(16);
  for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(i * 9);
  auto derived = kx::Crypto::pbkdf2HmacSha1(password, salt, 1000, 66);
  ASSERT_TRUE(derived);
  kx::Bytes key(derived->begin(), derived->begin() + 32);
  kx::Bytes plain(100);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i);
  kx::Bytes cipher = plain;
  for (std::size_t block = 0; block * 16 < cipher.size(); ++block) {
    kx::Bytes counter(16, 0);
    counter[0] = static_cast<std::uint8_t>(block + 1);
    auto stream = kx::Crypto::aesEcbEncrypt(counter, key);
    ASSERT_TRUE(stream);
    for (std::size_t i = 0; i < 16 && block * 16 + i < cipher.size(); ++i)
      cipher[block * 16 + i] ^= (*stream)[i];
  }
  kx::Bytes header = salt;
  header.push_back((*derived)[64]);
  header.push_back((*derived)[65]);

  kx::Error error;
  auto stream = ZZAESDecryptInputStream::create(
      std::make_unique<ZZDataInputStream>(ZZBytes(cipher)), password, header.data(), 3, &error);
  ASSERT_TRUE(stream) << error.code();
  stream->open();
  kx::Bytes out;
  std::uint8_t buffer[7];
  ssize_t n;
  while ((n = stream->read(buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
  EXPECT_EQ(out, plain);

  header[16] ^= 1;  // the verifier no longer matches
  EXPECT_FALSE(ZZAESDecryptInputStream::create(std::make_unique<ZZDataInputStream>(ZZBytes(cipher)),
                                               password, header.data(), 3, &error));
  EXPECT_EQ(error.code(), ZZWrongPassword);
}
