#include "CommonUtils/NSStringDupTitle.h"

#include <pcrecpp.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXFont.h"
#include "CommonUtils/KXRegularExpression.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXStringEncoding.h"
#include "platform/LocalizedStrings.h"
#include "platform/Mutex.h"
#include "platform/Path.h"
#include "platform/Text.h"
#include "platform/URL.h"

namespace {

std::atomic<const NSStringDupTitle::HtmlHelper*> gHtmlHelper{nullptr};

constexpr std::size_t kSummaryUnits = 45;
constexpr std::size_t kTitleUnits = 80;

// A pattern of this file, compiled once. The patterns are constants, so a
// failure to compile is a programming error that the callers' fallbacks
// absorb.
const std::optional<KXRegularExpression>& titlePattern() {
  static const std::optional<KXRegularExpression> rx =
      KXRegularExpression::make(R"(^(.+)\((\d+)\)$)");
  return rx;
}
const std::optional<KXRegularExpression>& fileTitlePattern() {
  static const std::optional<KXRegularExpression> rx =
      KXRegularExpression::make(R"(^(.+)\((\d+)\)(.*)$)");
  return rx;
}
const std::optional<KXRegularExpression>& graphemePattern() {
  static const std::optional<KXRegularExpression> rx = KXRegularExpression::make(R"(\X)");
  return rx;
}

std::string validUtf8(std::string_view text) {
  return kx::Text::isValidUtf8(text) ? std::string(text) : kx::Text::toValidUtf8(text);
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  std::string out;
  std::size_t pos = 0;
  for (std::size_t hit; (hit = text.find(from, pos)) != std::string::npos;
       pos = hit + from.size()) {
    out.append(text, pos, hit - pos);
    out.append(to);
  }
  if (pos == 0) return text;
  out.append(text, pos, std::string::npos);
  return out;
}

// ---- Composed character sequences -----------------------------------------

// Decodes the well-formed UTF-8 character at `i`.
char32_t codePointAt(std::string_view s, std::size_t i, std::size_t* length) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    *length = 1;
    return c;
  }
  std::size_t n = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  char32_t cp = c & (0x7F >> n);
  for (std::size_t k = 1; k < n && i + k < s.size(); ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  }
  *length = n;
  return cp;
}

char32_t lastCodePoint(std::string_view s, std::size_t from, std::size_t to) {
  std::size_t i = to;
  while (i > from && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) --i;
  if (i > from) --i;
  std::size_t n;
  return i < to ? codePointAt(s, i, &n) : 0;
}

bool isRegionalIndicator(char32_t cp) { return cp >= 0x1F1E6 && cp <= 0x1F1FF; }
bool isEmojiModifier(char32_t cp) { return cp >= 0x1F3FB && cp <= 0x1F3FF; }
constexpr char32_t kZeroWidthJoiner = 0x200D;

struct Sequence {
  std::size_t byteStart = 0;
  std::size_t byteEnd = 0;
};

// Calls `visit` with each composed character sequence of well-formed UTF-8
// text, in order, until it returns false. The engine's extended grapheme
// clusters are the base; on top of them an emoji modifier stays with the
// emoji before it, a zero-width joiner joins the sequences on both sides,
// and regional indicators go in pairs (one flag each).
void forEachComposedSequence(std::string_view s,
                             const std::function<bool(const Sequence&)>& visit) {
  if (!graphemePattern()) return;
  std::optional<Sequence> pending;
  bool stopped = false;
  auto offer = [&](Sequence next) {
    if (pending) {
      std::size_t n;
      const char32_t first = codePointAt(s, next.byteStart, &n);
      const bool join =
          lastCodePoint(s, pending->byteStart, pending->byteEnd) == kZeroWidthJoiner ||
          isEmojiModifier(first);
      if (join) {
        pending->byteEnd = next.byteEnd;
        return true;
      }
      if (!visit(*pending)) return false;
    }
    pending = next;
    return true;
  };
  graphemePattern()->enumerateMatches(s, [&](const KXRegularExpression::Match& m) {
    const std::size_t start = m.byteRanges[0].offset;
    const std::size_t end = start + m.byteRanges[0].length;
    if (end == start) return true;
    std::size_t n;
    std::size_t pieceStart = start;
    if (isRegionalIndicator(codePointAt(s, start, &n))) {
      // A run of indicators comes as one cluster: cut it after every pair.
      int indicators = 0;
      for (std::size_t i = start; i < end; i += n) {
        const bool indicator = isRegionalIndicator(codePointAt(s, i, &n));
        if (indicator && indicators == 2) {
          if (!offer({pieceStart, i})) {
            stopped = true;
            return false;
          }
          pieceStart = i;
          indicators = 0;
        }
        if (indicator) ++indicators;
      }
    }
    if (!offer({pieceStart, end})) {
      stopped = true;
      return false;
    }
    return true;
  });
  if (!stopped && pending) visit(*pending);
}

