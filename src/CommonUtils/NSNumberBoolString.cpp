#include "CommonUtils/NSNumberBoolString.h"

#include <cstdint>

std::string NSNumberBoolString::boolStringValue(const kx::Value& number) {
  return number.boolValue() ? "true" : "false";
}

kx::Value NSNumberBoolString::dateNumber(const kx::Value& number) {
  constexpr std::int64_t kLargestSeconds = 10'000'000'000;
  constexpr std::int64_t kLargestMilliseconds = 10'000'000'000'999;
  std::int64_t value = number.intValue();
  if (value <= kLargestSeconds) return kx::Value(value);
  std::int64_t before;
  do {
    before = value;
    value /= 1000;
  } while (before > kLargestMilliseconds);
  return kx::Value(value);
}
