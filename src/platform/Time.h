// kx::Time reads the wall clock and formats moments in local time.
//
// Moments are seconds since 1970 (UTC). Local-time formatting uses the
// process's time zone (TZ) and a strftime pattern; numeric fields such as
// %Y %m %d %H %M %S do not depend on the locale.
//
// Thread safety: all functions may be called from any thread (the local-time
// conversion is the reentrant one).
#ifndef ZN_PLATFORM_TIME_H_
#define ZN_PLATFORM_TIME_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kx {

class Time {
 public:
  Time() = delete;

  // Whole seconds since 1970.
  static std::int64_t nowSeconds();
  // Seconds since 1970 with the fraction, to the microsecond.
  static double now();
  // Microseconds since 1970.
  static std::int64_t nowMicroseconds();
  // The microseconds field of the current time alone, 0 to 999999.
  static std::int32_t microsecondsField();

  // `seconds` since 1970 as local time, formatted with a strftime pattern,
  // e.g. formatLocal(t, "%Y/%m/%d %H:%M:%S") gives "2024/03/09 14:05:07".
  static std::string formatLocal(std::int64_t seconds, std::string_view pattern);
};

}  // namespace kx

#endif  // ZN_PLATFORM_TIME_H_
