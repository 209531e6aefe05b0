// ZZDOSDate converts between the DOS date and time of zip headers and
// seconds since 1970, in the local time zone.
//
// DOS time: seconds / 2 in bits 0-4, minute in 5-10, hour in 11-15; DOS date:
// day in bits 0-4, month in 5-8, year - 1980 in 9-15. Written times are
// always valid: the seconds field is (seconds + 1) / 2, so odd seconds round
// up, except that :59 gives 29 (never a field of 30), and dates outside 1980
// to 2107 are clamped to the nearest one the fields hold.
//
// Thread safety: pure functions (localtime_r and mktime).
#ifndef ZN_COMMONUTILS_ZIP_ZZDOSDATE_H_
#define ZN_COMMONUTILS_ZIP_ZZDOSDATE_H_

#include <cstdint>

struct ZZDOSDate {
  std::uint16_t time = 0;
  std::uint16_t date = 0;

  static double toSecondsSince1970(std::uint16_t dosTime, std::uint16_t dosDate);
  static ZZDOSDate fromSecondsSince1970(double seconds);
};

#endif  // ZN_COMMONUTILS_ZIP_ZZDOSDATE_H_
