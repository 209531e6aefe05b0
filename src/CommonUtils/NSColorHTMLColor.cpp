#include "CommonUtils/NSColorHTMLColor.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/Text.h"

namespace {

int component255(double value) {
  if (!(value > 0)) return 0;  // NaN too
  return static_cast<int>(std::min(255.0, std::round(value * 255)));
}

double unit(double value) { return value > 0 ? std::min(value, 1.0) : 0.0; }  // NaN reads as 0

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string NSColorHTMLColor::htmlColor(const KXColor& color) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", component255(color.red),
                component255(color.green), component255(color.blue));
  return text;
}

std::optional<KXColor> NSColorHTMLColor::fromHTMLColor(std::string_view input) {
  std::string text;
  for (char c : input) {
    if (c != '#') text.push_back(c);
  }
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      hexDigit(text[i + 2]) >= 0) {
    i += 2;
  }
  if (i >= text.size() || hexDigit(text[i]) < 0) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size() && hexDigit(text[i]) >= 0; ++i) {
    value = std::min<std::uint64_t>(value * 16 + static_cast<std::uint64_t>(hexDigit(text[i])),
                                    0xFFFFFFFFu);
  }
  return KXColor{static_cast<double>((value >> 16) & 0xFF) / 255,
                 static_cast<double>((value >> 8) & 0xFF) / 255,
                 static_cast<double>(value & 0xFF) / 255, 1};
}

std::optional<KXColor> NSColorHTMLColor::fromHTMLRGBColor(std::string_view text) {
  if (!text.starts_with("rgb")) return std::nullopt;
  const std::size_t open = text.find('(');
  const std::size_t close = open == std::string_view::npos ? open : text.find(')', open);
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view inside = text.substr(open + 1, close - open - 1);
  std::vector<double> numbers;
  while (numbers.size() < 3) {
    const std::size_t comma = inside.find(',');
    numbers.push_back(kx::Text::leadingDouble(inside.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    inside.remove_prefix(comma + 1);
  }
  if (numbers.size() < 3) return std::nullopt;
  return KXColor{unit(numbers[0] / 255), unit(numbers[1] / 255), unit(numbers[2] / 255), 1};
}
