// KXRegularExpression is the client's regular-expression class: a compiled
// pattern that finds, lists and replaces matches in UTF-8 text, with the
// behaviour the rest of the code relies on:
//  - patterns run in UTF-8 mode with Unicode properties: \d, \w and \s follow
//    Unicode categories (\s takes U+00A0 and U+3000 too), case-insensitive
//    matching folds non-ASCII letters, and every Unicode line terminator ends
//    a line for ".", "^" and "$" (only "\n" with UseUnixLineSeparators);
//  - a pattern that cannot be compiled gives no expression (std::nullopt),
//    never an exception;
//  - matches are found left to right; after an empty match the next search
//    starts one character further on, so each position gives at most one
//    empty match;
//  - match ranges are reported in UTF-16 units of the searched text (the way
//    the client measures text), and also as byte offsets into it; a capture
//    group that did not take part has the range {KXNotFound, 0};
//  - replacement templates use "$n" for group n ("$0" the whole match): the
//    first digit is always read, further digits only while the number stays
//    a group of the pattern, so with two groups "$12" is group 1 and a "2";
//    a group that is not in the pattern or did not take part gives nothing;
//    a backslash takes the next character literally ("\$", "\\"); a "$" not
//    followed by a digit is literal.
//
// The searched text is expected to be well-formed UTF-8. Ill-formed text is
// searched as if each ill-formed sequence were U+FFFD (kx::Text::toValidUtf8),
// and byte offsets then refer to that repaired text; the helpers built on
// this class repair their input first so that the two always agree. A match
// that the engine gives up on (its backtracking or stack limits) ends the
// search as if nothing more matched. Texts and patterns of 2 GiB or more do
// not match.
//
// Thread safety: an expression is immutable after creation; copies share the
// compiled pattern, and any number of threads may search with it at once.
#ifndef ZN_COMMONUTILS_KXREGULAREXPRESSION_H_
#define ZN_COMMONUTILS_KXREGULAREXPRESSION_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CommonUtils/KXRange.h"
#include "platform/Error.h"

inline constexpr const char* kKXRegularExpressionErrorDomain = "KXRegularExpressionErrorDomain";

class KXRegularExpression {
 public:
  // Option bits, with the values of the platform's expression options.
  using Options = std::uint32_t;
  static constexpr Options CaseInsensitive = 1u << 0;
  static constexpr Options AllowCommentsAndWhitespace = 1u << 1;
  static constexpr Options IgnoreMetacharacters = 1u << 2;  // the pattern is literal text
  static constexpr Options DotMatchesLineSeparators = 1u << 3;
  static constexpr Options AnchorsMatchLines = 1u << 4;
  static constexpr Options UseUnixLineSeparators = 1u << 5;
  // Accepted for compatibility; word boundaries are always those of \w.
  static constexpr Options UseUnicodeWordBoundaries = 1u << 6;

  // A byte span of the searched text; offset npos when the group did not
  // take part.
  struct ByteRange {
    std::size_t offset = std::string_view::npos;
    std::size_t length = 0;
    bool found() const { return offset != std::string_view::npos; }
  };

  // One match: index 0 is the whole match, index i capture group i. Both
  // vectors have numberOfCaptureGroups() + 1 entries.
  struct Match {
    std::vector<KXRange> ranges;
    std::vector<ByteRange> byteRanges;

    KXRange range() const { return ranges.empty() ? KXRange{} : ranges[0]; }
    std::size_t numberOfRanges() const { return ranges.size(); }
    // {KXNotFound, 0} for an index beyond the groups.
    KXRange rangeAtIndex(std::size_t index) const;
    // The text of range `index` in `text` (the text that was searched);
    // nullopt for a group that did not take part or an index beyond the
    // groups.
    std::optional<std::string_view> substring(std::string_view text, std::size_t index) const;
  };

  // nullopt, with *error of kKXRegularExpressionErrorDomain naming the
  // compiler's complaint, when the pattern cannot be compiled (also for a
  // pattern holding a NUL character or ill-formed UTF-8).
  static std::optional<KXRegularExpression> make(std::string_view pattern, Options options = 0,
                                                 kx::Error* error = nullptr);

  const std::string& pattern() const;
  Options options() const;
  std::size_t numberOfCaptureGroups() const;

  // Calls `block` with each match in order until it returns false.
  void enumerateMatches(std::string_view text,
                        const std::function<bool(const Match&)>& block) const;
  std::vector<Match> matches(std::string_view text) const;
  std::optional<Match> firstMatch(std::string_view text) const;
  std::size_t numberOfMatches(std::string_view text) const;

  // Every match replaced by the template expanded for it.
  std::string replacingMatches(std::string_view text, std::string_view templ) const;
  // The template expanded for one match of `text`.
  std::string replacementString(const Match& match, std::string_view text,
                                std::string_view templ) const;

  // `text` with every character that has a meaning in patterns escaped, so
  // that the result matches `text` literally.
  static std::string escapedPattern(std::string_view text);
  // `text` with "\" and "$" escaped, so that as a template it gives itself.
  static std::string escapedTemplate(std::string_view text);

 private:
  struct Compiled;
  explicit KXRegularExpression(std::shared_ptr<const Compiled> compiled);
  // Searches well-formed UTF-8 text.
  void enumerateValid(std::string_view text, const std::function<bool(const Match&)>& block) const;

  std::shared_ptr<const Compiled> compiled_;
};

#endif  // ZN_COMMONUTILS_KXREGULAREXPRESSION_H_
