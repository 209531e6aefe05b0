#include "CommonUtils/JSONKit/JKUTF8Check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "CommonUtils/JSONKit/JKTextScan.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool Reference(const Bytes& b) {
  return jsonkit::FindInvalidUTF8(b.data(), b.data() + b.size(), b.data() + b.size(), true) ==
         nullptr;
}

std::string Hex(const Bytes& b) {
  std::string out;
  char buf[4];
  for (std::uint8_t c : b) {
    std::snprintf(buf, sizeof(buf), "%02X ", c);
    out += buf;
  }
  return out;
}

// Agrees with the scalar search for `sequence` with ASCII before and behind
// it, so that it sits at every place in and across the sixteen-byte blocks;
// stops at the first disagreement so that one fault does not flood the
// output.
bool AgreesEverywhere(const Bytes& sequence) {
  std::uint8_t text[64];
  for (std::size_t before : {0, 1, 13, 14, 15, 16, 31}) {
    for (std::size_t after : {0, 1, 17}) {
      std::memset(text, 'a', before);
      if (!sequence.empty()) std::memcpy(text + before, sequence.data(), sequence.size());
      const std::size_t n = before + sequence.size() + after;
      std::memset(text + before + sequence.size(), 'z', after);
      const bool expected = jsonkit::FindInvalidUTF8(text, text + n, text + n, true) == nullptr;
      if (jsonkit::IsWellFormedUTF8(text, n) != expected) {
        ADD_FAILURE() << Hex(sequence) << "at " << before << " with " << after
                      << " after: expected " << (expected ? "well-formed" : "refused");
        return false;
      }
    }
  }
  return true;
}

TEST(JKUTF8CheckTest, KnownSequences) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool wellFormed;
  };
  const std::vector<Case> cases = {
      {"empty", {}, true},
      {"ASCII", {'a', 'b', 0x00, 0x7F}, true},
      {"two bytes", {0xC2, 0x80, 0xDF, 0xBF}, true},
      {"CJK", {0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87}, true},
      {"four bytes, lowest and highest", {0xF0, 0x90, 0x80, 0x80, 0xF4, 0x8F, 0xBF, 0xBF}, true},
      {"noncharacter U+FFFF passes", {0xEF, 0xBF, 0xBF}, true},
      {"stray continuation", {'a', 0x80}, false},
      {"overlong two-byte", {0xC0, 0xAF}, false},
      {"overlong three-byte", {0xE0, 0x9F, 0xBF}, false},
      {"overlong four-byte", {0xF0, 0x8F, 0xBF, 0xBF}, false},
      {"surrogate", {0xED, 0xA0, 0x80}, false},
      {"above U+10FFFF", {0xF4, 0x90, 0x80, 0x80}, false},
      {"F5 lead", {0xF5, 0x80, 0x80, 0x80}, false},
      {"FE and FF", {0xFE, 0xFF}, false},
      {"cut off at the end", {'a', 0xE4, 0xB8}, false},
      {"interrupted by ASCII", {0xE4, 'a', 0xAD}, false},
      {"one continuation too many", {0xC2, 0x80, 0x80}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Reference(c.bytes), c.wellFormed) << "the table itself";
    AgreesEverywhere(c.bytes);
  }
}

// Every pair of bytes, and every sequence of three and four bytes drawn from
// the bytes where the rules change, at every place around the block edges.
TEST(JKUTF8CheckTest, AgreesWithTheScalarSearchOnEveryShortSequence) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      if (!AgreesEverywhere({static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)})) return;
    }
  }
  const Bytes edges = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                       0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                       0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xF8, 0xFE, 0xFF};
  for (std::uint8_t a : edges) {
    for (std::uint8_t b : edges) {
      for (std::uint8_t c : edges) {
        if (!AgreesEverywhere({a, b, c})) return;
        if (a < 0xF0) continue;  // four bytes only behind a four-byte lead
        for (std::uint8_t d : edges) {
          if (!AgreesEverywhere({a, b, c, d})) return;
        }
      }
    }
  }
}

// Longer texts: well-formed pieces of every length, mixed with single bytes
// from anywhere, so that faults land anywhere in runs of several blocks.
TEST(JKUTF8CheckTest, AgreesWithTheScalarSearchOnMixedTexts) {
  const std::vector<Bytes> pieces = {
      {'a'},
      {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q'},
      {0xC3, 0xA9},
      {0xE4, 0xB8, 0xAD},
      {0xED, 0x9F, 0xBF},
      {0xEF, 0xBF, 0xBD},
      {0xF0, 0x9F, 0x98, 0x80},
      {0xF4, 0x8F, 0xBF, 0xBF}};
  std::mt19937 random(41);
  int refused = 0;
  for (int i = 0; i < 50000; ++i) {
    Bytes text;
    const int count = static_cast<int>(random() % 24);
    for (int k = 0; k < count; ++k) {
      if (random() % 16 == 0) {
        text.push_back(static_cast<std::uint8_t>(random()));
      } else {
        const Bytes& piece = pieces[random() % pieces.size()];
        text.insert(text.end(), piece.begin(), piece.end());
      }
    }
    const bool expected = Reference(text);
    refused += expected ? 0 : 1;
    ASSERT_EQ(jsonkit::IsWellFormedUTF8(text.data(), text.size()), expected) << Hex(text);
  }
  EXPECT_GT(refused, 2500) << "the mix holds ill-formed texts too";
  EXPECT_LT(refused, 47500) << "and well-formed ones";
}

}  // namespace
