#include "CommonUtils/NSRegularExpressionObjectiveCRegexCategories.h"

#include <utility>

#include "platform/Text.h"

namespace {

using Match = KXRegularExpression::Match;

// The text as the search sees it: well-formed UTF-8, repaired when needed,
// so that byte ranges of the matches index the text handed on.
class ValidText {
 public:
  explicit ValidText(std::string_view text) {
    if (kx::Text::isValidUtf8(text)) {
      view_ = text;
    } else {
      repaired_ = kx::Text::toValidUtf8(text);
      view_ = repaired_;
    }
  }
  std::string_view view() const { return view_; }

 private:
  std::string repaired_;
  std::string_view view_;
};

std::string matchedText(const Match& match, std::string_view text) {
  std::optional<std::string_view> piece = match.substring(text, 0);
  return piece ? std::string(*piece) : std::string();
}

}  // namespace

std::optional<KXRegularExpression> NSRegularExpressionObjectiveCRegexCategories::initWithPattern(
    std::string_view pattern) {
  return KXRegularExpression::make(pattern, 0);
}

std::optional<KXRegularExpression> NSRegularExpressionObjectiveCRegexCategories::rx(
    std::string_view pattern) {
  return initWithPattern(pattern);
}

std::optional<KXRegularExpression> NSRegularExpressionObjectiveCRegexCategories::rxIgnoreCase(
    std::string_view pattern, bool ignoreCase) {
  return KXRegularExpression::make(pattern, ignoreCase ? KXRegularExpression::CaseInsensitive : 0);
}

std::optional<KXRegularExpression> NSRegularExpressionObjectiveCRegexCategories::rxOptions(
    std::string_view pattern, KXRegularExpression::Options options) {
  return KXRegularExpression::make(pattern, options);
}

bool NSRegularExpressionObjectiveCRegexCategories::isMatch(const KXRegularExpression& rx,
                                                           std::string_view text) {
  return rx.firstMatch(text).has_value();
}

std::int32_t NSRegularExpressionObjectiveCRegexCategories::indexOf(const KXRegularExpression& rx,
                                                                   std::string_view text) {
  std::optional<Match> match = rx.firstMatch(text);
  return match ? static_cast<std::int32_t>(match->range().location) : -1;
}

std::vector<std::string> NSRegularExpressionObjectiveCRegexCategories::split(
    const KXRegularExpression& rx, std::string_view text) {
  ValidText valid(text);
  std::string_view s = valid.view();
  std::vector<std::string> pieces;
  std::size_t pieceStart = 0;
  rx.enumerateMatches(s, [&](const Match& m) {
    const KXRegularExpression::ByteRange& whole = m.byteRanges[0];
    pieces.emplace_back(s.substr(pieceStart, whole.offset - pieceStart));
    pieceStart = whole.offset + whole.length;
    return true;
  });
  pieces.emplace_back(s.substr(pieceStart));
  return pieces;
}

std::string NSRegularExpressionObjectiveCRegexCategories::replace(const KXRegularExpression& rx,
                                                                  std::string_view text,
                                                                  std::string_view templ) {
  return rx.replacingMatches(text, templ);
}

std::string NSRegularExpressionObjectiveCRegexCategories::replaceWithBlock(
    const KXRegularExpression& rx, std::string_view text, const ReplaceBlock& block) {
  if (!block) return std::string(text);
  ValidText valid(text);
  std::string_view s = valid.view();
  std::string out;
  std::size_t copied = 0;
  rx.enumerateMatches(s, [&](const Match& m) {
    const KXRegularExpression::ByteRange& whole = m.byteRanges[0];
    out.append(s.substr(copied, whole.offset - copied));
    out.append(block(matchedText(m, s)));
    copied = whole.offset + whole.length;
    return true;
  });
  out.append(s.substr(copied));
  return out;
}

std::string NSRegularExpressionObjectiveCRegexCategories::replaceWithDetailsBlock(
    const KXRegularExpression& rx, std::string_view text, const ReplaceDetailsBlock& block) {
  if (!block) return std::string(text);
  ValidText valid(text);
  std::string_view s = valid.view();
  auto original = std::make_shared<const std::string>(s);
  std::string out;
  std::size_t copied = 0;
  rx.enumerateMatches(*original, [&](const Match& m) {
    const KXRegularExpression::ByteRange& whole = m.byteRanges[0];
    out.append(s.substr(copied, whole.offset - copied));
    out.append(block(resultToMatch(rx, m, original)));
    copied = whole.offset + whole.length;
    return true;
  });
  out.append(s.substr(copied));
  return out;
}

std::vector<std::string> NSRegularExpressionObjectiveCRegexCategories::matches(
    const KXRegularExpression& rx, std::string_view text) {
  ValidText valid(text);
  std::vector<std::string> result;
  rx.enumerateMatches(valid.view(), [&](const Match& m) {
    result.push_back(matchedText(m, valid.view()));
    return true;
  });
  return result;
}

std::optional<std::string> NSRegularExpressionObjectiveCRegexCategories::firstMatch(
    const KXRegularExpression& rx, std::string_view text) {
  ValidText valid(text);
  std::optional<Match> match = rx.firstMatch(valid.view());
  if (!match) return std::nullopt;
  return matchedText(*match, valid.view());
}

RxMatch NSRegularExpressionObjectiveCRegexCategories::resultToMatch(
    const KXRegularExpression& rx, const KXRegularExpression::Match& result,
    std::shared_ptr<const std::string> original) {
  (void)rx;
  if (!original) original = std::make_shared<const std::string>();
  RxMatch match;
  match.range = result.range();
  match.groups.reserve(result.numberOfRanges());
  for (std::size_t i = 0; i < result.numberOfRanges(); ++i) {
    RxMatchGroup group;
    group.range = result.rangeAtIndex(i);
    std::optional<std::string_view> piece = result.substring(*original, i);
    if (piece && !piece->empty()) group.value = std::string(*piece);
    match.groups.push_back(std::move(group));
  }
  if (!match.groups.empty()) match.value = match.groups[0].value;
  match.original = std::move(original);
  return match;
}

RxMatch NSRegularExpressionObjectiveCRegexCategories::resultToMatch(
    const KXRegularExpression& rx, const KXRegularExpression::Match& result,
    const std::string& original) {
  return resultToMatch(rx, result, std::make_shared<const std::string>(original));
}

std::vector<RxMatch> NSRegularExpressionObjectiveCRegexCategories::matchesWithDetails(
    const KXRegularExpression& rx, std::string_view text) {
  ValidText valid(text);
  auto original = std::make_shared<const std::string>(valid.view());
  std::vector<RxMatch> result;
  rx.enumerateMatches(*original, [&](const Match& m) {
    result.push_back(resultToMatch(rx, m, original));
    return true;
  });
  return result;
}

std::optional<RxMatch> NSRegularExpressionObjectiveCRegexCategories::firstMatchWithDetails(
    const KXRegularExpression& rx, std::string_view text) {
  ValidText valid(text);
  auto original = std::make_shared<const std::string>(valid.view());
  std::optional<Match> match = rx.firstMatch(*original);
  if (!match) return std::nullopt;
  return resultToMatch(rx, *match, original);
}
