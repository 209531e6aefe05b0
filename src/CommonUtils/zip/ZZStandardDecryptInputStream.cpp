#include "CommonUtils/zip/ZZStandardDecryptInputStream.h"

#include <cstring>

#include "CommonUtils/zip/ZZError.h"

ZZStandardDecryptInputStream::ZZStandardDecryptInputStream(std::unique_ptr<ZZInputStream> upstream)
    : upstream_(std::move(upstream)) {}

std::unique_ptr<ZZStandardDecryptInputStream> ZZStandardDecryptInputStream::create(
    std::unique_ptr<ZZInputStream> upstream, const std::string& password,
    const std::uint8_t* header, std::uint16_t check, std::uint8_t version, kx::Error* error) {
  std::unique_ptr<ZZStandardDecryptInputStream> stream(
      new ZZStandardDecryptInputStream(std::move(upstream)));
  stream->crypto_.initKeys(reinterpret_cast<const std::uint8_t*>(password.data()), password.size());
  std::uint8_t plain[kHeaderLength];
  std::memcpy(plain, header, kHeaderLength);
  stream->crypto_.decrypt(plain, kHeaderLength);
  bool ok = plain[11] == static_cast<std::uint8_t>(check >> 8);
  if (ok && version < 20) ok = plain[10] == static_cast<std::uint8_t>(check & 0xff);
  if (!ok) {
    kx::SetError(error, ZZError::make(ZZWrongPassword));
    return nullptr;
  }
  return stream;
}

ssize_t ZZStandardDecryptInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  ssize_t got = upstream_->read(buffer, maxLength);
  if (got > 0) crypto_.decrypt(buffer, static_cast<std::size_t>(got));
  return got;
}
