#include "WebRequest/KXURLError.h"

#include <utility>

kx::Error KXURLError::make(std::int64_t code, kx::Value userInfo) {
  return kx::Error(kx::kURLErrorDomain, code, std::move(userInfo));
}

bool KXURLError::is(const kx::Error& error, std::int64_t code) {
  return error.domain() == kx::kURLErrorDomain && error.code() == code;
}
