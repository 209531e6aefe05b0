// NSNumberBoolString converts numbers for the service and the page:
//  - boolStringValue: "true" or "false" by the value's boolean reading;
//  - dateNumber: a time stamp brought to seconds: a value above
//    10,000,000,000 is taken as milliseconds and divided by 1000, and again
//    while the value before the division had more digits than a time in
//    milliseconds (above 10,000,000,000,999), so microseconds are divided
//    twice. Smaller values are returned as they are.
//
// Thread safety: pure functions.
#ifndef ZN_COMMONUTILS_NSNUMBERBOOLSTRING_H_
#define ZN_COMMONUTILS_NSNUMBERBOOLSTRING_H_

#include <string>

#include "platform/Value.h"

class NSNumberBoolString {
 public:
  NSNumberBoolString() = delete;

  static std::string boolStringValue(const kx::Value& number);
  static kx::Value dateNumber(const kx::Value& number);
};

#endif  // ZN_COMMONUTILS_NSNUMBERBOOLSTRING_H_
