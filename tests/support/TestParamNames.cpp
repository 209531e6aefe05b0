#include "TestParamNames.h"

#include <cstdio>

namespace kxtest {

namespace {

// The word for a character that is not a letter or a digit.
std::string wordFor(unsigned char c) {
  switch (c) {
    case '[': return "lb";
    case ']': return "rb";
    case '{': return "lc";
    case '}': return "rc";
    case '"': return "q";
    case '\'': return "apos";
    case ':': return "colon";
    case ',': return "comma";
    case '-': return "minus";
    case '+': return "plus";
    case '.': return "dot";
    case '/': return "slash";
    case '\\': return "bs";
    case '*': return "star";
    case '=': return "eq";
    case '(': return "lp";
    case ')': return "rp";
    case '\n': return "nl";
    case '\r': return "cr";
    case '\t': return "tab";
    case ' ': return "";
    default: break;
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "x%02X", c);
  return hex;
}

}  // namespace

std::string paramName(std::size_t index, std::string_view text) {
  std::string spelled;
  bool wordEnded = false;  // the next piece starts a new word
  bool afterDigit = false;
  for (unsigned char c : text) {
    const bool digit = c >= '0' && c <= '9';
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool plain = digit || letter;
    const std::string piece = plain ? std::string(1, static_cast<char>(c)) : wordFor(c);
    // Letters after digits start a word ("1e5" gives "1_e5"), so that no
    // name reads like a hexadecimal number ("0x...").
    if (!plain || (letter && afterDigit)) wordEnded = true;
    afterDigit = digit;
    if (piece.empty()) continue;
    if (wordEnded && !spelled.empty()) spelled += '_';
    spelled += piece;
    wordEnded = !plain;
    if (spelled.size() >= kMaxParamNameLength) break;
  }
  if (spelled.size() > kMaxParamNameLength) spelled.resize(kMaxParamNameLength);
  while (!spelled.empty() && spelled.back() == '_') spelled.pop_back();
  char number[24];
  std::snprintf(number, sizeof number, "%02zu", index);
  return std::string(number) + "_" + (spelled.empty() ? std::string("empty") : spelled);
}

}  // namespace kxtest
