#include "CommonUtils/AESEncrypt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "CommonUtils/NSDataGZip.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Text.h"
#include "support/TempAppRoot.h"

namespace {

const char* const kPassword = "kx.vector@zn.org";  // shaped like the account code's one
const kx::Bytes kSalt = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
const kx::Bytes kIV = {0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
                       0xa8, 0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae, 0xaf};

kx::Bytes bytesOf(std::string_view s) { return kx::Bytes(s.begin(), s.end()); }

std::string hexOf(const kx::Bytes& b) { return kx::Crypto::hex(b); }

// Hands out prepared byte strings in order; nothing once they run out.
class ScriptedRandom {
 public:
  explicit ScriptedRandom(std::deque<std::optional<kx::Bytes>> script)
      : script_(std::move(script)) {
    AESEncrypt::setRandomSourceForTesting([this](std::size_t count) -> std::optional<kx::Bytes> {
      requests.push_back(count);
      if (script_.empty()) return std::nullopt;
      std::optional<kx::Bytes> next = script_.front();
      script_.pop_front();
      return next;
    });
  }
  ~ScriptedRandom() { AESEncrypt::setRandomSourceForTesting({}); }

  std::vector<std::size_t> requests;

 private:
  std::deque<std::optional<kx::Bytes>> script_;
};

TEST(AESEncryptTest, RoundTripsTexts) {
  const std::string texts[] = {"a",
                               "0123456789abcde",
                               "0123456789abcdef",
                               "0123456789abcdef0",
                               "用户名：张三",
                               "😀👍🏽🇨🇳 mixed 中文 text",
                               std::string(1000, 'x') + "尾"};
  for (const std::string& text : texts) {
    std::optional<std::string> enciphered = AESEncrypt::encryptText(text, kPassword);
    ASSERT_TRUE(enciphered) << text;
    EXPECT_NE(*enciphered, text);
    EXPECT_EQ(AESEncrypt::decryptText(*enciphered, kPassword), text);
  }
  EXPECT_EQ(AESEncrypt::encryptText("", kPassword), "");
  EXPECT_EQ(AESEncrypt::decryptText("", kPassword), "");
  EXPECT_EQ(AESEncrypt::encryptData(kx::Bytes(), kPassword), kx::Bytes());
}

TEST(AESEncryptTest, EachEncipheringDrawsAFreshSaltAndVector) {
  std::optional<std::string> a = AESEncrypt::encryptText("同一段文字", kPassword);
  std::optional<std::string> b = AESEncrypt::encryptText("同一段文字", kPassword);
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(AESEncrypt::decryptText(*a, kPassword), "同一段文字");
  EXPECT_EQ(AESEncrypt::decryptText(*b, kPassword), "同一段文字");
}

TEST(AESEncryptTest, BlobLayoutIsHeaderSaltVectorCiphertext) {
  ScriptedRandom random({kSalt, kIV});
  const std::string text = "0123456789abcdef0";  // 17 bytes: two blocks
  std::optional<kx::Bytes> blob = AESEncrypt::encryptData(text, kPassword);
  ASSERT_TRUE(blob);
  EXPECT_EQ(random.requests, (std::vector<std::size_t>{8, 16}));  // salt first, then vector
  ASSERT_EQ(blob->size(), 25u + 32u);
  EXPECT_EQ((*blob)[0], 0x00);
  EXPECT_EQ(kx::Bytes(blob->begin() + 1, blob->begin() + 9), kSalt);
  EXPECT_EQ(kx::Bytes(blob->begin() + 9, blob->begin() + 25), kIV);

  std::optional<kx::Bytes> key = AESEncrypt::AESKeyForPassword(kPassword, kSalt);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->size(), 32u);
  std::optional<kx::Bytes> cipher = AESEncrypt::encryptData(text, *key, kIV);
  ASSERT_TRUE(cipher);
  EXPECT_EQ(kx::Bytes(blob->begin() + 25, blob->end()), *cipher);
  // The format byte is not examined.
  kx::Bytes other = *blob;
  other[0] = 0x7f;
  EXPECT_EQ(AESEncrypt::decryptData(other, kPassword), bytesOf(text));
}

TEST(AESEncryptTest, WrongPasswordOrDamageGivesNothing) {
  ScriptedRandom random({kSalt, kIV});
  std::optional<std::string> enciphered = AESEncrypt::encryptText("秘密 secret", kPassword);
  ASSERT_TRUE(enciphered);
  EXPECT_FALSE(AESEncrypt::decryptText(*enciphered, "other@password.x").has_value());

  kx::Bytes blob = NSDataGZip::dataFromBase64String(*enciphered);
  kx::Bytes cut(blob.begin(), blob.end() - 1);  // not a whole block
  EXPECT_FALSE(AESEncrypt::decryptData(cut, kPassword).has_value());
  kx::Bytes flipped = blob;
  flipped.back() ^= 0x55;  // the padding no longer checks out
  EXPECT_FALSE(AESEncrypt::decryptData(flipped, kPassword).has_value());
}

