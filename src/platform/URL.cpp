#include "platform/URL.h"

#include <unistd.h>

#include <climits>
#include <vector>

#include "platform/Path.h"
#include "platform/Text.h"

namespace kx {

namespace {

constexpr std::string_view kUnreserved =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes no URL may hold as they stand, and well-formed escapes.
bool hasOnlyURLCharacters(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\') return false;
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return false;
      i += 2;
    }
  }
  return true;
}

bool isSchemeCharacter(char c, bool first) {
  bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return alpha;
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Length of the scheme when `text` starts with "scheme:", else 0.
std::size_t schemeLength(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isSchemeCharacter(text[i], i == 0)) ++i;
  return (i > 0 && i < text.size() && text[i] == ':') ? i : 0;
}

// The parts of a URL or a relative reference, as written.
struct Parts {
  std::string scheme;  // empty for a relative reference
  bool hasAuthority = false;
  std::string authority;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

Parts split(std::string_view text) {
  Parts parts;
  std::size_t schemeLen = schemeLength(text);
  if (schemeLen > 0) {
    parts.scheme = std::string(text.substr(0, schemeLen));
    text.remove_prefix(schemeLen + 1);
  }
  std::size_t hash = text.find('#');
  if (hash != std::string_view::npos) {
    parts.fragment = std::string(text.substr(hash + 1));
    text = text.substr(0, hash);
  }
  std::size_t question = text.find('?');
  if (question != std::string_view::npos) {
    parts.query = std::string(text.substr(question + 1));
    text = text.substr(0, question);
  }
  if (text.substr(0, 2) == "//") {
    text.remove_prefix(2);
    std::size_t slash = text.find('/');
    parts.hasAuthority = true;
    parts.authority = std::string(text.substr(0, slash));
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
  }
  parts.path = std::string(text);
  return parts;
}

std::string compose(const Parts& parts) {
  std::string out = parts.scheme;
  out += ':';
  if (parts.hasAuthority) {
    out += "//";
    out += parts.authority;
  } else if (parts.path.starts_with("//")) {
    // Without an authority a path may not start with "//", which would read
    // back as one (RFC 3986, 5.2.4's closing guard): "a:/b/c" and "..//x"
    // give "a:/.//x", not "a://x".
    out += "/.";
  }
  out += parts.path;
  if (parts.query) {
    out += '?';
    out += *parts.query;
  }
  if (parts.fragment) {
    out += '#';
    out += *parts.fragment;
  }
  return out;
}

// RFC 3986, 5.2.4.
std::string removeDotSegments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.substr(0, 3) == "../") {
      input.remove_prefix(3);
    } else if (input.substr(0, 2) == "./") {
      input.remove_prefix(2);
    } else if (input.substr(0, 3) == "/./") {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.substr(0, 4) == "/../" || input == "/..") {
      if (input == "/..") {
        input = "/";
      } else {
        input.remove_prefix(3);
      }
      std::size_t slash = output.rfind('/');
      output.resize(slash == std::string::npos ? 0 : slash);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      std::size_t start = input[0] == '/' ? 1 : 0;
      std::size_t next = input.find('/', start);
      if (next == std::string_view::npos) next = input.size();
      output.append(input.substr(0, next));
      input.remove_prefix(next);
    }
  }
  return output;
}

// RFC 3986, 5.2.3.
std::string mergePaths(const URL& base, bool baseHasAuthority, std::string_view reference) {
  const std::string& basePath = base.percentEncodedPath();
  if (baseHasAuthority && basePath.empty()) return "/" + std::string(reference);
  std::size_t slash = basePath.rfind('/');
  if (slash == std::string::npos) return std::string(reference);
  return basePath.substr(0, slash + 1) + std::string(reference);
}

}  // namespace

// ---- Character sets and escapes ----

URLCharacterSet::URLCharacterSet(std::string_view characters) {
  for (char c : characters) {
    auto u = static_cast<unsigned char>(c);
    if (u < 128) bits_[u >> 6] |= std::uint64_t{1} << (u & 63);
  }
}

URLCharacterSet URLCharacterSet::adding(std::string_view characters) const {
  URLCharacterSet out = *this;
  URLCharacterSet more(characters);
  out.bits_[0] |= more.bits_[0];
  out.bits_[1] |= more.bits_[1];
  return out;
}

URLCharacterSet URLCharacterSet::removing(std::string_view characters) const {
  URLCharacterSet out = *this;
  URLCharacterSet less(characters);
  out.bits_[0] &= ~less.bits_[0];
  out.bits_[1] &= ~less.bits_[1];
  return out;
}

const URLCharacterSet& URLCharacterSet::pathAllowed() {
  static const URLCharacterSet set = URLCharacterSet(kUnreserved).adding("!$&'()*+,;=:@/");
  return set;
}

const URLCharacterSet& URLCharacterSet::queryAllowed() {
  static const URLCharacterSet set = URLCharacterSet(kUnreserved).adding("!$&'()*+,;=:@/?");
  return set;
}

const URLCharacterSet& URLCharacterSet::fragmentAllowed() { return queryAllowed(); }

const URLCharacterSet& URLCharacterSet::hostAllowed() {
  static const URLCharacterSet set = URLCharacterSet(kUnreserved).adding("!$&'()*+,;=:[]");
  return set;
}

const URLCharacterSet& URLCharacterSet::userAllowed() {
  static const URLCharacterSet set = URLCharacterSet(kUnreserved).adding("!$&'()*+,;=");
  return set;
}

