// KXCookieUtil reads cookie texts ("name=value; attribute=value; ...") into
// dictionaries.
//
//  - cookieForValue: the text split at ";", each piece at "=", both sides
//    trimmed of blanks. The first piece gives "name" (its left side) and
//    "value" (its right side, only when the piece has exactly one "=");
//    every later piece with exactly one "=" adds its attribute and value.
//  - cookiesFromObject: for an array of cookie texts, each cookie's name to
//    its dictionary; for one cookie text, the one-entry form; otherwise
//    nullopt.
//
// Thread safety: pure functions.
#ifndef ZN_ACCOUNT_KXCOOKIEUTIL_H_
#define ZN_ACCOUNT_KXCOOKIEUTIL_H_

#include <optional>
#include <string_view>

#include "platform/Value.h"

class KXCookieUtil {
 public:
  KXCookieUtil() = delete;

  static kx::Dictionary cookieForValue(std::string_view cookie);
  static std::optional<kx::Dictionary> cookiesFromObject(const kx::Value& object);
};

#endif  // ZN_ACCOUNT_KXCOOKIEUTIL_H_
