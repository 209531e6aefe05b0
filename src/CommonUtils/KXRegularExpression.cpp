#include "CommonUtils/KXRegularExpression.h"

#include <pcre.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "platform/Text.h"

namespace {

// Depth of the interpreter's recursion when the JIT is not available: deep
// enough for ordinary patterns, shallow enough for a worker thread's stack.
constexpr unsigned long kInterpreterRecursionLimit = 5000;
// The JIT keeps its backtracking stack on the heap, one per thread.
constexpr int kJitStackStart = 32 * 1024;
constexpr int kJitStackMax = 8 * 1024 * 1024;

struct ThreadJitStack {
  pcre_jit_stack* stack = pcre_jit_stack_alloc(kJitStackStart, kJitStackMax);
  ~ThreadJitStack() {
    if (stack) pcre_jit_stack_free(stack);
  }
};

pcre_jit_stack* jitStackForThisThread(void*) {
  thread_local ThreadJitStack holder;
  return holder.stack;
}

// Length in bytes of the well-formed UTF-8 character that starts with `lead`.
inline std::size_t utf8CharLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// UTF-16 units of the well-formed UTF-8 bytes [from, to).
inline std::uint64_t utf16Units(std::string_view text, std::size_t from, std::size_t to) {
  std::uint64_t units = 0;
  for (std::size_t i = from; i < to; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

// Turns byte offsets into UTF-16 offsets. Matches come in order, so the
// cursor mostly moves forward and the whole search counts each byte about
// once; a group that starts before the cursor (a look-behind) is counted
// back from it.
class Utf16Cursor {
 public:
  explicit Utf16Cursor(std::string_view text) : text_(text) {}

  std::uint64_t unitsAt(std::size_t byte) {
    if (byte >= byte_) {
      unit_ += utf16Units(text_, byte_, byte);
    } else {
      unit_ -= utf16Units(text_, byte, byte_);
    }
    byte_ = byte;
    return unit_;
  }

 private:
  std::string_view text_;
  std::size_t byte_ = 0;
  std::uint64_t unit_ = 0;
};

inline bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

struct KXRegularExpression::Compiled {
  std::string pattern;
  Options options = 0;
  pcre* code = nullptr;
  pcre_extra* extra = nullptr;
  int groups = 0;

  Compiled() = default;
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;
  ~Compiled() {
    if (extra) pcre_free_study(extra);
    if (code) pcre_free(code);
  }
};

KXRange KXRegularExpression::Match::rangeAtIndex(std::size_t index) const {
  return index < ranges.size() ? ranges[index] : KXRange{};
}

std::optional<std::string_view> KXRegularExpression::Match::substring(std::string_view text,
                                                                      std::size_t index) const {
  if (index >= byteRanges.size()) return std::nullopt;
  const ByteRange& r = byteRanges[index];
  if (!r.found() || r.offset > text.size() || r.length > text.size() - r.offset) {
    return std::nullopt;
  }
  return text.substr(r.offset, r.length);
}

KXRegularExpression::KXRegularExpression(std::shared_ptr<const Compiled> compiled)
    : compiled_(std::move(compiled)) {}

std::optional<KXRegularExpression> KXRegularExpression::make(std::string_view pattern,
                                                             Options options, kx::Error* error) {
  std::string source =
      (options & IgnoreMetacharacters) ? escapedPattern(pattern) : std::string(pattern);
  if (source.find('\0') != std::string::npos || source.size() > INT_MAX) {
    kx::SetError(error, kx::Error::make(kKXRegularExpressionErrorDomain, 1,
                                        "The pattern holds a NUL character or is too long."));
    return std::nullopt;
  }

  int flags = PCRE_UTF8 | PCRE_UCP | PCRE_BSR_UNICODE;
  flags |= (options & UseUnixLineSeparators) ? PCRE_NEWLINE_LF : PCRE_NEWLINE_ANY;
  if (options & CaseInsensitive) flags |= PCRE_CASELESS;
  if (options & AllowCommentsAndWhitespace) flags |= PCRE_EXTENDED;
  if (options & DotMatchesLineSeparators) flags |= PCRE_DOTALL;
  if (options & AnchorsMatchLines) flags |= PCRE_MULTILINE;

  auto compiled = std::make_shared<Compiled>();
  compiled->pattern = std::string(pattern);
  compiled->options = options;
  int errorCode = 0;
  const char* message = nullptr;
  int errorOffset = 0;
  compiled->code =
      pcre_compile2(source.c_str(), flags, &errorCode, &message, &errorOffset, nullptr);
  if (!compiled->code) {
    kx::SetError(
        error, kx::Error::make(kKXRegularExpressionErrorDomain, errorCode == 0 ? 1 : errorCode,
                               std::string(message ? message : "invalid pattern") + " at offset " +
                                   kx::Text::toString(errorOffset)));
    return std::nullopt;
  }
  if (pcre_fullinfo(compiled->code, nullptr, PCRE_INFO_CAPTURECOUNT, &compiled->groups) != 0) {
    compiled->groups = 0;
  }

  const char* studyError = nullptr;
  compiled->extra =
      pcre_study(compiled->code, PCRE_STUDY_JIT_COMPILE | PCRE_STUDY_EXTRA_NEEDED, &studyError);
  if (compiled->extra) {
    compiled->extra->flags |= PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    compiled->extra->match_limit_recursion = kInterpreterRecursionLimit;
    pcre_assign_jit_stack(compiled->extra, jitStackForThisThread, nullptr);
  }
  return KXRegularExpression(std::move(compiled));
}

const std::string& KXRegularExpression::pattern() const { return compiled_->pattern; }

KXRegularExpression::Options KXRegularExpression::options() const { return compiled_->options; }

std::size_t KXRegularExpression::numberOfCaptureGroups() const {
  return static_cast<std::size_t>(compiled_->groups);
}

void KXRegularExpression::enumerateMatches(std::string_view text,
                                           const std::function<bool(const Match&)>& block) const {
  if (!block) return;
  if (kx::Text::isValidUtf8(text)) {
    enumerateValid(text, block);
  } else {
    const std::string repaired = kx::Text::toValidUtf8(text);
    enumerateValid(repaired, block);
  }
}

void KXRegularExpression::enumerateValid(std::string_view text,
                                         const std::function<bool(const Match&)>& block) const {
  if (text.size() > INT_MAX) return;
  const int groups = compiled_->groups;
  std::vector<int> ovector(static_cast<std::size_t>(groups + 1) * 3);
  Match match;
  match.ranges.resize(static_cast<std::size_t>(groups) + 1);
  match.byteRanges.resize(static_cast<std::size_t>(groups) + 1);
  Utf16Cursor cursor(text);

  std::size_t start = 0;
  while (start <= text.size()) {
    int rc = pcre_exec(compiled_->code, compiled_->extra, text.data(),
                       static_cast<int>(text.size()), static_cast<int>(start), PCRE_NO_UTF8_CHECK,
                       ovector.data(), static_cast<int>(ovector.size()));
    // No match, or the engine gave up (match or stack limit): stop.
    if (rc < 0) return;
    if (rc == 0) rc = groups + 1;
    for (int i = 0; i <= groups; ++i) {
      const int from = ovector[2 * i];
      const int to = ovector[2 * i + 1];
      if (i < rc && from >= 0 && to >= 0) {
        const std::size_t b0 = static_cast<std::size_t>(from);
        const std::size_t b1 = std::max(b0, static_cast<std::size_t>(to));
        match.byteRanges[i] = {b0, b1 - b0};
        const std::uint64_t u0 = cursor.unitsAt(b0);
        const std::uint64_t u1 = cursor.unitsAt(b1);
        match.ranges[i] = {u0, u1 - u0};
      } else {
        match.byteRanges[i] = {};
        match.ranges[i] = {};
      }
    }
    if (!block(match)) return;

    const std::size_t matchStart = static_cast<std::size_t>(ovector[0]);
    const std::size_t matchEnd = static_cast<std::size_t>(ovector[1]);
    if (matchEnd > matchStart && matchEnd > start) {
      start = matchEnd;
    } else {
      // An empty match: the next search begins one character further on.
      std::size_t at = std::max(start, matchEnd);
      if (at >= text.size()) return;
      start = at + utf8CharLength(static_cast<unsigned char>(text[at]));
    }
  }
}

std::vector<KXRegularExpression::Match> KXRegularExpression::matches(std::string_view text) const {
  std::vector<Match> result;
  enumerateMatches(text, [&](const Match& m) {
    result.push_back(m);
    return true;
  });
  return result;
}

std::optional<KXRegularExpression::Match> KXRegularExpression::firstMatch(
    std::string_view text) const {
  std::optional<Match> result;
  enumerateMatches(text, [&](const Match& m) {
    result = m;
    return false;
  });
  return result;
}

std::size_t KXRegularExpression::numberOfMatches(std::string_view text) const {
  std::size_t count = 0;
  enumerateMatches(text, [&](const Match&) {
    ++count;
    return true;
  });
  return count;
}

std::string KXRegularExpression::replacementString(const Match& match, std::string_view text,
                                                   std::string_view templ) const {
  const std::size_t groups = numberOfCaptureGroups();
  std::string out;
  out.reserve(templ.size());
  for (std::size_t i = 0; i < templ.size();) {
    const char c = templ[i];
    if (c == '\\') {
      if (i + 1 < templ.size()) {
        // The escaped character, whole when it is a multi-byte one.
        const std::size_t n = utf8CharLength(static_cast<unsigned char>(templ[i + 1]));
        out.append(templ.substr(i + 1, n));
        i += 1 + n;
      } else {
        out.push_back('\\');
        ++i;
      }
      continue;
    }
    if (c == '$' && i + 1 < templ.size() && isAsciiDigit(templ[i + 1])) {
      std::size_t group = static_cast<std::size_t>(templ[i + 1] - '0');
      i += 2;
      while (i < templ.size() && isAsciiDigit(templ[i])) {
        const std::size_t longer = group * 10 + static_cast<std::size_t>(templ[i] - '0');
        if (longer > groups) break;
        group = longer;
        ++i;
      }
      if (std::optional<std::string_view> piece = match.substring(text, group)) out.append(*piece);
      continue;
    }
    out.push_back(c);
    ++i;
  }
  return out;
}

std::string KXRegularExpression::replacingMatches(std::string_view text,
                                                  std::string_view templ) const {
  std::string repaired;
  if (!kx::Text::isValidUtf8(text)) {
    repaired = kx::Text::toValidUtf8(text);
    text = repaired;
  }
  std::string out;
  std::size_t copied = 0;
  enumerateValid(text, [&](const Match& m) {
    const ByteRange& whole = m.byteRanges[0];
    if (whole.offset < copied) return true;  // cannot happen with ordered matches
    out.append(text.substr(copied, whole.offset - copied));
    out.append(replacementString(m, text, templ));
    copied = whole.offset + whole.length;
    return true;
  });
  out.append(text.substr(std::min(copied, text.size())));
  return out;
}

std::string KXRegularExpression::escapedPattern(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u == 0) {
      out.append("\\x{0}");
    } else if (u < 0x80 && !((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '_')) {
      // A backslash before any other ASCII character makes it literal, also
      // white space under AllowCommentsAndWhitespace.
      out.push_back('\\');
      out.push_back(c);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string KXRegularExpression::escapedTemplate(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '$') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}
