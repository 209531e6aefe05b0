#include "CommonUtils/KXSizeUtil.h"

#include "platform/Text.h"

std::string KXSizeUtil::sizeStringFromSize(std::int64_t size) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
  if (size <= 0) return "0B";
  const auto bytes = static_cast<std::uint64_t>(size);
  unsigned unit = 0;
  constexpr unsigned kUnitCount = sizeof kUnits / sizeof kUnits[0];
  while (unit + 1 < kUnitCount && (bytes >> (10 * (unit + 1))) > 0) {
    ++unit;
  }
  // Tenths of the unit, exact: size * 10 / 1024^unit, truncated.
  const unsigned __int128 tenths = (static_cast<unsigned __int128>(bytes) * 10) >> (10 * unit);
  const auto whole = static_cast<std::uint64_t>(tenths / 10);
  const auto fraction = static_cast<std::uint64_t>(tenths % 10);
  return kx::Text::toString(whole) + "." + kx::Text::toString(fraction) + " " + kUnits[unit];
}