TEST(AESEncryptTest, DataTooShortForABlobDeciphersToItself) {
  // Up to 24 bytes there is no room for a ciphertext: the bytes come back.
  for (std::size_t n : {1u, 5u, 24u}) {
    const kx::Bytes blob(n, 'A');
    EXPECT_EQ(AESEncrypt::decryptData(blob, kPassword), blob) << n;
    EXPECT_EQ(AESEncrypt::decryptText(NSDataGZip::base64EncodedString(blob), kPassword),
              std::string(n, 'A'))
        << n;
  }
  EXPECT_EQ(AESEncrypt::decryptText("YWJj", kPassword), "abc");
  EXPECT_EQ(AESEncrypt::decryptText("c2hvcnQ=", kPassword), "short");
  // Still read as UTF-8 text.
  EXPECT_FALSE(
      AESEncrypt::decryptText(NSDataGZip::base64EncodedString(kx::Bytes{0xff, 0x41}), kPassword)
          .has_value());
  // From 25 bytes on it is a blob; a header without a ciphertext fails.
  EXPECT_FALSE(AESEncrypt::decryptData(kx::Bytes(25, 'A'), kPassword).has_value());
  EXPECT_FALSE(
      AESEncrypt::decryptText(NSDataGZip::base64EncodedString(kx::Bytes(25, 'A')), kPassword)
          .has_value());
}

TEST(AESEncryptTest, DeciphersOnlyToUtf8Text) {
  ScriptedRandom random({kSalt, kIV});
  std::optional<kx::Bytes> blob =
      AESEncrypt::encryptData(kx::Bytes{0xff, 0xfe, 0x00, 0x41}, kPassword);
  ASSERT_TRUE(blob);
  EXPECT_FALSE(
      AESEncrypt::decryptText(NSDataGZip::base64EncodedString(*blob), kPassword).has_value());
  EXPECT_EQ(AESEncrypt::decryptData(*blob, kPassword), (kx::Bytes{0xff, 0xfe, 0x00, 0x41}));
}

TEST(AESEncryptTest, FailedRandomSourceFailsTheEnciphering) {
  struct Case {
    const char* what;
    std::deque<std::optional<kx::Bytes>> script;
  };
  const Case cases[] = {
      {"no salt", {std::nullopt}},
      {"no vector", {kSalt, std::nullopt}},
      {"short salt", {kx::Bytes(7, 1), kIV}},
      {"short vector", {kSalt, kx::Bytes(15, 1)}},
  };
  for (const Case& c : cases) {
    ScriptedRandom random(c.script);
    EXPECT_FALSE(AESEncrypt::encryptText("文字", kPassword).has_value()) << c.what;
    EXPECT_FALSE(AESEncrypt::encryptData(std::string_view("x"), kPassword).has_value()) << c.what;
  }
  ScriptedRandom none({});
  EXPECT_FALSE(AESEncrypt::randomDataOfLength(8).has_value());
}

TEST(AESEncryptTest, RawKeyCipherTakesAes128192And256Keys) {
  for (std::size_t keyLength : {16u, 24u, 32u}) {
    const kx::Bytes key(keyLength, 7);
    std::optional<kx::Bytes> cipher = AESEncrypt::encryptData(std::string_view("x"), key, kIV);
    ASSERT_TRUE(cipher.has_value()) << keyLength;
    EXPECT_EQ(kx::Crypto::aesCbcDecrypt(*cipher, key, kIV), kx::Bytes{'x'}) << keyLength;
  }
  const kx::Bytes key(32, 7);
  EXPECT_EQ(AESEncrypt::encryptData(kx::Bytes(), key, kIV), kx::Bytes());
  for (std::size_t keyLength : {0u, 15u, 20u, 33u}) {
    EXPECT_FALSE(
        AESEncrypt::encryptData(std::string_view("x"), kx::Bytes(keyLength, 7), kIV).has_value())
        << keyLength;
  }
  EXPECT_FALSE(AESEncrypt::encryptData(std::string_view("x"), key, kx::Bytes(8, 1)).has_value());
}

TEST(AESEncryptTest, TextFormBreaksLinesAfterSixtyFourCharacters) {
  ScriptedRandom random({kSalt, kIV});
  std::optional<std::string> text = AESEncrypt::encryptText(std::string(100, 'z'), kPassword);
  ASSERT_TRUE(text);
  // 25 + 112 = 137 bytes: 184 characters in lines of 64, 64 and 56.
  ASSERT_EQ(text->size(), 184u + 4u);
  EXPECT_EQ(text->substr(64, 2), "\r\n");
  EXPECT_EQ(text->substr(130, 2), "\r\n");
  EXPECT_NE(text->back(), '\n');
  EXPECT_EQ(AESEncrypt::decryptText(*text, kPassword), std::string(100, 'z'));
}

