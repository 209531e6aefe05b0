#include "WebRequest/KXWebRequestParameters.h"

#include <optional>
#include <string_view>

#include "CommonUtils/KXStringEncoding.h"
#include "CommonUtils/NSDictionaryKXHelper.h"
#include "platform/URL.h"

std::vector<std::string> KXWebRequestParameters::pathComponents(const std::string& path) {
  std::vector<std::string> components;
  if (path.empty()) return components;
  std::string_view rest = std::string_view(path).substr(1);
  std::size_t start = 0;
  while (true) {
    std::size_t slash = rest.find('/', start);
    components.emplace_back(rest.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return components;
}

kx::Dictionary KXWebRequestParameters::queryParameters(const kx::URL& url) {
  return NSDictionaryKXHelper::dictionaryFromQuery(url.query().value_or(""), kKXUTF8Encoding);
}

std::string KXWebRequestParameters::queryMethod(const kx::URL& url) {
  kx::Dictionary query = queryParameters(url);
  const kx::Value* method = query.find("method");
  return method ? method->stringValue() : std::string();
}

KXWebRequestParameters::Parsed KXWebRequestParameters::parse(const kx::URLRequest& request) {
  Parsed parsed;
  kx::Dictionary query = queryParameters(request.url());
  parsed.params = query;
  if (const kx::Value* method = query.find("method")) parsed.method = method->stringValue();
  if (const std::optional<kx::Bytes>& body = request.HTTPBody(); body && !body->empty()) {
    std::string text(body->begin(), body->end());
    kx::Dictionary form = NSDictionaryKXHelper::dictionaryWithFormatedString(text, "&", "=");
    if (!query.contains("method")) parsed.method = form["method"].stringValue();
    for (const auto& [key, value] : form) {
      if (value.isString()) {
        std::optional<std::string> decoded = kx::percentDecode(value.string());
        parsed.params.set(key, decoded ? *decoded : value.string());
      } else {
        parsed.params.set(key, value);
      }
    }
  }
  return parsed;
}
