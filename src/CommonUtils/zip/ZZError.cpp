#include "CommonUtils/zip/ZZError.h"

kx::Error ZZError::make(ZZErrorCode code) {
  return kx::Error(ZZErrorDomain, code, kx::Value(kx::Dictionary()));
}

kx::Error ZZError::withUnderlying(ZZErrorCode code, const kx::Error& underlying) {
  kx::Dictionary info;
  if (underlying) info.set(kx::kUnderlyingErrorKey, toValue(underlying));
  return kx::Error(ZZErrorDomain, code, kx::Value(std::move(info)));
}

kx::Error ZZError::withUnderlyingAndIndex(ZZErrorCode code, const kx::Error& underlying,
                                          std::size_t index) {
  kx::Error error = withUnderlying(code, underlying);
  error.mutableUserInfo().set(ZZEntryIndexKey, kx::Value(static_cast<std::uint64_t>(index)));
  return error;
}

kx::Error ZZError::withIndex(ZZErrorCode code, std::size_t index) {
  kx::Dictionary info;
  info.set(ZZEntryIndexKey, kx::Value(static_cast<std::uint64_t>(index)));
  return kx::Error(ZZErrorDomain, code, kx::Value(std::move(info)));
}

kx::Value ZZError::toValue(const kx::Error& error) {
  kx::Dictionary d;
  d.set("domain", kx::Value(error.domain()));
  d.set("code", kx::Value(static_cast<long long>(error.code())));
  d.set("userInfo", error.userInfo());
  return kx::Value(std::move(d));
}

kx::Error ZZError::fromValue(const kx::Value& value) {
  if (!value.isDictionary() || !value["domain"].isString()) return kx::Error();
  return kx::Error(value["domain"].string(), value["code"].intValue(), value["userInfo"]);
}

kx::Error ZZError::underlying(const kx::Error& error) {
  const kx::Value* u = error.userInfo().find(kx::kUnderlyingErrorKey);
  return u ? fromValue(*u) : kx::Error();
}