// ---- Vectors made by the openssl command-line tool ----------------------------

bool haveOpenssl() { return std::system("command -v openssl >/dev/null 2>&1") == 0; }

// Runs a shell command and gives its standard output; nullopt when it fails.
std::optional<std::string> run(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
  if (pclose(pipe) != 0) return std::nullopt;
  return out;
}

class AESEncryptOpensslTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveOpenssl()) GTEST_SKIP() << "the openssl command-line tool is not installed";
    dir_ = kx::Path::appendingPathComponent(root_.path(), "vectors");
    ASSERT_TRUE(kx::FileSystem::Default().createDirectory(dir_, nullptr));
  }

  std::string file(const std::string& name) { return kx::Path::appendingPathComponent(dir_, name); }
  void write(const std::string& name, const kx::Bytes& data) {
    ASSERT_TRUE(kx::FileSystem::Default().writeFile(file(name), data, nullptr));
  }
  kx::Bytes read(const std::string& name) {
    kx::Bytes data;
    EXPECT_TRUE(kx::FileSystem::Default().readFile(file(name), &data, nullptr));
    return data;
  }

  // The key openssl derives with PBKDF2-HMAC-SHA1, 1000 rounds (the first 32
  // bytes of what it prints: it derives the key and a vector together).
  std::string opensslKey(const kx::Bytes& salt) {
    std::optional<std::string> out =
        run("openssl enc -aes-256-cbc -pbkdf2 -iter 1000 -md sha1 -S " + hexOf(salt) +
            " -pass pass:" + kPassword + " -P");
    EXPECT_TRUE(out);
    if (!out) return "";
    const std::size_t at = out->find("key=");
    EXPECT_NE(at, std::string::npos);
    return at == std::string::npos ? "" : kx::Text::asciiLower(out->substr(at + 4, 64));
  }

  kxtest::TempAppRoot root_;
  std::string dir_;
};

TEST_F(AESEncryptOpensslTest, EnciphersAsOpensslDoes) {
  const std::string plain = "用户名 zhang.san@例子.cn 密码😀 0123456789 abcdefghijklmnopqrstuvwxyz";
  const std::string key = opensslKey(kSalt);
  ASSERT_EQ(key.size(), 64u);
  EXPECT_EQ(hexOf(*AESEncrypt::AESKeyForPassword(kPassword, kSalt)), key);

  write("plain", bytesOf(plain));
  ASSERT_TRUE(run("openssl enc -aes-256-cbc -K " + key + " -iv " + hexOf(kIV) + " -in " +
                  file("plain") + " -out " + file("cipher")));
  kx::Bytes blob = {0x00};
  blob.insert(blob.end(), kSalt.begin(), kSalt.end());
  blob.insert(blob.end(), kIV.begin(), kIV.end());
  const kx::Bytes cipher = read("cipher");
  blob.insert(blob.end(), cipher.begin(), cipher.end());
  write("blob", blob);
  // openssl's Base64 breaks lines after 64 characters with a line feed; the
  // stored form has a carriage return before each.
  std::optional<std::string> lines = run("openssl base64 -in " + file("blob"));
  ASSERT_TRUE(lines);
  std::string expected;
  for (char c : *lines) {
    if (c == '\n')
      expected += "\r\n";
    else
      expected += c;
  }
  while (expected.ends_with("\r\n")) expected.resize(expected.size() - 2);
  ASSERT_NE(expected.find("\r\n"), std::string::npos);

  ScriptedRandom random({kSalt, kIV});
  EXPECT_EQ(AESEncrypt::encryptText(plain, kPassword), expected);
  EXPECT_EQ(AESEncrypt::decryptText(expected, kPassword), plain);
  EXPECT_EQ(AESEncrypt::encryptData(plain, *AESEncrypt::AESKeyForPassword(kPassword, kSalt), kIV),
            cipher);
}

TEST_F(AESEncryptOpensslTest, OpensslDeciphersOurBlobs) {
  const std::string plain = "会话字段 session field ✓ 🇨🇳";
  std::optional<std::string> text = AESEncrypt::encryptText(plain, kPassword);  // system random
  ASSERT_TRUE(text);
  const kx::Bytes blob = NSDataGZip::dataFromBase64String(*text);
  ASSERT_GT(blob.size(), 25u);
  const kx::Bytes salt(blob.begin() + 1, blob.begin() + 9);
  const kx::Bytes iv(blob.begin() + 9, blob.begin() + 25);
  write("cipher", kx::Bytes(blob.begin() + 25, blob.end()));
  const std::string key = opensslKey(salt);
  std::optional<std::string> out =
      run("openssl enc -d -aes-256-cbc -K " + key + " -iv " + hexOf(iv) + " -in " + file("cipher"));
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, plain);
}

}  // namespace
