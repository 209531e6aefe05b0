#include "search/KXSTermList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Found = std::vector<std::string_view>;

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max() - 1;

// What the lookup must answer: every term looked at in order, kept when it
// holds the part, until more than `limit` are kept.
Found plainScan(const std::vector<std::string>& sortedTerms, std::string_view part,
                std::size_t limit) {
  Found found;
  if (part.empty()) return found;
  for (const std::string& term : sortedTerms) {
    if (found.size() > limit) break;
    if (std::string_view(term).find(part) != std::string_view::npos) found.push_back(term);
  }
  return found;
}

KXSTermList makeList(const std::vector<std::string>& texts) {
  std::vector<KXSTermList::Term> terms;
  for (const std::string& text : texts) {
    terms.push_back({text, static_cast<std::int32_t>(text.size())});
  }
  return KXSTermList(1, std::move(terms), KXSTermList::Identifiers());
}

// Every byte range of every term (whole characters or not), a few parts
// that no term holds or that run across two neighbouring terms, and the
// edge cases: empty, one and two bytes, a NUL.
std::set<std::string> partsOf(const std::vector<std::string>& terms) {
  std::set<std::string> parts;
  for (const std::string& term : terms) {
    for (std::size_t from = 0; from < term.size(); ++from) {
      for (std::size_t length = 1; from + length <= term.size() && length <= 8; ++length) {
        parts.insert(term.substr(from, length));
      }
    }
  }
  for (std::size_t i = 0; i + 1 < terms.size(); ++i) {
    const std::string joined = terms[i] + terms[i + 1];
    const std::size_t at = terms[i].size();
    parts.insert(joined.substr(at > 2 ? at - 2 : 0, 4));  // across the end of a term
    parts.insert(terms[i] + std::string(1, '\0') + terms[i + 1]);
  }
  for (const char* part : {"", "q", "zz", "zzz", "\xE4", "\xE4\xBC", "\x80\x80\x80"}) {
    parts.insert(part);
  }
  parts.insert(std::string("a\0", 2));
  parts.insert(std::string("\0", 1));
  return parts;
}

void expectSameAsPlainScan(const std::vector<std::string>& terms) {
  const KXSTermList list = makeList(terms);
  std::vector<std::string> sorted(terms);
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  ASSERT_EQ(list.size(), sorted.size());
  for (const std::string& part : partsOf(sorted)) {
    for (std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{3}, kNoLimit}) {
      EXPECT_EQ(list.containing(part, limit), plainScan(sorted, part, limit))
          << "part \"" << part << "\" (" << part.size() << " bytes), limit " << limit;
    }
  }
}

TEST(KXSTermListTest, ContainingFindsWhatAPlainScanFindsOnTrickyTerms) {
  expectSameAsPlainScan({
      // Accented letters: é is two bytes, e one; composed and decomposed forms differ.
      "café",
      "cafe",
      "cafe\xCC\x81",
      "résumé",
      "naïve",
      "über",
      // Han characters (single tokens of the index, three bytes each), a run,
      // kana, Hangul and a character of four bytes.
      "会",
      "议",
      "记",
      "会议记录",
      "记录",
      "ひらがな",
      "한국어",
      "𠀀",
      "a𠀀b",
      // Terms of one, two and three bytes, and a term that is the part.
      "a",
      "ab",
      "abc",
      "x",
      "xy",
      // The same sequence more than once in a term, and overlapping ones.
      "aaaa",
      "abab",
      "ababab",
      "banana",
      "tangra",
      "tangtangra",
      // The part at the start, the end and the middle of a term.
      "kalomi",
      "rokalomi",
      "kalomitan",
      "prekalomisul",
      // Digits and mixed scripts.
      "2024",
      "v2",
      "x会y",
  });
}

