// ZZStandardCryptoEngine is the traditional PKWARE zip cipher: three 32-bit
// keys that start at 0x12345678, 0x23456789 and 0x34567890, are fed the
// password and then every plain byte (CRC-32 table and the multiplier
// 134775813), and whose key 2 yields the byte that is XORed with the data.
//
// Thread safety: one thread at a time.
#ifndef ZN_COMMONUTILS_ZIP_ZZSTANDARDCRYPTOENGINE_H_
#define ZN_COMMONUTILS_ZIP_ZZSTANDARDCRYPTOENGINE_H_

#include <cstddef>
#include <cstdint>

class ZZStandardCryptoEngine {
 public:
  ZZStandardCryptoEngine();

  // Starts the keys afresh and feeds them the password bytes.
  void initKeys(const std::uint8_t* password, std::size_t length);
  void updateKeys(std::uint8_t plain);
  std::uint8_t decryptByte() const;
  // Decrypts in place, updating the keys with each plain byte.
  void decrypt(std::uint8_t* bytes, std::size_t length);
  // Encrypts in place (used to make archives in tests).
  void encrypt(std::uint8_t* bytes, std::size_t length);

 private:
  std::uint32_t keys_[3];
};

#endif  // ZN_COMMONUTILS_ZIP_ZZSTANDARDCRYPTOENGINE_H_
