// RxMatchGroup is one capture group of a regular-expression match, as the
// regex helpers (NSRegularExpressionObjectiveCRegexCategories) report it:
// the group's text and its range in the searched text, in UTF-16 units.
// The text is missing (std::nullopt) when the group's range is empty, and
// so also for a group that did not take part in the match; such a group's
// range has the location KXNotFound.
//
// Thread safety: a plain value.
#ifndef ZN_COMMONUTILS_RXMATCHGROUP_H_
#define ZN_COMMONUTILS_RXMATCHGROUP_H_

#include <optional>
#include <string>

#include "CommonUtils/KXRange.h"

struct RxMatchGroup {
  std::optional<std::string> value;
  KXRange range;
};

#endif  // ZN_COMMONUTILS_RXMATCHGROUP_H_
