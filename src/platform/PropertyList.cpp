#include "platform/PropertyList.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/Crypto.h"
#include "platform/FileSystem.h"

namespace kx {

namespace {

// ---------------------------------------------------------------------------
// Shared helpers

Error readError(std::string description) {
  return Error::make(kCocoaErrorDomain, kPropertyListReadCorruptError, std::move(description));
}

Error writeError(std::string description) {
  return Error::make(kCocoaErrorDomain, kPropertyListWriteInvalidError, std::move(description));
}

bool isXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimXmlSpace(std::string_view s) {
  while (!s.empty() && isXmlSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isXmlSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool allXmlSpace(std::string_view s) { return trimXmlSpace(s).empty(); }

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t* year, unsigned* month, unsigned* day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<std::int64_t>(yoe) + era * 400 + (*month <= 2);
}

bool isLeap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(std::int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// Seconds of the dates a property list can write: years 0000 to 9999.
constexpr double kFirstDate = -62167219200.0;  // 0000-01-01T00:00:00Z
constexpr double kEndDate = 253402300800.0;    // 10000-01-01T00:00:00Z

// ---------------------------------------------------------------------------
// Reading

enum class Tag { Plist, Dict, Array, Key, String, Integer, Real, Date, Data, True, False };

bool tagForName(std::string_view name, Tag* tag) {
  static constexpr std::pair<std::string_view, Tag> kTags[] = {
      {"dict", Tag::Dict},     {"array", Tag::Array},     {"key", Tag::Key},
      {"string", Tag::String}, {"integer", Tag::Integer}, {"real", Tag::Real},
      {"date", Tag::Date},     {"data", Tag::Data},       {"true", Tag::True},
      {"false", Tag::False},
  };
  for (const auto& [n, t] : kTags) {
    if (n == name) {
      *tag = t;
      return true;
    }
  }
  return false;
}

std::optional<Value> parseInteger(std::string_view text) {
  text = trimXmlSpace(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (negative) {
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (magnitude > kMinMagnitude) return std::nullopt;
    if (magnitude == kMinMagnitude) return Value(static_cast<long long>(INT64_MIN));
    return Value(-static_cast<long long>(magnitude));
  }
  if (magnitude <= static_cast<std::uint64_t>(INT64_MAX)) {
    return Value(static_cast<long long>(magnitude));
  }
  return Value(static_cast<unsigned long long>(magnitude));
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

std::optional<Value> parseReal(std::string_view text) {
  text = trimXmlSpace(text);
  bool negative = false;
  std::string_view body = text;
  if (!body.empty() && (body.front() == '-' || body.front() == '+')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (equalsIgnoringAsciiCase(body, "nan")) return Value(std::nan(""));
  if (equalsIgnoringAsciiCase(body, "inf") || equalsIgnoringAsciiCase(body, "infinity")) {
    return Value(negative ? -HUGE_VAL : HUGE_VAL);
  }
  // Only digits, a point and an exponent from here on: from_chars would also
  // take "infinity" spellings we handled and hexadecimal we do not want.
  if (body.empty()) return std::nullopt;
  for (char c : body) {
    if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) {
      return std::nullopt;
    }
  }
  double d = 0;
  auto [end, ec] =
      std::from_chars(body.data(), body.data() + body.size(), d, std::chars_format::general);
  if (ec != std::errc() || end != body.data() + body.size()) return std::nullopt;
  return Value(negative ? -d : d);
}

int twoDigits(std::string_view s, std::size_t at) {
  char a = s[at], b = s[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

std::optional<Value> parseDate(std::string_view text) {
  text = trimXmlSpace(text);
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  int hi = twoDigits(text, 0), lo = twoDigits(text, 2);
  int month = twoDigits(text, 5), day = twoDigits(text, 8);
  int hour = twoDigits(text, 11), minute = twoDigits(text, 14), second = twoDigits(text, 17);
  if (hi < 0 || lo < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  const std::int64_t year = hi * 100 + lo;
  if (static_cast<unsigned>(day) > daysInMonth(year, static_cast<unsigned>(month))) {
    return std::nullopt;
  }
  const std::int64_t days =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return Value::date(static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second));
}

class Reader {
 public:
  Reader() : parser_(XML_ParserCreate(nullptr)) {}
  ~Reader() {
    if (parser_) XML_ParserFree(parser_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  std::optional<Value> run(std::string_view xml, Error* error) {
    if (!parser_) {
      SetError(error, readError("The property list parser could not be created."));
      return std::nullopt;
    }
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &Reader::onStart, &Reader::onEnd);
    XML_SetCharacterDataHandler(parser_, &Reader::onText);
    XML_SetEntityDeclHandler(parser_, &Reader::onEntityDecl);
    XML_SetSkippedEntityHandler(parser_, &Reader::onSkippedEntity);

    // Expat counts lengths in int; feed long inputs in pieces.
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    std::size_t offset = 0;
    do {
      std::size_t n = std::min(kPiece, xml.size() - offset);
      bool last = offset + n == xml.size();
      if (XML_Parse(parser_, xml.data() + offset, static_cast<int>(n),
                    last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
        if (failure_.empty()) {
          fail(std::string("Malformed XML: ") + XML_ErrorString(XML_GetErrorCode(parser_)));
        }
        break;
      }
      offset += n;
    } while (offset < xml.size());

    if (failure_.empty() && !done_) fail("The document has no property list.");
    if (!failure_.empty()) {
      SetError(error, readError("The property list could not be read (line " +
                                std::to_string(failureLine_) + "): " + failure_));
      return std::nullopt;
    }
    return std::move(result_);
  }

 private:
  struct Frame {
    Tag tag;
    Value value;       // the container being built (Dict, Array)
    std::string text;  // character data of a leaf or key
    std::string key;   // Dict: the key waiting for its value
    bool hasKey = false;
    bool hasValue = false;  // Plist: its one value was seen
  };

  static void XMLCALL onStart(void* user, const XML_Char* name, const XML_Char** /*attrs*/) {
    static_cast<Reader*>(user)->start(name);
  }
  static void XMLCALL onEnd(void* user, const XML_Char* /*name*/) {
    static_cast<Reader*>(user)->end();
  }
  static void XMLCALL onText(void* user, const XML_Char* s, int len) {
    static_cast<Reader*>(user)->text(std::string_view(s, static_cast<std::size_t>(len)));
  }
  static void XMLCALL onEntityDecl(void* user, const XML_Char*, int, const XML_Char*, int,
                                   const XML_Char*, const XML_Char*, const XML_Char*,
                                   const XML_Char*) {
    static_cast<Reader*>(user)->fail("Entity declarations are not allowed.");
  }
  static void XMLCALL onSkippedEntity(void* user, const XML_Char* name, int) {
    static_cast<Reader*>(user)->fail(std::string("Unknown entity &") + name + ";.");
  }

  void fail(std::string why) {
    if (!failure_.empty()) return;
    failure_ = std::move(why);
    failureLine_ = static_cast<long>(XML_GetCurrentLineNumber(parser_));
    XML_StopParser(parser_, XML_FALSE);
  }

  void start(std::string_view name) {
    if (!failure_.empty()) return;
    if (stack_.empty()) {
      if (done_ || name != "plist") {
        fail("The root element is not <plist>.");
        return;
      }
      stack_.push_back(Frame{Tag::Plist, {}, {}, {}, false, false});
      return;
    }
    Tag tag;
    if (!tagForName(name, &tag)) {
      fail("Unknown element <" + std::string(name) + ">.");
      return;
    }
    Frame& parent = stack_.back();
    switch (parent.tag) {
      case Tag::Plist:
        if (parent.hasValue) return fail("<plist> holds more than one value.");
        if (tag == Tag::Key) return fail("<key> outside a dictionary.");
        break;
      case Tag::Dict:
        if (tag == Tag::Key) {
          if (parent.hasKey) return fail("Two keys in a row in a dictionary.");
        } else if (!parent.hasKey) {
          return fail("A dictionary value without a key.");
        }
        break;
      case Tag::Array:
        if (tag == Tag::Key) return fail("<key> inside an array.");
        break;
      default: return fail("<" + std::string(name) + "> inside an element that holds text.");
    }
    if (stack_.size() > PropertyList::kMaxDepth)
      return fail("The property list is nested too deeply.");
    Frame frame{tag, {}, {}, {}, false, false};
    if (tag == Tag::Dict) frame.value = Value(Dictionary());
    if (tag == Tag::Array) frame.value = Value(Array());
    stack_.push_back(std::move(frame));
  }

  void text(std::string_view s) {
    if (!failure_.empty() || stack_.empty()) return;
    Frame& top = stack_.back();
    switch (top.tag) {
      case Tag::Plist:
      case Tag::Dict:
      case Tag::Array:
        if (!allXmlSpace(s)) fail("Text between elements.");
        break;
      default: top.text.append(s);
    }
  }

  void end() {
    if (!failure_.empty() || stack_.empty()) return;
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    Value value;
    switch (frame.tag) {
      case Tag::Plist:
        if (!frame.hasValue) return fail("<plist> holds no value.");
        done_ = true;
        return;
      case Tag::Key:
        stack_.back().key = std::move(frame.text);
        stack_.back().hasKey = true;
        return;
      case Tag::Dict:
        if (frame.hasKey) return fail("A dictionary key without a value.");
        value = std::move(frame.value);
        break;
      case Tag::Array: value = std::move(frame.value); break;
      case Tag::String: value = Value(std::move(frame.text)); break;
      case Tag::Integer: {
        auto v = parseInteger(frame.text);
        if (!v) return fail("Bad integer \"" + frame.text + "\".");
        value = std::move(*v);
        break;
      }
      case Tag::Real: {
        auto v = parseReal(frame.text);
        if (!v) return fail("Bad real \"" + frame.text + "\".");
        value = std::move(*v);
        break;
      }
      case Tag::Date: {
        auto v = parseDate(frame.text);
        if (!v) return fail("Bad date \"" + frame.text + "\".");
        value = std::move(*v);
        break;
      }
      case Tag::Data:
        value = Value(
            *Crypto::base64Decode(frame.text, Crypto::Base64Decoding::IgnoreUnknownCharacters));
        break;
      case Tag::True:
      case Tag::False:
        if (!allXmlSpace(frame.text)) return fail("Text inside <true/> or <false/>.");
        value = Value(frame.tag == Tag::True);
        break;
    }
    Frame& parent = stack_.back();
    switch (parent.tag) {
      case Tag::Plist:
        result_ = std::move(value);
        parent.hasValue = true;
        break;
      case Tag::Dict:
        parent.value.mutableDict().set(std::move(parent.key), std::move(value));
        parent.key.clear();
        parent.hasKey = false;
        break;
      case Tag::Array: parent.value.mutableArray().push_back(std::move(value)); break;
      default: break;  // start() lets no element open inside a leaf
    }
  }

  XML_Parser parser_;
  std::vector<Frame> stack_;
  Value result_;
  bool done_ = false;  // </plist> was read
  std::string failure_;
  long failureLine_ = 0;
};

// ---------------------------------------------------------------------------
// Writing

// Whether `s` is well-formed UTF-8 made only of characters XML 1.0 allows.
bool isXmlText(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned c = *p;
    std::uint32_t cp;
    int extra;
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      ++p;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      extra = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates, values above U+10FFFF and the two
    // non-characters XML excludes.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) {
      return false;
    }
    p += extra + 1;
  }
  return true;
}

// Checks that a value can be written as XML. A container whose storage
// several values share is checked once (a list read from the binary form
// shares what the file shares), but counts in full towards kMaxElements.
class ValueChecker {
 public:
  bool check(const Value& value, std::string* why) {
    std::size_t height = 0;
    return visit(value, 0, &height, why);
  }

 private:
  struct Checked {
    std::uint64_t elements;
    std::size_t height;
  };

  bool count(std::uint64_t n, std::string* why) {
    elements_ += n;
    if (elements_ <= PropertyList::kMaxElements) return true;
    *why = "The value holds too many objects to write.";
    return false;
  }

  // Checks `value` at nesting `depth` and raises `*height` to its height.
  bool visit(const Value& value, std::size_t depth, std::size_t* height, std::string* why) {
    switch (value.kind()) {
      case Value::Kind::Null: *why = "A property list cannot hold a null."; return false;
      case Value::Kind::String:
        if (!isXmlText(value.string())) {
          *why = "A string holds characters a property list cannot carry.";
          return false;
        }
        return count(1, why);
      case Value::Kind::Date: {
        double t = value.dateValue();
        if (!std::isfinite(t) || std::floor(t) < kFirstDate || std::floor(t) >= kEndDate) {
          *why = "A date lies outside the years 0000 to 9999.";
          return false;
        }
        return count(1, why);
      }
      case Value::Kind::Array:
      case Value::Kind::Dictionary: {
        const void* storage = value.isArray() ? static_cast<const void*>(value.arrayRep())
                                              : static_cast<const void*>(value.dictionaryRep());
        if (auto seen = checked_.find(storage); seen != checked_.end()) {
          if (depth + seen->second.height > PropertyList::kMaxDepth) {
            *why = "The value is nested too deeply.";
            return false;
          }
          *height = std::max(*height, seen->second.height);
          return count(seen->second.elements, why);
        }
        if (depth >= PropertyList::kMaxDepth) {
          *why = "The value is nested too deeply.";
          return false;
        }
        const std::uint64_t before = elements_;
        if (!count(1, why)) return false;
        std::size_t childHeight = 0;
        if (value.isArray()) {
          for (const Value& item : value.array()) {
            if (!visit(item, depth + 1, &childHeight, why)) return false;
          }
        } else {
          for (const auto& [key, item] : value.dict()) {
            if (!isXmlText(key)) {
              *why = "A key holds characters a property list cannot carry.";
              return false;
            }
            if (!count(1, why) || !visit(item, depth + 1, &childHeight, why)) return false;
          }
        }
        checked_.emplace(storage, Checked{elements_ - before, childHeight + 1});
        *height = std::max(*height, childHeight + 1);
        return true;
      }
      default: return count(1, why);
    }
  }

  std::uint64_t elements_ = 0;
  std::unordered_map<const void*, Checked> checked_;
};

void appendEscaped(std::string& out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\r': out += "&#13;"; break;
      default: out.push_back(c);
    }
  }
}

void appendTabs(std::string& out, std::size_t n) { out.append(n, '\t'); }

void appendDouble(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "nan";
  } else if (std::isinf(d)) {
    out += d > 0 ? "+infinity" : "-infinity";
  } else {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    out.append(buf, ec == std::errc() ? end : buf);
  }
}

void appendDate(std::string& out, double seconds) {
  const auto t = static_cast<std::int64_t>(std::floor(seconds));
  std::int64_t days = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
  std::int64_t rest = t - days * 86400;
  std::int64_t year;
  unsigned month, day;
  civilFromDays(days, &year, &month, &day);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(year), month,
                day, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60));
  out += buf;
}

void writeValue(std::string& out, const Value& value, std::size_t indent) {
  appendTabs(out, indent);
  switch (value.kind()) {
    case Value::Kind::Null: break;  // refused by ValueChecker
    case Value::Kind::Bool: out += value.boolValue() ? "<true/>\n" : "<false/>\n"; break;
    case Value::Kind::Int64:
    case Value::Kind::UInt64:
      out += "<integer>";
      out += value.stringValue();
      out += "</integer>\n";
      break;
    case Value::Kind::Double:
      out += "<real>";
      appendDouble(out, value.doubleValue());
      out += "</real>\n";
      break;
    case Value::Kind::String:
      out += "<string>";
      appendEscaped(out, value.string());
      out += "</string>\n";
      break;
    case Value::Kind::Date:
      out += "<date>";
      appendDate(out, value.dateValue());
      out += "</date>\n";
      break;
    case Value::Kind::Data: {
      out += "<data>\n";
      const std::string text = Crypto::base64Encode(value.bytes());
      const std::size_t lineLength = 76 - 8 * std::min<std::size_t>(indent, 8);
      for (std::size_t at = 0; at < text.size(); at += lineLength) {
        appendTabs(out, indent);
        out.append(text, at, lineLength);
        out += '\n';
      }
      appendTabs(out, indent);
      out += "</data>\n";
      break;
    }
    case Value::Kind::Array:
      if (value.array().empty()) {
        out += "<array/>\n";
        break;
      }
      out += "<array>\n";
      for (const Value& item : value.array()) writeValue(out, item, indent + 1);
      appendTabs(out, indent);
      out += "</array>\n";
      break;
    case Value::Kind::Dictionary:
      if (value.dict().empty()) {
        out += "<dict/>\n";
        break;
      }
      out += "<dict>\n";
      for (const auto& [key, item] : value.dict()) {
        appendTabs(out, indent + 1);
        out += "<key>";
        appendEscaped(out, key);
        out += "</key>\n";
        writeValue(out, item, indent + 1);
      }
      appendTabs(out, indent);
      out += "</dict>\n";
      break;
  }
}

}  // namespace

std::optional<Value> PropertyList::parse(std::string_view bytes, Error* error) {
  return isBinary(bytes) ? parseBinary(bytes, error) : parseXml(bytes, error);
}

std::optional<Value> PropertyList::parseXml(std::string_view xml, Error* error) {
  Reader reader;
  return reader.run(xml, error);
}

bool PropertyList::isValid(const Value& value, Error* error) {
  std::string why;
  if (!ValueChecker().check(value, &why)) {
    SetError(error, writeError(std::move(why)));
    return false;
  }
  return true;
}

std::optional<std::string> PropertyList::serialize(const Value& value, Error* error) {
  if (!isValid(value, error)) return std::nullopt;
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n";
  writeValue(out, value, 0);
  out += "</plist>\n";
  return out;
}

std::optional<std::string> PropertyList::serialize(const Value& value, Format format,
                                                   Error* error) {
  return format == Format::Binary ? serializeBinary(value, error) : serialize(value, error);
}

std::optional<Value> PropertyList::readFile(const std::string& path, Error* error) {
  std::string contents;
  if (!FileSystem::Default().readFile(path, &contents, error)) return std::nullopt;
  return parse(contents, error);
}

bool PropertyList::writeFile(const std::string& path, const Value& value, Error* error) {
  return writeFile(path, value, Format::XML, error);
}

bool PropertyList::writeFile(const std::string& path, const Value& value, Format format,
                             Error* error) {
  auto text = serialize(value, format, error);
  if (!text) return false;
  return FileSystem::Default().writeFileAtomically(path, *text, error);
}

}  // namespace kx
