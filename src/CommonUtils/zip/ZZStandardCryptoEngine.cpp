#include "CommonUtils/zip/ZZStandardCryptoEngine.h"

#include <zlib.h>

namespace {

std::uint32_t crc32Step(std::uint32_t crc, std::uint8_t b) {
  static const z_crc_t* table = get_crc_table();
  return table[(crc ^ b) & 0xff] ^ (crc >> 8);
}

}  // namespace

ZZStandardCryptoEngine::ZZStandardCryptoEngine() { initKeys(nullptr, 0); }

void ZZStandardCryptoEngine::initKeys(const std::uint8_t* password, std::size_t length) {
  keys_[0] = 0x12345678;
  keys_[1] = 0x23456789;
  keys_[2] = 0x34567890;
  for (std::size_t i = 0; i < length; ++i) updateKeys(password[i]);
}

void ZZStandardCryptoEngine::updateKeys(std::uint8_t plain) {
  keys_[0] = crc32Step(keys_[0], plain);
  keys_[1] = keys_[1] + (keys_[0] & 0xff);
  keys_[1] = keys_[1] * 134775813u + 1;
  keys_[2] = crc32Step(keys_[2], static_cast<std::uint8_t>(keys_[1] >> 24));
}

std::uint8_t ZZStandardCryptoEngine::decryptByte() const {
  const std::uint32_t temp = (keys_[2] | 2) & 0xffff;
  return static_cast<std::uint8_t>((temp * (temp ^ 1)) >> 8);
}

void ZZStandardCryptoEngine::decrypt(std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t plain = bytes[i] ^ decryptByte();
    updateKeys(plain);
    bytes[i] = plain;
  }
}

void ZZStandardCryptoEngine::encrypt(std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t plain = bytes[i];
    bytes[i] = plain ^ decryptByte();
    updateKeys(plain);
  }
}
