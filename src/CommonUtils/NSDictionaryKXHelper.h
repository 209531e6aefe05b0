// NSDictionaryKXHelper turns dictionaries into form and query text and back:
//
//  - stringForHTTPFormat joins the pairs in the dictionary's order as key,
//    key separator, value, with the pair separator between pairs. Values:
//    numbers (and booleans, as 1 and 0) as decimal text, dictionaries and
//    arrays as pretty-printed JSON text, strings as they are, anything else
//    as "". With escaping on, keys and value texts are percent-encoded with
//    NSStringDupTitle::urlencode, so that no "&", "=", "+" or "%" inside a
//    key, a string or a JSON text can change the text's structure.
//  - dictionaryWithSections / dictionaryWithFormatedString read "key = value"
//    sections (spaces around each trimmed); repeated keys collect their
//    values in an array, in order.
//  - dictionaryFromQuery reads a URL query: pieces between runs of "&", each
//    split at its first "="; pieces without "=" are skipped; a later equal key
//    wins. With an encoding other than kKXRawEncoding (KXStringEncoding.h),
//    each run of percent escapes in a key or value is decoded to bytes and
//    read in that encoding (Latin-1 "x=%E9" gives "é"); the rest of the text
//    stays as written and "+" stays "+". A piece whose escapes do not read
//    in the encoding, or any piece when the encoding is unknown, is
//    skipped.
//  - dictionaryWithReverseDictionary maps each value back to its key.
//
// Thread safety: pure functions.
#ifndef ZN_COMMONUTILS_NSDICTIONARYKXHELPER_H_
#define ZN_COMMONUTILS_NSDICTIONARYKXHELPER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "CommonUtils/KXStringEncoding.h"
#include "platform/Value.h"

class NSDictionaryKXHelper {
 public:
  NSDictionaryKXHelper() = delete;

  static std::string stringForHTTPFormat(const kx::Dictionary& dictionary, std::string_view spliter,
                                         std::string_view kvSpliter, bool needEscape);
  static std::string stringForHTTPFormat(const kx::Dictionary& dictionary, std::string_view spliter,
                                         std::string_view kvSpliter) {
    return stringForHTTPFormat(dictionary, spliter, kvSpliter, true);
  }

  // The text split at each occurrence of `spliter`, read as sections.
  static kx::Dictionary dictionaryWithFormatedString(std::string_view text,
                                                     std::string_view spliter,
                                                     std::string_view kvSpliter);
  // The text split at any of the characters of `characterSet` (UTF-8).
  static kx::Dictionary dictionaryWithFormatedStringCharacterSet(std::string_view text,
                                                                 std::string_view characterSet,
                                                                 std::string_view kvSpliter);
  // Sections of key, separator and value; sections without the separator
  // (or an empty separator) are skipped.
  static kx::Dictionary dictionaryWithSections(const std::vector<std::string>& sections,
                                               std::string_view kvSpliter);
  static kx::Dictionary dictionaryFromQuery(std::string_view query, std::uint64_t encoding);
  // Value -> key for every string value (numbers by their decimal text);
  // when two keys share a value the later one wins.
  static kx::Dictionary dictionaryWithReverseDictionary(const kx::Dictionary& dictionary);
};

#endif  // ZN_COMMONUTILS_NSDICTIONARYKXHELPER_H_