// Byte length of the longest prefix of whole composed sequences that takes at
// most `maxUnits` UTF-16 units (widen = false), or of the shortest one that
// takes at least `maxUnits` units (widen = true).
std::size_t composedPrefixBytes(std::string_view s, std::size_t maxUnits, bool widen) {
  std::size_t units = 0;
  std::size_t bytes = 0;
  forEachComposedSequence(s, [&](const Sequence& seq) {
    if (units >= maxUnits) return false;
    const std::size_t seqUnits =
        kx::Text::utf16Length(s.substr(seq.byteStart, seq.byteEnd - seq.byteStart));
    if (!widen && units + seqUnits > maxUnits) return false;
    units += seqUnits;
    bytes = seq.byteEnd;
    return true;
  });
  return bytes;
}

// ---- Plain text of note bodies ---------------------------------------------

// The text of the structured (JSON) note form: for each block of "5", for
// each line of its "5", the first run of "7" gives its "8"; the last one
// found counts.
std::optional<std::string> structuredNoteText(std::string_view text) {
  kx::Value root = objectFromJSONStringWithParseOptions(text, JKParseOptionStrict, nullptr);
  if (!root.isDictionary() || !root.contains("5")) return std::nullopt;
  kx::Value found;
  for (const kx::Value& block : root["5"].array()) {
    if (!block.contains("5")) continue;
    for (const kx::Value& line : block["5"].array()) {
      const kx::Array& runs = line["7"].array();
      if (!runs.empty()) found = runs.front()["8"];
    }
  }
  if (found.isString() && !found.string().empty()) return found.string();
  return std::nullopt;
}

const std::optional<KXRegularExpression>& xmlBodyPattern() {
  static const std::optional<KXRegularExpression> rx = KXRegularExpression::make(
      R"((?:<(text)(?: [^/<>]*)?>([\s\S]*?)</text>)|(?:<table(?: [^/<>]*)?>([\s\S]*?)</table>))");
  return rx;
}
const std::optional<KXRegularExpression>& tableContentPattern() {
  static const std::optional<KXRegularExpression> rx =
      KXRegularExpression::make(R"(<content[^/<>]*>([\s\S]*?)</content>)");
  return rx;
}

// The text of a table cell's value as the joined text shows it; nullopt for
// values that are missing, null or empty.
std::optional<std::string> cellText(const kx::Value& value) {
  if (value.isString()) {
    if (value.string().empty()) return std::nullopt;
    return value.string();
  }
  if (value.isNumber() || value.isBool()) return value.stringValue();
  return std::nullopt;
}

std::string xmlNoteText(const std::string& xml, const NSStringDupTitle::HtmlHelper* helper) {
  const std::string text = helper ? validUtf8(helper->replaceHTMLEntities(xml)) : xml;
  if (!xmlBodyPattern() || !tableContentPattern()) return std::string();
  std::vector<std::string> pieces;
  xmlBodyPattern()->enumerateMatches(text, [&](const KXRegularExpression::Match& m) {
    if (m.byteRanges[1].found()) {
      std::optional<std::string_view> body = m.substring(text, 2);
      if (body && !body->empty()) pieces.emplace_back(*body);
      return true;
    }
    std::optional<std::string_view> table = m.substring(text, 3);
    if (!table || table->empty()) return true;
    tableContentPattern()->enumerateMatches(*table, [&](const KXRegularExpression::Match& c) {
      std::optional<std::string_view> body = c.substring(*table, 1);
      if (!body) return true;
      kx::Error error;
      kx::Value content =
          objectFromJSONStringWithParseOptions(*body, JKParseOptionValidFlags, &error);
      if (error) return true;
      const kx::Value& cells = content["cells"];
      if (!cells.isArray()) return true;
      for (const kx::Value& cell : cells.array()) {
        if (std::optional<std::string> value = cellText(cell["value"])) pieces.push_back(*value);
      }
      return true;
    });
    return true;
  });
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i) joined.push_back(' ');
    joined.append(pieces[i]);
  }
  return joined;
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The value of a numeric reference's digits, nullopt unless every character
// is a digit of the base.
std::optional<std::uint32_t> referenceValue(std::string_view digits, bool hex) {
  if (digits.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    std::uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<std::uint32_t>(c - '0');
    } else if (hex && isHexDigit(c)) {
      d = static_cast<std::uint32_t>((c | 0x20) - 'a' + 10);
    } else {
      return std::nullopt;
    }
    value = value * (hex ? 16 : 10) + d;  // at most 7 digits: no overflow
  }
  return value;
}