const URLCharacterSet& URLCharacterSet::passwordAllowed() { return userAllowed(); }

std::string percentEncode(std::string_view text, const URLCharacterSet& allowed) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (allowed.contains(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hexValue(text[i + 1]);
    int lo = hexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  if (!Text::isValidUtf8(out)) return std::nullopt;
  return out;
}

// ---- URL ----

std::optional<URL> URL::parse(std::string_view text) {
  if (!hasOnlyURLCharacters(text)) return std::nullopt;
  if (schemeLength(text) == 0) return std::nullopt;
  Parts parts = split(text);

  URL url;
  url.scheme_ = Text::asciiLower(parts.scheme);
  url.hasAuthority_ = parts.hasAuthority;
  url.authority_ = parts.authority;
  url.encodedPath_ = std::move(parts.path);
  url.query_ = std::move(parts.query);
  url.fragment_ = std::move(parts.fragment);

  if (url.hasAuthority_) {
    std::string_view authority = url.authority_;
    std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
      std::string_view userInfo = authority.substr(0, at);
      authority.remove_prefix(at + 1);
      std::size_t colon = userInfo.find(':');
      url.user_ = percentDecode(userInfo.substr(0, colon));
      if (!url.user_) return std::nullopt;
      if (colon != std::string_view::npos) {
        url.password_ = percentDecode(userInfo.substr(colon + 1));
        if (!url.password_) return std::nullopt;
      }
    }
    std::string_view host;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
      std::size_t close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      host = authority.substr(1, close - 1);
      std::string_view rest = authority.substr(close + 1);
      if (!rest.empty()) {
        if (rest.front() != ':') return std::nullopt;
        port = rest.substr(1);
      }
    } else {
      std::size_t colon = authority.rfind(':');
      host = authority.substr(0, colon);
      if (colon != std::string_view::npos) port = authority.substr(colon + 1);
      if (host.find_first_of("[]") != std::string_view::npos) return std::nullopt;
    }
    std::optional<std::string> decodedHost = percentDecode(host);
    if (!decodedHost) return std::nullopt;
    url.host_ = std::move(*decodedHost);
    if (!port.empty()) {
      if (port.size() > 5) return std::nullopt;
      int value = 0;
      for (char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
      }
      if (value > 65535) return std::nullopt;
      url.port_ = value;
    }
  }
  url.rebuild();
  return url;
}

std::optional<URL> URL::parse(std::string_view text, const URL& base) {
  if (base.empty() || schemeLength(text) > 0) return parse(text);
  if (!hasOnlyURLCharacters(text)) return std::nullopt;
  Parts reference = split(text);
  Parts target;
  target.scheme = base.scheme_;
  if (reference.hasAuthority) {
    target.hasAuthority = true;
    target.authority = reference.authority;
    target.path = removeDotSegments(reference.path);
    target.query = reference.query;
  } else {
    target.hasAuthority = base.hasAuthority_;
    target.authority = base.authority_;
    if (reference.path.empty()) {
      target.path = base.encodedPath_;
      target.query = reference.query ? reference.query : base.query_;
    } else {
      if (reference.path.front() == '/') {
        target.path = removeDotSegments(reference.path);
      } else {
        target.path = removeDotSegments(mergePaths(base, base.hasAuthority_, reference.path));
      }
      target.query = reference.query;
    }
  }
  target.fragment = reference.fragment;
  return parse(compose(target));
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
  std::string absolute(path);
  if (absolute.empty() || absolute.front() != '/') {
    std::vector<char> buffer(PATH_MAX);
    std::string cwd = ::getcwd(buffer.data(), buffer.size()) ? buffer.data() : "/";
    absolute = cwd + "/" + absolute;
  }
  absolute = Path::standardizingPath(absolute);
  URL url;
  url.scheme_ = "file";
  url.hasAuthority_ = true;
  url.encodedPath_ = percentEncode(absolute, URLCharacterSet::pathAllowed());
  if (isDirectory && url.encodedPath_ != "/") url.encodedPath_ += '/';
  url.rebuild();
  return url;
}

std::string URL::path() const {
  std::optional<std::string> decoded = percentDecode(encodedPath_);
  if (!decoded) return "";
  if (decoded->size() > 1 && decoded->back() == '/') decoded->pop_back();
  return std::move(*decoded);
}

std::vector<std::string> URL::pathComponents() const {
  std::vector<std::string> components;
  std::string_view rest = encodedPath_;
  if (!rest.empty() && rest.front() == '/') components.emplace_back("/");
  while (!rest.empty()) {
    std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    if (!segment.empty()) {
      std::optional<std::string> decoded = percentDecode(segment);
      components.push_back(decoded ? std::move(*decoded) : std::string(segment));
    }
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return components;
}

URL URL::appendingPathComponent(std::string_view component, bool isDirectory) const {
  URL url = *this;
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  if (url.encodedPath_.empty() || url.encodedPath_.back() != '/') url.encodedPath_ += '/';
  url.encodedPath_ += percentEncode(component, URLCharacterSet::pathAllowed());
  if (isDirectory && url.encodedPath_.back() != '/') url.encodedPath_ += '/';
  url.rebuild();
  return url;
}

void URL::rebuild() {
  Parts parts;
  parts.scheme = scheme_;
  parts.hasAuthority = hasAuthority_;
  parts.authority = authority_;
  parts.path = encodedPath_;
  parts.query = query_;
  parts.fragment = fragment_;
  absolute_ = compose(parts);
}

}  // namespace kx
