// KXPathUtil splits entry paths of the note tree ("/"-separated entry ids or
// names, "/" being the root notebook).
//
// Thread safety: callable from any thread (basename asks the root entry id
// through KXHooks).
#ifndef ZN_COMMONUTILS_KXPATHUTIL_H_
#define ZN_COMMONUTILS_KXPATHUTIL_H_

#include <string>

class KXPathUtil {
 public:
  KXPathUtil() = delete;

  // The path without its last component; "/" when nothing is left
  // ("/Notes" -> "/", "/Notes/Work" -> "/Notes").
  static std::string dirname(const std::string& path);
  // The last component ("/Notes/Work" -> "Work"); for "/" the file id of the
  // store's root entry ("" when the store has none).
  static std::string basename(const std::string& path);
};

#endif  // ZN_COMMONUTILS_KXPATHUTIL_H_