bool extensionContains(std::string_view name, std::initializer_list<std::string_view> words) {
  const std::string extension = kx::Path::pathExtension(name);
  for (std::string_view w : words) {
    if (extension.find(w) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

void NSStringDupTitle::setHtmlHelper(const HtmlHelper* helper) {
  gHtmlHelper.store(helper, std::memory_order_release);
}

// ---- Duplicate titles --------------------------------------------------------

NSStringDupTitle::Comps NSStringDupTitle::dupTitleComps(std::string_view title) {
  const std::string text = validUtf8(title);
  if (titlePattern()) {
    std::optional<KXRegularExpression::Match> last;
    titlePattern()->enumerateMatches(text, [&](const KXRegularExpression::Match& m) {
      last = m;
      return true;
    });
    if (last) {
      return {std::string(*last->substring(text, 1)),
              kx::Text::leadingInt64(*last->substring(text, 2)), std::string()};
    }
  }
  return {text, 0, std::string()};
}

NSStringDupTitle::Comps NSStringDupTitle::dupFileTitleComps(std::string_view name) {
  const std::string text = validUtf8(name);
  if (fileTitlePattern()) {
    std::optional<KXRegularExpression::Match> last;
    fileTitlePattern()->enumerateMatches(text, [&](const KXRegularExpression::Match& m) {
      last = m;
      return true;
    });
    if (last) {
      return {std::string(*last->substring(text, 1)),
              kx::Text::leadingInt64(*last->substring(text, 2)),
              std::string(last->substring(text, 3).value_or(std::string_view()))};
    }
  }
  return {kx::Path::deletingPathExtension(text), 0, "." + kx::Path::pathExtension(text)};
}

std::string NSStringDupTitle::dupTitleFromComps(const Comps& comps) {
  const std::string suffix = "(" + kx::Text::toString(comps.counter) + ")";
  const std::size_t suffixUnits = kx::Text::utf16Length(suffix);
  const std::size_t maxBase = kTitleUnits > suffixUnits ? kTitleUnits - suffixUnits : 0;
  std::string base = validUtf8(comps.base);
  if (kx::Text::utf16Length(base) > maxBase) base.resize(composedPrefixBytes(base, maxBase, false));
  return base + suffix + comps.tail;
}

// ---- Digests -----------------------------------------------------------------

std::string NSStringDupTitle::hexStringFromBytes(const void* bytes, std::size_t length) {
  return kx::Crypto::hex(kx::ByteView(bytes, length));
}

std::string NSStringDupTitle::sha1(std::string_view text) { return kx::Crypto::sha1Hex(text); }

std::string NSStringDupTitle::sha1ForData(kx::ByteView data) { return kx::Crypto::sha1Hex(data); }

std::string NSStringDupTitle::MD5String(std::string_view text) { return kx::Crypto::md5Hex(text); }

std::string NSStringDupTitle::MD5WithData(kx::ByteView data) { return kx::Crypto::md5Hex(data); }

// ---- Note text -----------------------------------------------------------------

std::string NSStringDupTitle::plainText(std::string_view input) {
  const std::string text = validUtf8(input);
  if (std::optional<std::string> structured = structuredNoteText(text)) return *structured;
  const HtmlHelper* helper = gHtmlHelper.load(std::memory_order_acquire);
  if (text.starts_with("<?xml")) return xmlNoteText(text, helper);
  std::string unescaped = gtm_stringByUnescapingFromHTML(text);
  return helper ? helper->textForHtml(unescaped) : unescaped;
}

std::string NSStringDupTitle::gtm_stringByUnescapingFromHTML(std::string_view input) {
  if (input.find('&') == std::string_view::npos) return std::string(input);
  const std::string text = validUtf8(input);
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  std::size_t amp = text.find('&');
  while (amp != std::string::npos) {
    // A reference ends at the first ";" before the next "&".
    const std::size_t next = text.find('&', amp + 1);
    const std::size_t limit = next == std::string::npos ? text.size() : next;
    const std::size_t semi = text.find(';', amp);
    if (semi != std::string::npos && semi < limit) {
      std::string_view candidate(text.data() + amp, semi - amp + 1);
      const std::size_t units = kx::Text::utf16Length(candidate);
      if (units >= 4 && units <= 10 && candidate[1] == '#') {
        const bool hex = candidate[2] == 'x' || candidate[2] == 'X';
        std::string_view digits = candidate.substr(hex ? 3 : 2);
        digits.remove_suffix(1);
        std::optional<std::uint32_t> value = referenceValue(digits, hex);
        if (value && *value >= 1 && *value <= 0xFFFE) {
          // A lone surrogate is no character: it reads as U+FFFD.
          const char32_t cp = (*value >= 0xD800 && *value <= 0xDFFF) ? 0xFFFD : *value;
          out.append(text, copied, amp - copied);
          out.append(kx::Text::fromUtf32(std::u32string(1, cp)));
          copied = semi + 1;
        }
      }
    }
    amp = next;
  }
  out.append(text, copied, std::string::npos);
  return out;
}

std::string NSStringDupTitle::htmlEntityDecode(std::string_view text) {
  std::string out(text);
  out = replaceAll(std::move(out), "&quot;", "\"");
  out = replaceAll(std::move(out), "&apos;", "'");
  out = replaceAll(std::move(out), "&amp;", "&");
  out = replaceAll(std::move(out), "&lt;", "<");
  out = replaceAll(std::move(out), "&gt;", ">");
  out = replaceAll(std::move(out), "&nbsp;", " ");
  return out;
}

std::string NSStringDupTitle::clearXml(std::string_view text) {
  static const std::optional<KXRegularExpression> rx =
      KXRegularExpression::make(R"((<[^<>/]+?) xmlns=""(/?>))");
  if (!rx) return std::string(text);
  return rx->replacingMatches(text, "$1$2");
}

std::string NSStringDupTitle::stringByReplacingUrlWithId(std::string_view text,
                                                         std::string_view identifier) {
  // The host and the identifier are both taken literally: an identifier
  // holding pattern or template characters must neither break the pattern
  // nor match other text.
  const std::string pattern = "(http://|https://|//)" +
                              KXRegularExpression::escapedPattern(KXServiceHost()) + "[^\"<>]+?" +
                              KXRegularExpression::escapedPattern(identifier);
  std::optional<KXRegularExpression> rx = KXRegularExpression::make(pattern);
  if (!rx) return std::string(text);
  return rx->replacingMatches(text, KXRegularExpression::escapedTemplate(identifier));
}

std::string NSStringDupTitle::summaryString(std::string_view input) {
  std::string text = validUtf8(input);
  if (kx::Text::utf16Length(text) <= kSummaryUnits) return text;
  text.resize(composedPrefixBytes(text, kSummaryUnits, true));
  return text;
}

// ---- File names and URLs -------------------------------------------------------

bool NSStringDupTitle::isPdf(std::string_view name) { return extensionContains(name, {"pdf"}); }

bool NSStringDupTitle::isOfficeFile(std::string_view name) {
  return extensionContains(name, {"xls", "doc", "ppt", "pdf"});
}

bool NSStringDupTitle::isNormalFile(std::string_view name) {
  if (kx::Path::pathExtension(name).empty()) return false;
  return !extensionContains(name, {"note", "md", "mindmap"});
}

bool NSStringDupTitle::isSameUrl(std::string_view text, std::string_view other) {
  auto afterScheme = [](std::string_view s) -> std::optional<std::string_view> {
    if (s.starts_with("http://")) return s.substr(6);
    if (s.starts_with("https://")) return s.substr(7);
    return std::nullopt;
  };
  std::optional<std::string_view> a = afterScheme(text);
  std::optional<std::string_view> b = afterScheme(other);
  return a && b && *a == *b;
}

bool NSStringDupTitle::guessIsALink(std::string_view text) {
  const std::string lower = kx::Text::asciiLower(text.substr(0, 8));
  return lower.starts_with("http://") || lower.starts_with("https://");
}

std::string NSStringDupTitle::urlencode(std::string_view text) {
  static const kx::URLCharacterSet allowed(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~");
  return kx::percentEncode(validUtf8(text), allowed);
}

std::vector<std::string> NSStringDupTitle::arrayByAppendingSuffixArray(
    std::string_view text, const std::vector<std::string>& suffixes) {
  std::vector<std::string> out;
  out.reserve(suffixes.size());
  for (const std::string& suffix : suffixes) out.push_back(std::string(text) + suffix);
  return out;
}

std::string NSStringDupTitle::trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::string();
  const std::size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

std::string NSStringDupTitle::safeForCoreData(std::string_view text) {
  return replaceAll(std::string(text), "'", "\\'");
}

bool NSStringDupTitle::isEmpty(const char* text) { return !text || !*text; }

bool NSStringDupTitle::isEmpty(const std::string& text) { return text.empty(); }

bool NSStringDupTitle::isEmpty(const std::optional<std::string>& text) {
  return !text || text->empty();
}

bool NSStringDupTitle::isEmpty(const kx::Value& value) {
  return value.isNull() || (value.isString() && value.string().empty());
}

// ---- Presentation ----------------------------------------------------------------

NSStringDupTitle::EditingString NSStringDupTitle::stringForEditing(std::string_view text,
                                                                   bool highlightLink,
                                                                   bool isPlaceHolder) {
  EditingString result;
  result.string = std::string(text);
  if (highlightLink && guessIsALink(text)) result.foreground = EditingColour::Link;
  if (isPlaceHolder) result.foreground = EditingColour::Placeholder;
  return result;
}

// ---- Further helpers -------------------------------------------------------------

kx::Dictionary NSStringDupTitle::DictionarySeparatedByString(std::string_view text,
                                                             std::string_view separator) {
  std::vector<std::string_view> pairs;
  if (separator.empty()) {
    pairs.push_back(text);
  } else {
    std::size_t start = 0;
    for (std::size_t hit; (hit = text.find(separator, start)) != std::string_view::npos;
         start = hit + separator.size()) {
      pairs.push_back(text.substr(start, hit - start));
    }
    pairs.push_back(text.substr(start));
  }
  kx::Dictionary result;
  for (std::string_view pair : pairs) {
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos || pair.find('=', equals + 1) != std::string_view::npos) {
      continue;
    }
    result.set(std::string(pair.substr(equals + 1)), kx::Value(pair.substr(0, equals)));
  }
  return result;
}

bool NSStringDupTitle::isPhoneNumber(std::string_view text) {
  if (text.size() != 11 || text[0] != '1') return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool NSStringDupTitle::isValidEmail(std::string_view text) {
  static const std::optional<KXRegularExpression> rx =
      KXRegularExpression::make(R"(\A[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,}\z)");
  return rx && rx->firstMatch(validUtf8(text)).has_value();
}

bool NSStringDupTitle::isValidURL(std::string_view text) {
  return text.starts_with("http://") || text.starts_with("https://");
}

bool NSStringDupTitle::isValidZarvelURL(std::string_view text) {
  const std::string base = KXServiceBaseURL();
  const std::size_t schemeEnd = base.find("://");
  if (schemeEnd == std::string::npos) return false;
  const std::string authority = base.substr(schemeEnd + 3);
  for (std::string_view scheme : {"http://", "https://"}) {
    const std::string origin = std::string(scheme) + authority;
    if (text.size() < origin.size() ||
        !kx::Text::asciiEqualIgnoringCase(text.substr(0, origin.size()), origin)) {
      continue;
    }
    std::string_view rest = text.substr(origin.size());
    if (!rest.empty() && rest[0] == ':' && authority.find(':') == std::string::npos) {
      std::size_t digits = 1;
      while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
      if (digits == 1) return false;
      rest.remove_prefix(digits);
    }
    return rest.empty() || rest[0] == '/' || rest[0] == '?' || rest[0] == '#';
  }
  return false;
}

bool NSStringDupTitle::isLegalFileName(std::string_view text) {
  return text.find_first_of("\\/:*<>|") == std::string_view::npos;
}

std::string NSStringDupTitle::stringFromSize(double size) {
  static constexpr const char* kFormats[] = {"%.1fK", "%.1fM", "%.1fG"};
  char text[64];
  if (!(std::fabs(size) >= 1024)) {
    std::snprintf(text, sizeof text, "%.0fB", size);
    return text;
  }
  double value = size / 1024;
  std::size_t unit = 0;
  while (unit < 2 && std::fabs(value) >= 1024) {
    value /= 1024;
    ++unit;
  }
  std::snprintf(text, sizeof text, kFormats[unit], value);
  return text;
}

std::string NSStringDupTitle::safeForCoreDataRegExp(std::string_view text) {
  static const pcrecpp::RE metacharacters(R"(([\\^$.|?*+()\[\]{}]))");
  std::string escaped(text);
  metacharacters.GlobalReplace(R"(\\\1)", &escaped);
  return safeForCoreData(escaped);
}

std::optional<kx::Bytes> NSStringDupTitle::dataByTransformToGB(std::string_view text) {
  std::optional<std::string> gb = KXStringEncoding::fromUtf8(text, kKXGB18030Encoding);
  if (!gb) return std::nullopt;
  return kx::Bytes(gb->begin(), gb->end());
}

std::string NSStringDupTitle::stringByTransfromToPinyin(std::string_view text) {
  // One transliterator, made on first use (it is costly to build) and used
  // under a lock.
  struct Shared {
    kx::Mutex mu;
    std::unique_ptr<icu::Transliterator> transliterator GUARDED_BY(mu);
  };
  static Shared* shared = [] {
    auto* s = new Shared();
    kx::MutexLock lock(s->mu);  // not yet shared; for the analysis
    UErrorCode status = U_ZERO_ERROR;
    s->transliterator.reset(icu::Transliterator::createInstance(
        "Any-Latin; NFD; [:Nonspacing Mark:] Remove; NFC", UTRANS_FORWARD, status));
    if (U_FAILURE(status)) s->transliterator.reset();
    return s;
  }();
  const std::string valid = validUtf8(text);
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(valid);
  {
    kx::MutexLock lock(shared->mu);
    if (!shared->transliterator) return valid;
    shared->transliterator->transliterate(unicode);
  }
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

std::string NSStringDupTitle::timeFromInterval(double seconds) {
  struct Unit {
    std::int64_t seconds;
    const char* name;
  };
  static constexpr std::int64_t kDay = 86400;
  static constexpr Unit kUnits[] = {
      {100 * 365 * kDay, "c"},
      {365 * kDay, "y"},
      {30 * kDay, "mo"},
      {kDay, "d"},
      {3600, "h"},
      {60, "min"},
      {1, "s"},
  };
  // Whole seconds; negative and NaN durations count as 0, huge ones stop at
  // the largest count the integer holds.
  std::int64_t rest = 0;
  if (seconds >= 9.2e18) {
    rest = INT64_MAX;
  } else if (seconds > 0) {
    rest = static_cast<std::int64_t>(seconds);
  }
  std::string out;
  for (const Unit& unit : kUnits) {
    const std::int64_t count = rest / unit.seconds;
    rest %= unit.seconds;
    if (count == 0) continue;
    out += kx::Text::toString(count) + kx::LocalizedStrings::localized(unit.name) + " ";
  }
  if (out.empty()) out = "0" + kx::LocalizedStrings::localized("s") + " ";
  return out;
}

std::string NSStringDupTitle::subStringWithFont(std::string_view text, const KXFont& font,
                                                double width) {
  const std::string valid = kx::Text::toValidUtf8(text);
  if (font.widthOfString(valid) <= width) return valid;

  // Byte offsets where a cut may fall: the ends of composed character
  // sequences, as Pango's cursor positions give them.
  std::vector<std::size_t> cuts;
  {
    KXFont::LayoutPtr layout = font.newLayout(valid);
    int count = 0;
    const PangoLogAttr* attrs = pango_layout_get_log_attrs_readonly(layout.get(), &count);
    const char* start = valid.c_str();
    const char* p = start;
    for (int i = 0; i < count; ++i) {
      if (i > 0 && attrs[i].is_cursor_position) cuts.push_back(static_cast<std::size_t>(p - start));
      if (*p) p = g_utf8_next_char(p);
    }
  }
  // The longest fitting prefix: cuts[lo - 1] fits (lo = 0: the empty one),
  // cuts[hi] does not (the whole text is known not to fit).
  std::size_t lo = 0;
  std::size_t hi = cuts.empty() ? 0 : cuts.size() - 1;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (font.widthOfString(std::string_view(valid).substr(0, cuts[mid])) <= width) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo == 0 ? std::string() : valid.substr(0, cuts[lo - 1]);
}

std::string NSStringDupTitle::subStringWithEllipsisWithFont(std::string_view text,
                                                            const KXFont& font, double width) {
  std::string prefix = subStringWithFont(text, font, width);
  if (prefix.size() < kx::Text::toValidUtf8(text).size()) prefix += "...";
  return prefix;
}
