#include "platform/LocalizedStrings.h"

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/Text.h"

namespace kx {

namespace {

// Converts a UTF-16 file with a byte order mark to UTF-8; other text is read
// as UTF-8 (without its byte order mark), ill-formed bytes becoming U+FFFD.
std::string decodeFileText(std::string_view raw) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(raw[i]); };
  if (raw.size() >= 2 &&
      ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF))) {
    bool little = byte(0) == 0xFF;
    std::u16string units;
    units.reserve(raw.size() / 2);
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
      unsigned lo = little ? byte(i) : byte(i + 1);
      unsigned hi = little ? byte(i + 1) : byte(i);
      units.push_back(static_cast<char16_t>((hi << 8) | lo));
    }
    return Text::fromUtf16(units);
  }
  if (raw.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
    raw.remove_prefix(3);
  return Text::toValidUtf8(raw);
}

class Parser {
 public:
  Parser(std::string_view text, Error* error) : s_(text), error_(error) {}

  bool run(LocalizedStrings::Table* table) {
    for (;;) {
      if (!skipSpaceAndComments()) return false;
      if (atEnd()) return true;
      std::string key;
      if (!readString(&key)) return false;
      if (!skipSpaceAndComments()) return false;
      std::string value;
      if (peek() == '=') {
        ++i_;
        if (!skipSpaceAndComments()) return false;
        if (!readString(&value)) return false;
        if (!skipSpaceAndComments()) return false;
      } else {
        value = key;
      }
      if (peek() != ';') return fail("expected ';' after the entry");
      ++i_;
      (*table)[std::move(key)] = std::move(value);
    }
  }

 private:
  bool atEnd() const { return i_ >= s_.size(); }
  char peek() const { return atEnd() ? '\0' : s_[i_]; }

  bool fail(const std::string& what) {
    std::size_t line = 1;
    for (std::size_t k = 0; k < i_ && k < s_.size(); ++k) {
      if (s_[k] == '\n') ++line;
    }
    SetError(error_,
             Error::make(kCocoaErrorDomain, LocalizedStrings::kParseErrorCode,
                         "Strings file: " + what + " at line " + Text::toString(line) + "."));
    return false;
  }

  bool skipSpaceAndComments() {
    while (!atEnd()) {
      char c = s_[i_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++i_;
      } else if (c == '/' && i_ + 1 < s_.size() && s_[i_ + 1] == '/') {
        while (!atEnd() && s_[i_] != '\n') ++i_;
      } else if (c == '/' && i_ + 1 < s_.size() && s_[i_ + 1] == '*') {
        std::size_t end = s_.find("*/", i_ + 2);
        if (end == std::string_view::npos) return fail("unterminated comment");
        i_ = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  static bool isBareChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c == '+' || c == '/' || c == ':' || c == '.' || c == '-';
  }

  bool readString(std::string* out) {
    if (atEnd()) return fail("unexpected end of text");
    if (s_[i_] == '"') return readQuoted(out);
    std::size_t start = i_;
    while (!atEnd() && isBareChar(s_[i_])) ++i_;
    if (i_ == start) return fail(std::string("unexpected character '") + s_[i_] + "'");
    out->assign(s_.substr(start, i_ - start));
    return true;
  }

  static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Reads the four hex digits after \u or \U.
  bool readHex4(std::uint32_t* unit) {
    if (i_ + 4 > s_.size()) return fail("short \\u escape");
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int h = hexValue(s_[i_ + static_cast<std::size_t>(k)]);
      if (h < 0) return fail("bad \\u escape");
      v = (v << 4) | static_cast<std::uint32_t>(h);
    }
    i_ += 4;
    *unit = v;
    return true;
  }

  bool readQuoted(std::string* out) {
    ++i_;                         // opening quote
    std::u16string pendingUnits;  // \u escapes, joined so that pairs combine
    auto flushUnits = [&] {
      if (!pendingUnits.empty()) {
        out->append(Text::fromUtf16(pendingUnits));
        pendingUnits.clear();
      }
    };
    for (;;) {
      if (atEnd()) return fail("unterminated string");
      char c = s_[i_++];
      if (c == '"') break;
      if (c != '\\') {
        flushUnits();
        out->push_back(c);
        continue;
      }
      if (atEnd()) return fail("unterminated string");
      char e = s_[i_++];
      if (e == 'u' || e == 'U') {
        std::uint32_t unit = 0;
        if (!readHex4(&unit)) return false;
        pendingUnits.push_back(static_cast<char16_t>(unit));
        continue;
      }
      flushUnits();
      switch (e) {
        case 'n': out->push_back('\n'); break;
        case 't': out->push_back('\t'); break;
        case 'r': out->push_back('\r'); break;
        case 'a': out->push_back('\a'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'v': out->push_back('\v'); break;
        default:
          if (e >= '0' && e <= '7') {
            unsigned v = static_cast<unsigned>(e - '0');
            for (int k = 0; k < 2 && !atEnd() && s_[i_] >= '0' && s_[i_] <= '7'; ++k) {
              v = v * 8 + static_cast<unsigned>(s_[i_++] - '0');
            }
            out->append(Text::fromUtf32(std::u32string(1, static_cast<char32_t>(v))));
          } else {
            out->push_back(e);  // \" \\ \' and any other character stand for themselves
          }
      }
    }
    flushUnits();
    return true;
  }

  std::string_view s_;
  std::size_t i_ = 0;
  Error* error_;
};

}  // namespace

bool LocalizedStrings::parse(std::string_view text, Table* table, Error* error) {
  std::string decoded = decodeFileText(text);
  Table parsed;
  if (!Parser(decoded, error).run(&parsed)) return false;
  *table = std::move(parsed);
  return true;
}

bool LocalizedStrings::loadText(std::string_view text, Error* error) {
  Table parsed;
  if (!parse(text, &parsed, error)) return false;
  MutexLock lock(mutex_);
  table_ = std::move(parsed);
  defaultPending_ = false;
  return true;
}

bool LocalizedStrings::loadFile(const std::string& path, Error* error) {
  std::string contents;
  if (!FileSystem::Default().readFile(path, &contents, error)) return false;
  return loadText(contents, error);
}

void LocalizedStrings::loadDefaultIfPending() const {
  if (!defaultPending_) return;
  defaultPending_ = false;
  std::string folder = Places::resourcesDirectory();
  if (folder.empty()) return;
  std::string contents;
  if (!FileSystem::Default().readFile(Path::appendingPathComponent(folder, kDefaultTableFileName),
                                      &contents, nullptr)) {
    return;
  }
  Table parsed;
  if (parse(contents, &parsed, nullptr)) table_ = std::move(parsed);
}

std::string LocalizedStrings::localizedString(std::string_view key) const {
  MutexLock lock(mutex_);
  loadDefaultIfPending();
  auto it = table_.find(std::string(key));
  return it == table_.end() ? std::string(key) : it->second;
}

std::size_t LocalizedStrings::size() const {
  MutexLock lock(mutex_);
  loadDefaultIfPending();
  return table_.size();
}

LocalizedStrings& LocalizedStrings::sharedStrings() {
  static LocalizedStrings* shared = [] {
    auto* strings = new LocalizedStrings();
    // Not yet shared; the lock only tells the analysis so.
    MutexLock lock(strings->mutex_);
    strings->defaultPending_ = true;
    return strings;
  }();
  return *shared;
}

std::string LocalizedStrings::localized(std::string_view key) {
  return sharedStrings().localizedString(key);
}

}  // namespace kx
