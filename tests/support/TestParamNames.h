// Names of value-parameterised test cases. A case's name becomes part of
// its test's name in every listing (gtest, ctest), so it must be readable,
// the same in every run, and unique within its suite.
//
// paramName(index, text) spells a text of the case (a JSON document, a
// stored body) in letters, digits and short words for its punctuation
// ("[-1]" gives "lb_minus_1_rb"; letters after digits start a new word, so
// that no name reads like an address), cut after kMaxParamNameLength characters,
// and puts the case's index in front so that two cases that spell alike
// still differ ("03_lb_minus_1_rb"). byIndexAndText builds the generator
// INSTANTIATE_TEST_SUITE_P takes from a function that picks the text.
//
// Thread safety: pure functions.
#ifndef ZN_TESTS_SUPPORT_TESTPARAMNAMES_H_
#define ZN_TESTS_SUPPORT_TESTPARAMNAMES_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace kxtest {

inline constexpr std::size_t kMaxParamNameLength = 48;

// "<index>_<text spelled>"; "<index>_empty" for an empty text.
std::string paramName(std::size_t index, std::string_view text);

// A name generator over `textOf(param)`.
template <class TextOf>
auto byIndexAndText(TextOf textOf) {
  return [textOf](const auto& info) { return paramName(info.index, textOf(info.param)); };
}

}  // namespace kxtest

#endif  // ZN_TESTS_SUPPORT_TESTPARAMNAMES_H_
