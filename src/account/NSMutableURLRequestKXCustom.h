// NSMutableURLRequestKXCustom is the request factory the sign-in requests
// use, and the process-wide common statistics dictionary it adds to every
// request it makes.
//
// requestWithString(url, params, headers):
//  1. the URL's own query is split into pairs (at "&", key and value at the
//     first "="; pieces without "=" are skipped; values stay as written);
//  2. the parameters are added, replacing equal keys; then the common
//     statistics dictionary, when set, replacing equal keys again (so a
//     caller's "keyfrom" gives way to the common one);
//  3. the pairs become the query: the caller's parameters are escaped by
//     the dictionary joiner (numbers as decimal text, dictionaries and
//     arrays as JSON text, strings percent-encoded); the URL's own pairs
//     and the common statistics, which are already escaped, go as they
//     stand (escaping them again would turn "%20" into "%2520");
//  4. the request: GET, the header fields given, the protocol's cache
//     policy, a 30-second time limit.
// nullopt when the text is not an absolute URL.
//
// Thread safety: every member may be called from any thread; the common
// dictionary is guarded by a lock of its own.
#ifndef ZN_ACCOUNT_NSMUTABLEURLREQUESTKXCUSTOM_H_
#define ZN_ACCOUNT_NSMUTABLEURLREQUESTKXCUSTOM_H_

#include <optional>
#include <string_view>

#include "platform/URLRequest.h"
#include "platform/Value.h"

class NSMutableURLRequestKXCustom {
 public:
  NSMutableURLRequestKXCustom() = delete;

  static constexpr double kTimeoutInterval = 30;

  static std::optional<kx::URLRequest> requestWithString(std::string_view urlText,
                                                         const kx::Dictionary* params,
                                                         const kx::Dictionary* headers);

  // Splits `query` as in step 1 and keeps it as the process-wide common
  // statistics dictionary, replacing the previous one.
  static void settingCommonStaticsQuery(std::string_view query);
  // That dictionary; nullopt before it is set.
  static std::optional<kx::Dictionary> commonStaticsQueryDict();
  // Forgets it again (tests).
  static void resetCommonStaticsQueryForTesting();
};

#endif  // ZN_ACCOUNT_NSMUTABLEURLREQUESTKXCUSTOM_H_
