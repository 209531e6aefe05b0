// NSRegularExpressionObjectiveCRegexCategories is a small vocabulary of short
// verbs over KXRegularExpression: test, find, split, replace and list
// matches, with the expression first. The string-side mirror with the text
// first is NSStringObjectiveCRegexCategories.
//
// Every search runs over the whole text. Locations and ranges are in UTF-16
// units. Texts are UTF-8; ill-formed input is worked on as if each
// ill-formed sequence were U+FFFD, and the texts handed back come from that
// repaired text.
//
// Thread safety: pure functions; any thread.
#ifndef ZN_COMMONUTILS_NSREGULAREXPRESSIONOBJECTIVECREGEXCATEGORIES_H_
#define ZN_COMMONUTILS_NSREGULAREXPRESSIONOBJECTIVECREGEXCATEGORIES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CommonUtils/KXRegularExpression.h"
#include "CommonUtils/RxMatch.h"

class NSRegularExpressionObjectiveCRegexCategories {
 public:
  using ReplaceBlock = std::function<std::string(const std::string& matchedText)>;
  using ReplaceDetailsBlock = std::function<std::string(const RxMatch& match)>;

  NSRegularExpressionObjectiveCRegexCategories() = delete;

  // An expression without options; nullopt when the pattern is invalid.
  static std::optional<KXRegularExpression> initWithPattern(std::string_view pattern);
  static std::optional<KXRegularExpression> rx(std::string_view pattern);
  static std::optional<KXRegularExpression> rxIgnoreCase(std::string_view pattern, bool ignoreCase);
  static std::optional<KXRegularExpression> rxOptions(std::string_view pattern,
                                                      KXRegularExpression::Options options);

  static bool isMatch(const KXRegularExpression& rx, std::string_view text);
  // UTF-16 location of the first match; -1 when there is none.
  static std::int32_t indexOf(const KXRegularExpression& rx, std::string_view text);
  // The pieces between the matches, empty pieces kept: "a,b,,c" split by ","
  // gives "a", "b", "", "c"; a text without a match gives itself.
  static std::vector<std::string> split(const KXRegularExpression& rx, std::string_view text);
  // Every match replaced by the template ("$1" for a group).
  static std::string replace(const KXRegularExpression& rx, std::string_view text,
                             std::string_view templ);
  // Every match replaced by what the block returns for its text; the text
  // unchanged when the block is empty.
  static std::string replaceWithBlock(const KXRegularExpression& rx, std::string_view text,
                                      const ReplaceBlock& block);
  // As replaceWithBlock, the block receiving the match's details.
  static std::string replaceWithDetailsBlock(const KXRegularExpression& rx, std::string_view text,
                                             const ReplaceDetailsBlock& block);
  // The matched texts in order (an empty match gives "").
  static std::vector<std::string> matches(const KXRegularExpression& rx, std::string_view text);
  static std::optional<std::string> firstMatch(const KXRegularExpression& rx,
                                               std::string_view text);
  // The RxMatch of a match result found by searching `original`.
  static RxMatch resultToMatch(const KXRegularExpression& rx,
                               const KXRegularExpression::Match& result,
                               std::shared_ptr<const std::string> original);
  static RxMatch resultToMatch(const KXRegularExpression& rx,
                               const KXRegularExpression::Match& result,
                               const std::string& original);
  static std::vector<RxMatch> matchesWithDetails(const KXRegularExpression& rx,
                                                 std::string_view text);
  static std::optional<RxMatch> firstMatchWithDetails(const KXRegularExpression& rx,
                                                      std::string_view text);
};

#endif  // ZN_COMMONUTILS_NSREGULAREXPRESSIONOBJECTIVECREGEXCATEGORIES_H_
