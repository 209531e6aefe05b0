// kx::LocalizedStrings is a key-to-text table for the few messages that the
// client localises (message keys of presented errors and the like). The
// application's table is the resource file "Localizable.strings" in the
// platform's strings-file form:
//
//   /* comment */  // comment
//   "key" = "value";
//   "key";                      (the value is the key)
//
// with the escapes \" \\ \n \t \r \' \uXXXX / \UXXXX and \ooo (octal) inside
// quoted strings; keys and values may also be bare words of letters, digits
// and _$+/:.- . The file is UTF-8 (a byte order mark is skipped) or UTF-16
// with a byte order mark. A key without a translation reads as itself.
//
// Thread safety: every method may be called from any thread; the table is
// guarded by an internal mutex. The shared table loads its file lazily on the
// first lookup, once.
#ifndef ZN_PLATFORM_LOCALIZEDSTRINGS_H_
#define ZN_PLATFORM_LOCALIZEDSTRINGS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/Error.h"
#include "platform/Mutex.h"

namespace kx {

class LocalizedStrings {
 public:
  static constexpr const char* kDefaultTableFileName = "Localizable.strings";
  // Error code of a strings file that cannot be parsed (domain
  // kCocoaErrorDomain, the platform's "property list corrupt" code).
  static constexpr std::int64_t kParseErrorCode = 3840;

  using Table = std::unordered_map<std::string, std::string>;

  // An empty table: every key reads as itself.
  LocalizedStrings() = default;
  LocalizedStrings(const LocalizedStrings&) = delete;
  LocalizedStrings& operator=(const LocalizedStrings&) = delete;

  // Replaces the table with the entries of a strings file (or text). On
  // failure the table is left as it was.
  [[nodiscard]] bool loadFile(const std::string& path, Error* error);
  [[nodiscard]] bool loadText(std::string_view text, Error* error);

  // The text for `key`, or `key` itself when the table has none.
  std::string localizedString(std::string_view key) const;
  std::size_t size() const;

  // The application's table, created once and never freed. Its first lookup
  // loads Localizable.strings from the resources folder (Places); a missing
  // or unreadable file leaves it empty. A loadFile() before the first lookup
  // takes the place of that load (tests use this).
  static LocalizedStrings& sharedStrings();
  // sharedStrings().localizedString(key).
  static std::string localized(std::string_view key);

  // Parses strings-file text into `table` (later duplicates win).
  [[nodiscard]] static bool parse(std::string_view text, Table* table, Error* error);

 private:
  void loadDefaultIfPending() const REQUIRES(mutex_);

  mutable Mutex mutex_;
  mutable Table table_ GUARDED_BY(mutex_);
  mutable bool defaultPending_ GUARDED_BY(mutex_) = false;  // true only for the shared table
};

}  // namespace kx

#endif  // ZN_PLATFORM_LOCALIZEDSTRINGS_H_
