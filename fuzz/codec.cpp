// Fuzz target of the byte codecs: Base64 (strict and lenient, and the text
// form the cipher stores), compressed buffers and gzip files. Nothing may
// crash or ask for memory a small input cannot need, and every encoding
// decodes back to what was encoded.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CommonUtils/NSDataGZip.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"

namespace {

const std::string& gzipPath() {
  static const std::string path = [] {
    char folder[] = "/tmp/zn-fuzz-codec-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    return std::string(folder) + "/data.gz";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const kx::Bytes bytes(data, data + size);
  using kx::Crypto;

  if (auto strict = Crypto::base64Decode(text)) {
    if (Crypto::base64Decode(Crypto::base64Encode(*strict)) != strict) std::abort();
  }
  auto lenient = Crypto::base64Decode(text, Crypto::Base64Decoding::IgnoreUnknownCharacters);
  if (!lenient) std::abort();  // never fails
  for (auto lines :
       {Crypto::Base64Lines::None, Crypto::Base64Lines::Length64, Crypto::Base64Lines::Length76}) {
    if (Crypto::base64Decode(Crypto::base64Encode(bytes, lines),
                             Crypto::Base64Decoding::IgnoreUnknownCharacters) != bytes) {
      std::abort();
    }
  }
  (void)NSDataGZip::dataFromBase64String(text);
  if (NSDataGZip::dataFromBase64String(NSDataGZip::base64EncodedString(bytes)) != bytes) {
    std::abort();
  }

  auto compressed = NSDataGZip::compressGZip(bytes);
  if (!compressed || NSDataGZip::decompressGZip(*compressed) != bytes) std::abort();
  if (auto plain = NSDataGZip::decompressGZip(bytes)) {
    auto again = NSDataGZip::compressGZip(*plain);
    if (!again || NSDataGZip::decompressGZip(*again) != plain) std::abort();
  }

  if (!kx::FileSystem::Default().writeFile(gzipPath(), text, nullptr)) std::abort();
  (void)NSDataGZip::initWithGZipFile(gzipPath());
  return 0;
}
