#include "CommonUtils/NSStringObjectiveCRegexCategories.h"

using Rx = NSRegularExpressionObjectiveCRegexCategories;

NSStringObjectiveCRegexCategories::OptionalRx NSStringObjectiveCRegexCategories::toRx(
    std::string_view pattern) {
  return Rx::rx(pattern);
}

NSStringObjectiveCRegexCategories::OptionalRx NSStringObjectiveCRegexCategories::toRxIgnoreCase(
    std::string_view pattern, bool ignoreCase) {
  return Rx::rxIgnoreCase(pattern, ignoreCase);
}

NSStringObjectiveCRegexCategories::OptionalRx NSStringObjectiveCRegexCategories::toRxWithOptions(
    std::string_view pattern, KXRegularExpression::Options options) {
  return Rx::rxOptions(pattern, options);
}

bool NSStringObjectiveCRegexCategories::isMatch(std::string_view text, const OptionalRx& rx) {
  return rx && Rx::isMatch(*rx, text);
}

std::int32_t NSStringObjectiveCRegexCategories::indexOf(std::string_view text,
                                                        const OptionalRx& rx) {
  return rx ? Rx::indexOf(*rx, text) : -1;
}

std::vector<std::string> NSStringObjectiveCRegexCategories::split(std::string_view text,
                                                                  const OptionalRx& rx) {
  if (!rx) return {std::string(text)};
  return Rx::split(*rx, text);
}

std::string NSStringObjectiveCRegexCategories::replace(std::string_view text, const OptionalRx& rx,
                                                       std::string_view templ) {
  return rx ? Rx::replace(*rx, text, templ) : std::string(text);
}

std::string NSStringObjectiveCRegexCategories::replaceWithBlock(std::string_view text,
                                                                const OptionalRx& rx,
                                                                const Rx::ReplaceBlock& block) {
  return rx ? Rx::replaceWithBlock(*rx, text, block) : std::string(text);
}

std::string NSStringObjectiveCRegexCategories::replaceWithDetailsBlock(
    std::string_view text, const OptionalRx& rx, const Rx::ReplaceDetailsBlock& block) {
  return rx ? Rx::replaceWithDetailsBlock(*rx, text, block) : std::string(text);
}

std::vector<std::string> NSStringObjectiveCRegexCategories::matches(std::string_view text,
                                                                    const OptionalRx& rx) {
  return rx ? Rx::matches(*rx, text) : std::vector<std::string>();
}

std::optional<std::string> NSStringObjectiveCRegexCategories::firstMatch(std::string_view text,
                                                                         const OptionalRx& rx) {
  return rx ? Rx::firstMatch(*rx, text) : std::nullopt;
}

std::vector<RxMatch> NSStringObjectiveCRegexCategories::matchesWithDetails(std::string_view text,
                                                                           const OptionalRx& rx) {
  return rx ? Rx::matchesWithDetails(*rx, text) : std::vector<RxMatch>();
}

std::optional<RxMatch> NSStringObjectiveCRegexCategories::firstMatchWithDetails(
    std::string_view text, const OptionalRx& rx) {
  return rx ? Rx::firstMatchWithDetails(*rx, text) : std::nullopt;
}
