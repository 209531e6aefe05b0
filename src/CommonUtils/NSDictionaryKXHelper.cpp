#include "CommonUtils/NSDictionaryKXHelper.h"

#include <optional>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/NSStringDupTitle.h"
#include "platform/Text.h"
#include "platform/URL.h"

namespace {

std::string valueText(const kx::Value& value) {
  if (value.isNumber() || value.isBool()) return value.stringValue();
  if (value.isDictionary() || value.isArray()) {
    return JSONStringWithOptions(value, JKSerializeOptionPretty, nullptr);
  }
  if (value.isString()) return value.string();
  return {};
}

std::string trimSpaces(std::string_view text) {
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(' ');
  return std::string(text.substr(start, end - start + 1));
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The text with each run of "%XX" escapes replaced by its bytes read in the
// encoding; nothing when a "%" is not followed by two hex digits or a run
// does not read in the encoding.
std::optional<std::string> percentDecodeIn(std::string_view text, std::uint64_t encoding) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out.push_back(text[i++]);
      continue;
    }
    std::string run;
    while (i < text.size() && text[i] == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      run.push_back(static_cast<char>(high * 16 + low));
      i += 3;
    }
    std::optional<std::string> decoded = KXStringEncoding::toUtf8(run, encoding);
    if (!decoded) return std::nullopt;
    out += *decoded;
  }
  return out;
}

}  // namespace

std::string NSDictionaryKXHelper::stringForHTTPFormat(const kx::Dictionary& dictionary,
                                                      std::string_view spliter,
                                                      std::string_view kvSpliter, bool needEscape) {
  std::string text;
  bool first = true;
  for (const auto& [key, value] : dictionary) {
    if (!first) text += spliter;
    first = false;
    std::string valueString = valueText(value);
    if (needEscape) {
      text += NSStringDupTitle::urlencode(key);
      text += kvSpliter;
      text += NSStringDupTitle::urlencode(valueString);
    } else {
      text += key;
      text += kvSpliter;
      text += valueString;
    }
  }
  return text;
}

kx::Dictionary NSDictionaryKXHelper::dictionaryWithFormatedString(std::string_view text,
                                                                  std::string_view spliter,
                                                                  std::string_view kvSpliter) {
  std::vector<std::string> sections;
  if (spliter.empty()) {
    sections.emplace_back(text);
  } else {
    std::size_t start = 0;
    for (;;) {
      std::size_t at = text.find(spliter, start);
      if (at == std::string_view::npos) {
        sections.emplace_back(text.substr(start));
        break;
      }
      sections.emplace_back(text.substr(start, at - start));
      start = at + spliter.size();
    }
  }
  return dictionaryWithSections(sections, kvSpliter);
}

kx::Dictionary NSDictionaryKXHelper::dictionaryWithFormatedStringCharacterSet(
    std::string_view text, std::string_view characterSet, std::string_view kvSpliter) {
  const std::u32string set = kx::Text::toUtf32(characterSet);
  std::vector<std::string> sections;
  std::u32string current;
  for (char32_t c : kx::Text::toUtf32(text)) {
    if (set.find(c) != std::u32string::npos) {
      sections.push_back(kx::Text::fromUtf32(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  sections.push_back(kx::Text::fromUtf32(current));
  return dictionaryWithSections(sections, kvSpliter);
}

kx::Dictionary NSDictionaryKXHelper::dictionaryWithSections(
    const std::vector<std::string>& sections, std::string_view kvSpliter) {
  kx::Dictionary result;
  if (kvSpliter.empty()) return result;
  for (const std::string& section : sections) {
    std::size_t at = section.find(kvSpliter);
    if (at == std::string::npos) continue;
    std::string key = trimSpaces(std::string_view(section).substr(0, at));
    kx::Value value(trimSpaces(std::string_view(section).substr(at + kvSpliter.size())));
    kx::Value* existing = result.find(key);
    if (!existing) {
      result.set(std::move(key), std::move(value));
    } else if (existing->isArray()) {
      existing->mutableArray().push_back(std::move(value));
    } else {
      kx::Value old = *existing;
      *existing = kx::Value(kx::Array{std::move(old), std::move(value)});
    }
  }
  return result;
}

kx::Dictionary NSDictionaryKXHelper::dictionaryFromQuery(std::string_view query,
                                                         std::uint64_t encoding) {
  kx::Dictionary result;
  if (encoding != kKXRawEncoding && !KXStringEncoding::isSupported(encoding)) return result;
  std::size_t start = 0;
  while (start < query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view piece = query.substr(start, end - start);
    start = end;
    while (start < query.size() && query[start] == '&') ++start;

    std::size_t equals = piece.find('=');
    if (piece.empty() || equals == std::string_view::npos) continue;
    std::string key(piece.substr(0, equals));
    std::string value(piece.substr(equals + 1));
    if (encoding != kKXRawEncoding) {
      std::optional<std::string> decodedKey = percentDecodeIn(key, encoding);
      std::optional<std::string> decodedValue = percentDecodeIn(value, encoding);
      if (!decodedKey || !decodedValue) continue;
      key = std::move(*decodedKey);
      value = std::move(*decodedValue);
    }
    result.set(std::move(key), kx::Value(std::move(value)));
  }
  return result;
}

kx::Dictionary NSDictionaryKXHelper::dictionaryWithReverseDictionary(
    const kx::Dictionary& dictionary) {
  kx::Dictionary result;
  for (const auto& [key, value] : dictionary) {
    if (!value.isString() && !value.isNumber()) continue;
    result.set(value.stringValue(), kx::Value(key));
  }
  return result;
}
