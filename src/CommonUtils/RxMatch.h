// RxMatch is one match of a regular expression as the regex helpers
// (NSRegularExpressionObjectiveCRegexCategories) report it: the matched text
// (missing when the match is empty), its range in UTF-16 units, one
// RxMatchGroup per range of the match (index 0 the whole match, then each
// capture group of the pattern) and the text that was searched, which all
// matches of one search share.
//
// Thread safety: a plain value; the shared original is immutable.
#ifndef ZN_COMMONUTILS_RXMATCH_H_
#define ZN_COMMONUTILS_RXMATCH_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CommonUtils/KXRange.h"
#include "CommonUtils/RxMatchGroup.h"

struct RxMatch {
  std::optional<std::string> value;
  KXRange range;
  std::vector<RxMatchGroup> groups;
  std::shared_ptr<const std::string> original;
};

#endif  // ZN_COMMONUTILS_RXMATCH_H_
