// Fuzz target of the text cipher. The input is a password, a NUL, and a
// blob or text. Deciphering anything must not crash and fails cleanly for
// damaged data; whatever is enciphered deciphers back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CommonUtils/AESEncrypt.h"
#include "platform/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view password = input.substr(0, nul);
  const std::string_view rest =
      nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
  const kx::Bytes blob(rest.begin(), rest.end());

  auto plain = AESEncrypt::decryptData(blob, password);
  if (blob.size() < AESEncrypt::kHeaderLength && plain != blob) std::abort();
  (void)AESEncrypt::decryptText(rest, password);

  auto sealed = AESEncrypt::encryptData(blob, password);
  if (!sealed || AESEncrypt::decryptData(*sealed, password) != blob) std::abort();
  if (kx::Text::isValidUtf8(rest)) {
    auto text = AESEncrypt::encryptText(rest, password);
    if (!text || AESEncrypt::decryptText(*text, password) != std::string(rest)) std::abort();
  }
  return 0;
}
