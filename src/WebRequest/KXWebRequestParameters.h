// KXWebRequestParameters reads a service request of the web interface the
// way the local handlers do: its path components and its parameters.
//
//  - pathComponents: the path without its first character, split on "/"
//    ("/a/b" gives {"a", "b"}, "" gives none). The path is kx::URL::path(),
//    decoded once.
//  - queryMethod: "method" of the query parsed as UTF-8, "" when absent.
//  - parse: the query's pairs, then the form body's pairs (separators "&"
//    and "=", values percent-decoded as UTF-8) over them; the method is the
//    query's "method", else the body's.
//
// Thread safety: pure functions.
#ifndef ZN_WEBREQUEST_KXWEBREQUESTPARAMETERS_H_
#define ZN_WEBREQUEST_KXWEBREQUESTPARAMETERS_H_

#include <string>
#include <vector>

#include "platform/URLRequest.h"
#include "platform/Value.h"

class KXWebRequestParameters {
 public:
  KXWebRequestParameters() = delete;

  struct Parsed {
    kx::Dictionary params;
    std::string method;
  };

  static std::vector<std::string> pathComponents(const std::string& path);
  static kx::Dictionary queryParameters(const kx::URL& url);
  static std::string queryMethod(const kx::URL& url);
  static Parsed parse(const kx::URLRequest& request);
};

#endif  // ZN_WEBREQUEST_KXWEBREQUESTPARAMETERS_H_
