#include "platform/Crypto.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace kx {
namespace {

Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

Bytes repeat(std::uint8_t byte, std::size_t n) { return Bytes(n, byte); }

// ---------------------------------------------------------------------------
// Digests

TEST(CryptoDigest, Md5Rfc1321Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(Crypto::md5Hex(input), expected) << "input: " << input;
    EXPECT_EQ(Crypto::md5(input), fromHex(expected)) << "input: " << input;
  }
}

TEST(CryptoDigest, Sha1Fips180Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(Crypto::sha1Hex(input), expected) << "input: " << input;
  }
}

TEST(CryptoDigest, MillionAIncrementallyInUnevenPieces) {
  // The FIPS 180 one-million-'a' message, fed in pieces of changing sizes so
  // that block boundaries fall everywhere.
  Digest sha1(Digest::Algorithm::SHA1);
  Digest md5(Digest::Algorithm::MD5);
  const std::string chunk(1000, 'a');
  std::size_t fed = 0;
  std::size_t step = 1;
  while (fed < 1000000) {
    std::size_t n = std::min({step, chunk.size(), 1000000 - fed});
    sha1.update(ByteView(chunk.data(), n));
    md5.update(ByteView(chunk.data(), n));
    fed += n;
    step = step * 7 % 997 + 1;
  }
  EXPECT_EQ(sha1.finishHex(), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(md5.finishHex(), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(CryptoDigest, FinishStartsAfreshAndEmptyUpdatesChangeNothing) {
  Digest d(Digest::Algorithm::SHA1);
  EXPECT_EQ(d.length(), 20u);
  d.update("ab");
  d.update(ByteView());
  d.update("c");
  EXPECT_EQ(d.finish(), Crypto::sha1("abc"));
  // The object is ready for a new message right away.
  d.update("abc");
  EXPECT_EQ(d.finishHex(), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(d.finishHex(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(CryptoDigest, IncrementalMatchesOneShotForRandomSplits) {
  std::mt19937 rng(42);
  Bytes data(10000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const Bytes expectedMd5 = Crypto::md5(data);
  for (int round = 0; round < 20; ++round) {
    Digest d(Digest::Algorithm::MD5);
    std::size_t pos = 0;
    while (pos < data.size()) {
      std::size_t n = std::min<std::size_t>(rng() % 200, data.size() - pos);
      d.update(ByteView(data.data() + pos, n));
      pos += n;
    }
    ASSERT_EQ(d.finish(), expectedMd5) << "round " << round;
  }
}

TEST(CryptoDigest, HexIsLowerCaseTwoDigitsPerByte) {
  EXPECT_EQ(Crypto::hex(fromHex("00ff0aA0")), "00ff0aa0");
  EXPECT_EQ(Crypto::hex(Bytes{}), "");
}

// ---------------------------------------------------------------------------
// HMAC-SHA1 and PBKDF2

TEST(CryptoHmac, Rfc2202HmacSha1Vectors) {
  struct Case {
    Bytes key;
    Bytes data;
    const char* expected;
  };
  auto bytes = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
  const Case cases[] = {
      {repeat(0x0b, 20), bytes("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
      {bytes("Jefe"), bytes("what do ya want for nothing?"),
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {repeat(0xaa, 20), repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), repeat(0xcd, 50),
       "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {repeat(0xaa, 80), bytes("Test Using Larger Than Block-Size Key - Hash Key First"),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {repeat(0xaa, 80),
       bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Crypto::hex(Crypto::hmacSha1(c.key, c.data)), c.expected);
  }
  // An empty key and empty data are valid inputs.
  EXPECT_EQ(Crypto::hex(Crypto::hmacSha1(ByteView(), ByteView())),
            "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
}

TEST(CryptoPbkdf2, Rfc6070Vectors) {
  struct Case {
    std::string password;
    std::string salt;
    std::uint32_t iterations;
    std::size_t length;
    const char* expected;
  };
  const Case cases[] = {
      {"password", "salt", 1, 20, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, 20, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, 20, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, 16,
       "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const auto& c : cases) {
    Error error;
    auto key = Crypto::pbkdf2HmacSha1(c.password, c.salt, c.iterations, c.length, &error);
    ASSERT_TRUE(key.has_value()) << error.localizedDescription();
    EXPECT_EQ(Crypto::hex(*key), c.expected) << "iterations " << c.iterations;
  }
}

TEST(CryptoPbkdf2, ZeroIterationsOrLengthIsAParameterError) {
  Error error;
  EXPECT_FALSE(Crypto::pbkdf2HmacSha1("p", "salt", 0, 20, &error));
  EXPECT_EQ(error.domain(), kCryptoErrorDomain);
  EXPECT_EQ(error.code(), kCryptoParamError);
  error = Error();
  EXPECT_FALSE(Crypto::pbkdf2HmacSha1("p", "salt", 1, 0, &error));
  EXPECT_EQ(error.code(), kCryptoParamError);
  // Null error pointers are allowed.
  EXPECT_FALSE(Crypto::pbkdf2HmacSha1("p", "salt", 0, 20));
}

// ---------------------------------------------------------------------------
// AES

// NIST SP 800-38A, appendix F: the four plaintext blocks shared by every mode.
const char* const kNistPlain =
    "6bc1bee22e409f96e93d7e117393172a"
    "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef"
    "f69f2445df4f9b17ad2b417be66c3710";

TEST(CryptoAes, EcbNistVectorsForAllKeySizes) {
  struct Case {
    const char* key;
    const char* cipher;
  };
  const Case cases[] = {
      {"2b7e151628aed2a6abf7158809cf4f3c",
       "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
       "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
       "bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eef"
       "ef7afd2270e2e60adce0ba2face6444e9a4b41ba738d6c72fb16691603c18e0e"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
       "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
  };
  const Bytes plain = fromHex(kNistPlain);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    auto encrypted = Crypto::aesEcbEncrypt(plain, fromHex(c.key));
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(Crypto::hex(*encrypted), c.cipher);
    auto decrypted = Crypto::aesEcbDecrypt(fromHex(c.cipher), fromHex(c.key));
    ASSERT_TRUE(decrypted);
    EXPECT_EQ(*decrypted, plain);
  }
}

TEST(CryptoAes, EcbRefusesBadKeySizesAndPartialBlocks) {
  Error error;
  EXPECT_FALSE(Crypto::aesEcbEncrypt(Bytes(16), Bytes(15), &error));
  EXPECT_EQ(error.code(), kCryptoParamError);
  EXPECT_FALSE(Crypto::aesEcbEncrypt(Bytes(17), Bytes(16), &error));
  EXPECT_EQ(error.code(), kCryptoAlignmentError);
  EXPECT_FALSE(Crypto::aesEcbDecrypt(Bytes(8), Bytes(32), &error));
  EXPECT_EQ(error.code(), kCryptoAlignmentError);
  // Empty data is a whole number of blocks.
  auto empty = Crypto::aesEcbEncrypt(Bytes(), Bytes(32));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(CryptoAes, EcbObjectRunsAsKeyStreamBlockByBlockAndInPlace) {
  const Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Bytes plain = fromHex(kNistPlain);
  AesEcb aes;
  Error error;
  // Not keyed yet.
  std::uint8_t block[16] = {};
  EXPECT_FALSE(aes.update(block, 16, block, &error));
  ASSERT_TRUE(aes.init(key, AesEcb::Direction::Encrypt, &error));
  Bytes buffer = plain;
  for (std::size_t i = 0; i < buffer.size(); i += 16) {
    ASSERT_TRUE(aes.update(buffer.data() + i, 16, buffer.data() + i, &error));
  }
  EXPECT_EQ(buffer, *Crypto::aesEcbEncrypt(plain, key));
  EXPECT_FALSE(aes.update(buffer.data(), 5, buffer.data(), &error));
  EXPECT_EQ(error.code(), kCryptoAlignmentError);
  // Re-keyed for decryption it undoes the transform.
  ASSERT_TRUE(aes.init(key, AesEcb::Direction::Decrypt));
  ASSERT_TRUE(aes.update(buffer.data(), buffer.size(), buffer.data()));
  EXPECT_EQ(buffer, plain);
  EXPECT_FALSE(aes.init(Bytes(20), AesEcb::Direction::Encrypt, &error));
  EXPECT_EQ(error.code(), kCryptoParamError);
}

TEST(CryptoAes, CbcNistVectorWithPaddingBlock) {
  const Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Bytes iv = fromHex("000102030405060708090a0b0c0d0e0f");
  const Bytes plain = fromHex(kNistPlain);
  const Bytes nistCipher = fromHex(
      "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
      "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b");
  auto encrypted = Crypto::aes256CbcEncrypt(plain, key, iv);
  ASSERT_TRUE(encrypted);
  // A whole number of blocks gains one full block of padding.
  ASSERT_EQ(encrypted->size(), 80u);
  EXPECT_EQ(Bytes(encrypted->begin(), encrypted->begin() + 64), nistCipher);
  // The padding block is 16 bytes of 0x10 chained after the last block.
  Bytes pad(16, 0x10);
  for (int i = 0; i < 16; ++i) pad[i] ^= nistCipher[48 + i];
  EXPECT_EQ(Bytes(encrypted->begin() + 64, encrypted->end()), *Crypto::aesEcbEncrypt(pad, key));
  auto decrypted = Crypto::aes256CbcDecrypt(*encrypted, key, iv);
  ASSERT_TRUE(decrypted);
  EXPECT_EQ(*decrypted, plain);
}

TEST(CryptoAes, CbcRoundTripsEveryLengthAroundBlockBoundaries) {
  auto key = Crypto::randomBytes(32);
  auto iv = Crypto::randomBytes(16);
  ASSERT_TRUE(key && iv);
  for (std::size_t n = 0; n <= 49; ++n) {
    Bytes plain(n);
    for (std::size_t i = 0; i < n; ++i) plain[i] = static_cast<std::uint8_t>(i * 31 + 7);
    auto encrypted = Crypto::aes256CbcEncrypt(plain, *key, *iv);
    ASSERT_TRUE(encrypted) << n;
    EXPECT_EQ(encrypted->size(), (n / 16 + 1) * 16) << n;
    auto decrypted = Crypto::aes256CbcDecrypt(*encrypted, *key, *iv);
    ASSERT_TRUE(decrypted) << n;
    EXPECT_EQ(*decrypted, plain) << n;
  }
}

TEST(CryptoAes, CbcDecryptFailsCleanlyOnBadPaddingAndLength) {
  const Bytes key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Bytes iv(16, 0);  // with a zero IV a single CBC block is the ECB block
  // Final plain blocks whose padding is not PKCS#7.
  const char* const badBlocks[] = {
      "000102030405060708090a0b0c0d0e00",  // pad length 0
      "000102030405060708090a0b0c0d0e11",  // pad length 17
      "000102030405060708090a0b0c0d0302",  // pad bytes disagree
      "0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f10",  // claims 16 but one byte differs
  };
  for (const char* hex : badBlocks) {
    auto cipher = Crypto::aesEcbEncrypt(fromHex(hex), key);
    ASSERT_TRUE(cipher);
    Error error;
    EXPECT_FALSE(Crypto::aes256CbcDecrypt(*cipher, key, iv, &error)) << hex;
    EXPECT_EQ(error.domain(), kCryptoErrorDomain);
    EXPECT_EQ(error.code(), kCryptoDecodeError) << hex;
  }
  // A good final block for comparison: 16 bytes of 0x10 decode to nothing.
  auto good = Crypto::aes256CbcDecrypt(*Crypto::aesEcbEncrypt(Bytes(16, 0x10), key), key, iv);
  ASSERT_TRUE(good);
  EXPECT_TRUE(good->empty());

  Error error;
  EXPECT_FALSE(Crypto::aes256CbcDecrypt(Bytes(17), key, iv, &error));
  EXPECT_EQ(error.code(), kCryptoDecodeError);
  EXPECT_FALSE(Crypto::aes256CbcDecrypt(Bytes(), key, iv, &error));
  EXPECT_EQ(error.code(), kCryptoDecodeError);
}

TEST(CryptoAes, CbcAnyKeySizeMatchesTheNistVectors) {
  struct Case {
    const char* key;
    const char* firstBlock;  // of the ciphertext of kNistPlain
  };
  const Case cases[] = {
      {"2b7e151628aed2a6abf7158809cf4f3c", "7649abac8119b246cee98e9b12e9197d"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", "4f021db243bc633d7178183a9fa071e8"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "f58c4c04d6e5f1ba779eabfb5f7bfbd6"},
  };
  const Bytes iv = fromHex("000102030405060708090a0b0c0d0e0f");
  const Bytes plain = fromHex(kNistPlain);
  for (const Case& c : cases) {
    const Bytes key = fromHex(c.key);
    auto encrypted = Crypto::aesCbcEncrypt(plain, key, iv);
    ASSERT_TRUE(encrypted) << c.key;
    EXPECT_EQ(Bytes(encrypted->begin(), encrypted->begin() + 16), fromHex(c.firstBlock)) << c.key;
    EXPECT_EQ(Crypto::aesCbcDecrypt(*encrypted, key, iv), plain) << c.key;
  }
  Error error;
  EXPECT_FALSE(Crypto::aesCbcEncrypt("x", Bytes(20), iv, &error));
  EXPECT_EQ(error.code(), kCryptoParamError);
  EXPECT_FALSE(Crypto::aesCbcEncrypt("x", Bytes(16), Bytes(15), &error));
  EXPECT_EQ(error.code(), kCryptoParamError);
}

TEST(CryptoAes, CbcRefusesWrongKeyAndIvSizes) {
  Error error;
  EXPECT_FALSE(Crypto::aes256CbcEncrypt("x", Bytes(16), Bytes(16), &error));
  EXPECT_EQ(error.code(), kCryptoParamError);
  EXPECT_FALSE(Crypto::aes256CbcEncrypt("x", Bytes(32), Bytes(8), &error));
  EXPECT_EQ(error.code(), kCryptoParamError);
  EXPECT_FALSE(Crypto::aes256CbcDecrypt(Bytes(16), Bytes(31), Bytes(16), &error));
  EXPECT_EQ(error.code(), kCryptoParamError);
}

// ---------------------------------------------------------------------------
// Random bytes

TEST(CryptoRandom, GivesTheAskedCountAndFreshBytes) {
  auto a = Crypto::randomBytes(32);
  auto b = Crypto::randomBytes(32);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->size(), 32u);
  EXPECT_NE(*a, *b);
  auto none = Crypto::randomBytes(0);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  std::uint8_t buffer[24] = {};
  EXPECT_TRUE(Crypto::randomBytes(buffer, sizeof buffer));
}

// ---------------------------------------------------------------------------
// Base64

TEST(CryptoBase64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    const Bytes bytes(plain, plain + std::strlen(plain));
    EXPECT_EQ(Crypto::base64Encode(bytes), encoded);
    for (auto mode :
         {Crypto::Base64Decoding::Strict, Crypto::Base64Decoding::IgnoreUnknownCharacters}) {
      auto decoded = Crypto::base64Decode(encoded, mode);
      ASSERT_TRUE(decoded) << encoded;
      EXPECT_EQ(*decoded, bytes) << encoded;
    }
  }
  // Every byte value survives.
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(*Crypto::base64Decode(Crypto::base64Encode(all)), all);
}

TEST(CryptoBase64, LineBreaksFollowFullLinesOnlyWhenMoreFollows) {
  struct Case {
    std::size_t bytes;
    Crypto::Base64Lines lines;
    std::vector<std::size_t> lineLengths;
  };
  const Case cases[] = {
      {48, Crypto::Base64Lines::Length64, {64}},
      {49, Crypto::Base64Lines::Length64, {64, 4}},
      {96, Crypto::Base64Lines::Length64, {64, 64}},
      {100, Crypto::Base64Lines::Length64, {64, 64, 8}},
      {57, Crypto::Base64Lines::Length76, {76}},
      {58, Crypto::Base64Lines::Length76, {76, 4}},
      {200, Crypto::Base64Lines::None, {268}},
  };
  for (const auto& c : cases) {
    const Bytes data(c.bytes, 0xA5);
    std::string text = Crypto::base64Encode(data, c.lines);
    std::vector<std::size_t> lengths;
    std::size_t start = 0;
    for (;;) {
      std::size_t end = text.find("\r\n", start);
      lengths.push_back((end == std::string::npos ? text.size() : end) - start);
      if (end == std::string::npos) break;
      start = end + 2;
    }
    EXPECT_EQ(lengths, c.lineLengths) << c.bytes << " bytes";
    // The lenient decoder reads the broken form back; the strict one refuses it.
    EXPECT_EQ(*Crypto::base64Decode(text, Crypto::Base64Decoding::IgnoreUnknownCharacters), data);
    EXPECT_EQ(Crypto::base64Decode(text).has_value(), c.lineLengths.size() == 1);
  }
}

TEST(CryptoBase64, LenientDecodingSkipsUnknownCharactersAndDropsALoneLeftover) {
  const std::pair<const char*, std::string> cases[] = {
      {"Zm9v\r\nYmFy", "foobar"},
      {" Z m 9 v ", "foo"},
      {"Zm9vYg", "foob"},      // unpadded final group of two
      {"Zm9vYmE", "fooba"},    // unpadded final group of three
      {"Zm9vY", "foo"},        // a single leftover character is dropped
      {"Zg==Zg==", "f\x06`"},  // padding is skipped like anything else
      {"!!!", ""},
  };
  for (const auto& [text, expected] : cases) {
    auto decoded = Crypto::base64Decode(text, Crypto::Base64Decoding::IgnoreUnknownCharacters);
    ASSERT_TRUE(decoded) << text;
    EXPECT_EQ(std::string(decoded->begin(), decoded->end()), expected) << text;
  }
}

TEST(CryptoBase64, StrictDecodingRefusesAnythingButCanonicalText) {
  const char* const bad[] = {
      "Zg",        // missing padding
      "Zm9vY",     // wrong length
      "Zm9v\r\n",  // line break
      "Zm9v!A==",  // character outside the alphabet
      "Z===",      // too much padding
      "Zg=a",      // data after padding
      "=Zg=",      // padding first
      "Zg==Zg==",  // padding in the middle
      "====",
  };
  for (const char* text : bad) {
    Error error;
    EXPECT_FALSE(Crypto::base64Decode(text, Crypto::Base64Decoding::Strict, &error)) << text;
    EXPECT_EQ(error.code(), kCryptoDecodeError) << text;
  }
}

}  // namespace
}  // namespace kx