TEST(KXSTermListTest, ContainingFindsWhatAPlainScanFindsOnAGeneratedVocabulary) {
  // Words of a few syllables, some with multi-byte syllables, so that most
  // three-byte sequences are shared by many terms.
  const std::vector<std::string> syllables = {"ka", "ro", "mi", "tan", "gra", "é",
                                              "会", "议", "a",  "b",   "𠀀"};
  std::mt19937 random(20240601);
  std::vector<std::string> terms;
  for (int i = 0; i < 600; ++i) {
    std::string word;
    const int count = 1 + static_cast<int>(random() % 4);
    for (int s = 0; s < count; ++s) word += syllables[random() % syllables.size()];
    terms.push_back(word);
  }
  expectSameAsPlainScan(terms);
}

TEST(KXSTermListTest, AnEmptyListHoldsNothing) {
  const KXSTermList list = makeList({});
  EXPECT_EQ(list.size(), 0u);
  EXPECT_FALSE(list.hasRepeatedIDs());
  EXPECT_EQ(list.idOf(0), nullptr);
  EXPECT_TRUE(list.containing("abc", kNoLimit).empty());
  EXPECT_TRUE(list.containing("a", kNoLimit).empty());
  EXPECT_TRUE(list.startingWith("", kNoLimit).empty());
  EXPECT_EQ(list.docFreq(""), -1);
}

TEST(KXSTermListTest, TermsAreSortedByBytesKeptOnceAndKnowTheirDocumentCounts) {
  // Given out of order, with a repeat: the first of two equal terms stays.
  // Documents 0 to 3: N1 twice (the older copy removed or not), N2, and a
  // document whose identifier is not known.
  KXSTermList::Identifiers identifiers;
  identifiers.byDocument = {"N1", "N2", "", "N1"};
  identifiers.newestOfRepeated = {{"N1", 3}, {"N3", -1}};
  const KXSTermList list(7,
                         {{"pear", 4},
                          {"apple", 2},
                          {"会议", 9},
                          {"applesauce", 1},
                          {"apple", 5},
                          {"äpfel", 3},
                          {"apricot", 6}},
                         identifiers);
  EXPECT_EQ(list.version(), 7);
  EXPECT_EQ(list.size(), 6u);
  EXPECT_TRUE(list.hasRepeatedIDs());
  EXPECT_TRUE(list.isRepeatedID("N1"));
  EXPECT_TRUE(list.isRepeatedID("N3"));
  EXPECT_FALSE(list.isRepeatedID("N2"));
  EXPECT_EQ(list.newestDocumentOf("N1"), 3);
  EXPECT_EQ(list.newestDocumentOf("N2"), -1);
  EXPECT_EQ(list.newestDocumentOf("N3"), -1);
  for (const auto& [document, id] : std::vector<std::pair<std::int32_t, const char*>>{
           {0, "N1"}, {1, "N2"}, {2, nullptr}, {3, "N1"}, {4, nullptr}, {-1, nullptr}}) {
    const std::string* found = list.idOf(document);
    if (id) {
      ASSERT_NE(found, nullptr) << document;
      EXPECT_EQ(*found, id) << document;
    } else {
      EXPECT_EQ(found, nullptr) << document;
    }
  }

  EXPECT_EQ(list.startingWith("ap", kNoLimit), Found({"apple", "applesauce", "apricot"}));
  EXPECT_EQ(list.startingWith("ap", 1), Found({"apple", "applesauce"}));  // one over the limit
  EXPECT_EQ(list.startingWith("", kNoLimit),
            Found({"apple", "applesauce", "apricot", "pear", "äpfel", "会议"}));
  EXPECT_EQ(list.startingWith("会", kNoLimit), Found({"会议"}));
  EXPECT_TRUE(list.startingWith("b", kNoLimit).empty());

  EXPECT_EQ(list.docFreq("apple"), 2);
  EXPECT_EQ(list.docFreq("applesauce"), 1);
  EXPECT_EQ(list.docFreq("会议"), 9);
  EXPECT_EQ(list.docFreq("äpfel"), 3);
  EXPECT_EQ(list.docFreq("appl"), -1);
  EXPECT_EQ(list.docFreq("zebra"), -1);
  EXPECT_EQ(list.docFreq(""), -1);
}

}  // namespace
