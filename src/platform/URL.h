// kx::URL is a parsed absolute URL with the answers of the desktop platform's
// URL class: the scheme (lower-cased), user and password, host, port, the
// path percent-decoded and without a trailing slash ("/" stays "/"), path
// components, the raw query and fragment, and the absolute string. It turns
// file paths into file URLs and back, appends path components and resolves
// relative references against a base (RFC 3986, section 5).
//
// Parsing is as lenient as the URLs the web view hands over: printable ASCII
// outside RFC 3986's sets, such as "{" or "|" in a query, is kept as it is;
// what no URL may hold is refused: no scheme, space, control characters,
// non-ASCII bytes, '"', '<', '>', '\', a "%" not followed by two hex digits,
// a port that is not a number up to 65535, an unclosed "[" of an IPv6 host.
//
// percentEncode and percentDecode are the text helpers underneath;
// URLCharacterSet names which ASCII characters stay as they are, with the
// platform's sets for each URL part.
//
// Thread safety: plain values.
#ifndef ZN_PLATFORM_URL_H_
#define ZN_PLATFORM_URL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// A set of ASCII characters that percent-encoding leaves alone. Bytes from
// 0x80 up are never in a set.
class URLCharacterSet {
 public:
  URLCharacterSet() = default;
  explicit URLCharacterSet(std::string_view characters);

  bool contains(unsigned char c) const {
    return c < 128 && ((bits_[c >> 6] >> (c & 63)) & 1u) != 0;
  }
  URLCharacterSet adding(std::string_view characters) const;
  URLCharacterSet removing(std::string_view characters) const;

  // The platform's sets: letters, digits and "-._~" plus
  //  path:     "!$&'()*+,;=:@/"
  //  query:    "!$&'()*+,;=:@/?"   (fragment: the same)
  //  host:     "!$&'()*+,;=:[]"
  //  user:     "!$&'()*+,;="       (password: the same)
  static const URLCharacterSet& pathAllowed();
  static const URLCharacterSet& queryAllowed();
  static const URLCharacterSet& fragmentAllowed();
  static const URLCharacterSet& hostAllowed();
  static const URLCharacterSet& userAllowed();
  static const URLCharacterSet& passwordAllowed();

 private:
  std::uint64_t bits_[2] = {0, 0};
};

// Every byte of `text` that is not in `allowed` becomes "%XX" (upper-case
// hex), so UTF-8 text is encoded byte by byte.
std::string percentEncode(std::string_view text, const URLCharacterSet& allowed);
// Replaces each "%XX"; nullopt when a "%" is not followed by two hex digits
// or when the result is not valid UTF-8. "+" is left as it is.
std::optional<std::string> percentDecode(std::string_view text);

class URL {
 public:
  // An empty URL: no scheme, empty absolute string.
  URL() = default;

  // nullopt when `text` is not an absolute URL (see above).
  static std::optional<URL> parse(std::string_view text);
  // `text` resolved against `base` when it is a relative reference; an
  // absolute `text` is parsed as it is.
  static std::optional<URL> parse(std::string_view text, const URL& base);
  // "file://" + the path, percent-encoded; a relative path is taken from the
  // current folder. isDirectory adds a trailing slash. The disk is not asked.
  static URL fileURLWithPath(std::string_view path, bool isDirectory = false);

  bool empty() const { return absolute_.empty(); }
  const std::string& absoluteString() const { return absolute_; }
  const std::string& scheme() const { return scheme_; }
  bool isFileURL() const { return scheme_ == "file"; }

  // Percent-decoded; nullopt when the URL has none.
  const std::optional<std::string>& user() const { return user_; }
  const std::optional<std::string>& password() const { return password_; }
  // Percent-decoded, without the brackets of an IPv6 address; "" when none.
  const std::string& host() const { return host_; }
  const std::optional<int>& port() const { return port_; }

  // Percent-decoded, without a trailing slash ("/" stays "/"); "" when the
  // URL has no path or when its escapes do not decode to UTF-8. For a file
  // URL this is the file's path.
  std::string path() const;
  const std::string& percentEncodedPath() const { return encodedPath_; }
  // "/" first for an absolute path, then each non-empty segment decoded
  // (a segment whose escapes do not decode is given as it stands):
  // "/a/b%20c/" -> {"/", "a", "b c"}.
  std::vector<std::string> pathComponents() const;
  // Raw, without the "?" or "#"; nullopt when absent ("" for a bare "?").
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  // The URL with `component` (percent-encoded, slashes kept) added to its
  // path after one "/"; the query and fragment stay. isDirectory adds a
  // trailing slash.
  URL appendingPathComponent(std::string_view component, bool isDirectory = false) const;

  bool operator==(const URL& other) const { return absolute_ == other.absolute_; }

 private:
  void rebuild();

  std::string absolute_;
  std::string scheme_;
  bool hasAuthority_ = false;
  std::string authority_;  // as written, for rebuilding
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  std::string host_;
  std::optional<int> port_;
  std::string encodedPath_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_URL_H_
