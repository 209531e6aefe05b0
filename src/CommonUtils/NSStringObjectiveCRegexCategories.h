// NSStringObjectiveCRegexCategories mirrors the regex verbs of
// NSRegularExpressionObjectiveCRegexCategories with the text first and the
// expression second, and builds expressions from a text taken as pattern.
//
// The expression argument is optional so that an expression built in place
// can be passed straight on: isMatch(text, toRx("a+")). With no expression
// (an invalid pattern) nothing matches: isMatch is false, indexOf -1, split
// gives the whole text, the replacements give the text unchanged and the
// lists are empty.
//
// Thread safety: pure functions; any thread.
#ifndef ZN_COMMONUTILS_NSSTRINGOBJECTIVECREGEXCATEGORIES_H_
#define ZN_COMMONUTILS_NSSTRINGOBJECTIVECREGEXCATEGORIES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CommonUtils/KXRegularExpression.h"
#include "CommonUtils/NSRegularExpressionObjectiveCRegexCategories.h"
#include "CommonUtils/RxMatch.h"

class NSStringObjectiveCRegexCategories {
 public:
  using OptionalRx = std::optional<KXRegularExpression>;

  NSStringObjectiveCRegexCategories() = delete;

  // The text as a pattern; nullopt when it is not a valid one.
  static OptionalRx toRx(std::string_view pattern);
  static OptionalRx toRxIgnoreCase(std::string_view pattern, bool ignoreCase);
  static OptionalRx toRxWithOptions(std::string_view pattern, KXRegularExpression::Options options);

  static bool isMatch(std::string_view text, const OptionalRx& rx);
  static std::int32_t indexOf(std::string_view text, const OptionalRx& rx);
  static std::vector<std::string> split(std::string_view text, const OptionalRx& rx);
  static std::string replace(std::string_view text, const OptionalRx& rx, std::string_view templ);
  static std::string replaceWithBlock(
      std::string_view text, const OptionalRx& rx,
      const NSRegularExpressionObjectiveCRegexCategories::ReplaceBlock& block);
  static std::string replaceWithDetailsBlock(
      std::string_view text, const OptionalRx& rx,
      const NSRegularExpressionObjectiveCRegexCategories::ReplaceDetailsBlock& block);
  static std::vector<std::string> matches(std::string_view text, const OptionalRx& rx);
  static std::optional<std::string> firstMatch(std::string_view text, const OptionalRx& rx);
  static std::vector<RxMatch> matchesWithDetails(std::string_view text, const OptionalRx& rx);
  static std::optional<RxMatch> firstMatchWithDetails(std::string_view text, const OptionalRx& rx);
};

#endif  // ZN_COMMONUTILS_NSSTRINGOBJECTIVECREGEXCATEGORIES_H_
