// KXSTextUtil holds the text rewrites that the full-text search applies
// before the index library sees a text: escaping of the query syntax's
// special sequences, the blank put before every run of characters above
// U+00FF (done to the text of indexed notes and to query texts alike), and
// the first-character cut of category paths.
//
// Thread safety: pure functions.
#ifndef ZN_SEARCH_KXSTEXTUTIL_H_
#define ZN_SEARCH_KXSTEXTUTIL_H_

#include <string>
#include <string_view>
#include <vector>

class KXSTextUtil {
 public:
  KXSTextUtil() = delete;

  // The 18 special sequences of the query syntax, in the order in which
  // they are escaped: the backslash first, so that the backslashes added for
  // the others are not escaped again.
  static const std::vector<std::string>& querySpecials();
  // Every occurrence of each special sequence, in that order, preceded by a
  // backslash.
  static std::string escapeQuery(std::string_view text);
  // A blank before every run of characters outside U+0000 to U+00FF (none
  // after it). Ill-formed UTF-8 is first repaired to U+FFFD.
  static std::string spacedText(std::string_view text);
  // The text without its first character (a whole UTF-8 sequence, never a
  // single byte of one).
  static std::string dropFirstCharacter(std::string_view text);
};

#endif  // ZN_SEARCH_KXSTEXTUTIL_H_
