// KXTimeUtil reads the clock for a cheap varying number: currentTime() is the
// microseconds field of the current time of day (0 to 999,999), not a count
// since 1970. It names temporary files and numbers new resource entries.
//
// Thread safety: callable from any thread.
#ifndef ZN_COMMONUTILS_KXTIMEUTIL_H_
#define ZN_COMMONUTILS_KXTIMEUTIL_H_

#include <cstdint>

class KXTimeUtil {
 public:
  KXTimeUtil() = delete;

  static std::int64_t currentTime();
};

#endif  // ZN_COMMONUTILS_KXTIMEUTIL_H_
