// KXSizeUtil writes a byte count for people: the whole number of the largest
// power-of-1024 unit that fits, one decimal digit (tenths of that unit,
// truncated) and the unit: "0B" for 0 or less, "1023.0 B", "1.5 KB",
// "15.5 KB", up to "EB" for counts of 1024^6 bytes and more.
//
// Thread safety: pure function.
#ifndef ZN_COMMONUTILS_KXSIZEUTIL_H_
#define ZN_COMMONUTILS_KXSIZEUTIL_H_

#include <cstdint>
#include <string>

class KXSizeUtil {
 public:
  KXSizeUtil() = delete;

  static std::string sizeStringFromSize(std::int64_t size);
};

#endif  // ZN_COMMONUTILS_KXSIZEUTIL_H_
