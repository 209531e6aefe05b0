#include "search/KXSTextUtil.h"

#include <algorithm>

#include "platform/Text.h"

const std::vector<std::string>& KXSTextUtil::querySpecials() {
  // One constant text split once per process, as the list is documented.
  static const std::vector<std::string>* specials = [] {
    static constexpr std::string_view kSpecials = "\\ + - && || ! ( ) { } [ ] ^ \" ~ * ? :";
    auto* list = new std::vector<std::string>();
    std::size_t start = 0;
    while (start < kSpecials.size()) {
      std::size_t end = kSpecials.find(' ', start);
      if (end == std::string_view::npos) end = kSpecials.size();
      list->emplace_back(kSpecials.substr(start, end - start));
      start = end + 1;
    }
    return list;
  }();
  return *specials;
}

std::string KXSTextUtil::escapeQuery(std::string_view text) {
  std::string result(text);
  for (const std::string& special : querySpecials()) {
    std::string escaped;
    escaped.reserve(result.size() + 8);
    std::size_t start = 0;
    for (;;) {
      const std::size_t found = result.find(special, start);
      if (found == std::string::npos) break;
      escaped.append(result, start, found - start);
      escaped.push_back('\\');
      escaped += special;
      start = found + special.size();
    }
    escaped.append(result, start, std::string::npos);
    result = std::move(escaped);
  }
  return result;
}

std::string KXSTextUtil::spacedText(std::string_view text) {
  const std::string valid =
      kx::Text::isValidUtf8(text) ? std::string(text) : kx::Text::toValidUtf8(text);
  std::string result;
  result.reserve(valid.size() + valid.size() / 8 + 1);
  bool inRun = false;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(valid[i]);
    const bool continuation = (byte & 0xC0) == 0x80;
    if (!continuation) {
      // Lead bytes 0xC2 and 0xC3 start U+0080..U+00FF; from 0xC4 on, the
      // character is above U+00FF.
      const bool wide = byte >= 0xC4;
      if (wide && !inRun) result.push_back(' ');
      inRun = wide;
    }
    result.push_back(static_cast<char>(byte));
  }
  return result;
}

std::string KXSTextUtil::dropFirstCharacter(std::string_view text) {
  if (text.empty()) return std::string();
  std::size_t length = 1;
  while (length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
    ++length;
  }
  return std::string(text.substr(length));
}
